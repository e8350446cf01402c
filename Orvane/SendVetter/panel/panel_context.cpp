// The control panel's package variables, set by sendvetter-panel.
#include "Orvane/SendVetter/panel/panel.h"

namespace Orvane {

std::string user;
std::string root;

}  // namespace Orvane
