// The envelope line ("From sender date") that starts every message in a
// mail file. The mail server normally writes it; when a message arrives
// without one, the filter writes its own so that mail readers do not fold
// the message into the one before it.
#pragma once

#include <ctime>
#include <string>

#include "Orvane/SendVetter/base/packed_lines.h"

namespace Orvane::SendVetter {

// Whether the header block starts with an envelope line.
bool has_envelope_line(const PackedLines& headers);

// "From " + sender + " " + the local time in the layout "Mon Dec  7 02:19:20
// 2026". The sender is the Return-Path address of the header block, else
// passed_sender (what the mail server says), else "MAILER-DAEMON" (also for
// the empty sender "<>").
std::string envelope_line(const PackedLines& headers, const std::string& passed_sender, std::time_t now);

}  // namespace Orvane::SendVetter
