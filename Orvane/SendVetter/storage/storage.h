// The mail-file lock pair, message delivery, the queue store and its expiry.
// One part of the module header Orvane/SendVetter.h, whose opening comment
// states the rules every function keeps.
#pragma once

#include <optional>
#include <string>

#include "Orvane/SendVetter/types.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

// ---- storage ----------------------------------------------------------------

// The mail-file lock pair: lock file holding our pid, plus flock on the target
// when it could be opened (errno then tells why it could not).
std::string SendVetter_popsafeopen(SafeFile::Handle& handle, const std::string& mode,
                                   const std::string& path);
bool SendVetter_popsafeclose(SafeFile::Handle& handle, const std::string& lockname);
// Appends one message (headers, empty line, body) to a mail file under its
// lock. The body is the rest of standard input unless body lines are given.
// true only when the whole message is on stable storage; on false the file is
// as it was before.
bool SendVetter_delivermessage(const std::string& path, const PackedLines& headers,
                               const Lines* body = nullptr);
// A fresh queue file name (id + ".msg"); nullopt when none could be drawn.
std::optional<std::string> SendVetter_getqueueid(const std::string& emaildir);
// Appends the queue id to the sender's verifications record (durably).
bool SendVetter_queuemessage(const std::string& emaildir, const std::string& email,
                             const std::string& queuefile);
// Deletes queue files, verifications records and log files older than the
// configured age; skips the scan when its state record shows nothing due.
void SendVetter_checkdeadq(const std::string& emaildir, const Conf& conf);

}  // namespace Orvane::SendVetter
