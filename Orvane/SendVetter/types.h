// The module's common value types.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Orvane/SendVetter/base/packed_lines.h"

namespace Orvane::SendVetter {

// Lines of text (header lines, list rules, recipients), in order.
using Lines = std::vector<std::string>;
// A mailbox configuration: setting name to value.
using Conf = std::map<std::string, std::string>;

}  // namespace Orvane::SendVetter
