// Form messages and loop protection.
// One part of the module header Orvane/SendVetter.h, whose opening comment
// states the rules every function keeps.
#pragma once

#include <string>

#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

// ---- challenge messages -------------------------------------------------------

// Mails a form ("verify", "blacklist", "returnverify") through sendmail -t.
void SendVetter_sendformmessage(const std::string& form, const std::string& emaildir,
                                const std::string& email, const std::string& subject,
                                const std::string& queuefile, const PackedLines& headers,
                                const std::string& webdomain, const std::string& account,
                                const std::string& id, const std::string& returnaddy);
// Counts the sender's burst; false when the sender was challenged too often
// and must get no further verification request (the message is still held).
bool SendVetter_loopprotect(const std::string& email, const std::string& emaildir);

}  // namespace Orvane::SendVetter
