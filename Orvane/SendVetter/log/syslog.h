// The system log: one line per message the filter handled and per panel
// change, facility mail, ident "sendvetter", for the administrator who reads
// the mail log beside the mail server's own lines. The activity log of each
// mailbox is separate and keeps its own format.
#pragma once

#include <string>

namespace Orvane::SendVetter {

// Sends text at priority info to the system logger's socket (host path
// "/dev/log"). Never blocks and never fails the caller: without a logger, or
// with its queue full, the line is lost.
void system_log(const std::string& text);

}  // namespace Orvane::SendVetter
