// Storing one message in a mail file, with the reason when it fails.
#pragma once

#include <string>

#include "Orvane/SendVetter/base/status.h"
#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

// SendVetter_delivermessage, saying why the message could not be stored.
Status store_message(const std::string& path, const PackedLines& headers, const Lines* body = nullptr);

}  // namespace Orvane::SendVetter
