// Header intake and address extraction.
// One part of the module header Orvane/SendVetter.h, whose opening comment
// states the rules every function keeps.
#pragma once

#include <string>

#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

// ---- header intake and addresses -------------------------------------------

// Reads standard input up to the empty line ending the header block; the body
// stays unread for SendVetter_delivermessage or body_lines().
PackedLines SendVetter_getheaders();
// Unfolded value of the first header of that name, or empty. The panel's
// lines (read back from queue files) keep their "\n".
std::string SendVetter_getheader(const std::string& name, const PackedLines& headers);
std::string SendVetter_getheader(const std::string& name, const Lines& headers);
// Envelope sender from the "From " line, or empty.
std::string SendVetter_getsender(const PackedLines& headers);
// Protocol word of a Received value, or empty.
std::string SendVetter_gettransportmethod(const std::string& value);
// First address-like token of a header value, lower-cased, or empty.
std::string SendVetter_extractaddress(const std::string& value);
// A To/Cc value split at commas and semicolons, white space removed.
Lines SendVetter_splitaddresses(const std::string& value);
// SendVetter_extractaddress of each piece, same length and order.
Lines SendVetter_extractaddresses(const Lines& pieces);
// The configured own address that is among the recipients (the To
// addresses, then the Cc addresses), else the account.
std::string SendVetter_findreturnaddy(const std::string& account, const std::string& froms,
                                      const PackedLines& recipients, const PackedLines& more = {});

}  // namespace Orvane::SendVetter
