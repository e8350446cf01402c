// Storing one message in a mail file, with the reason when it fails.
#pragma once

#include <string>

#include "Orvane/SendVetter/base/status.h"
#include "Orvane/SendVetter/types.h"
#include "Orvane/SendVetter/storage/mail_file.h"

namespace Orvane::SendVetter {

// Writes one message (header lines, an empty line, then the body lines or
// the rest of standard input) through an open append, which the caller then
// commits; on failure the append is abandoned.
Status write_message(MailFileAppend& mail, const PackedLines& headers, const Lines* body);

// SendVetter_delivermessage, saying why the message could not be stored.
Status store_message(const std::string& path, const PackedLines& headers, const Lines* body = nullptr);

}  // namespace Orvane::SendVetter
