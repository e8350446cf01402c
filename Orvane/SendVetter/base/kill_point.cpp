// The test build's kill hook (see kill_point.h).
#include "Orvane/SendVetter/base/kill_point.h"

#ifdef SENDVETTER_SANDBOX_HOST_PATHS
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace Orvane::SendVetter {

void kill_point(const char* step) {
  // Read at every step: a test may set it in a forked child.
  const char* const wanted = std::getenv("SENDVETTER_KILL_AT");
  if (wanted != nullptr && std::strcmp(wanted, step) == 0) ::kill(::getpid(), SIGKILL);
}

}  // namespace Orvane::SendVetter
#endif
