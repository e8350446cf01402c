// Automated mail (RFC 3834): messages no person will answer. A verification
// request to their sender would be backscatter, so the filter holds them
// without one.
#pragma once

#include <string>

#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

// Why the message is automated, for the log ("null envelope sender",
// "Auto-Submitted", "Precedence: bulk", "List-Id", "multipart/report", ...),
// or empty for a person's message. sender is the envelope sender.
std::string automated_reason(const PackedLines& headers, const std::string& sender);

}  // namespace Orvane::SendVetter
