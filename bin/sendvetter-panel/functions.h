// The table of management functions offered by name.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Orvane/SendVetter.h"

namespace Orvane::SendVetter {

// Positional text arguments; args[i] is empty when the caller left it out.
class PanelArgs {
 public:
  template <typename It>
  PanelArgs(It first, It last) : args_(first, last) {}
  const std::string& operator[](std::size_t i) const {
    static const std::string empty;
    return i < args_.size() ? args_[i] : empty;
  }

 private:
  std::vector<std::string> args_;
};

// false when the function refused the request or failed (it has printed why).
using PanelFunction = std::function<bool(const PanelArgs&)>;
const std::map<std::string, PanelFunction>& panel_functions();
// Whether the function changes an account's state (lists, queue, inbox,
// settings, forms, the enable flag); such calls are written to the system log.
bool changes_state(const std::string& name);

}  // namespace Orvane::SendVetter
