// Releasing held mail into the inbox, shared by the filter's verification
// reply and the panel's "deliver" and "deliverall" actions.
//
// Every append goes under the inbox's mail-file lock and is flushed to
// stable storage before the queue file is deleted, so a failure never loses
// a held message and a retry never delivers one twice. The verifications
// record is read and rewritten under its own mail-file lock, so an id that a
// concurrent run appends is never lost.
#pragma once

#include <string>

#include "Orvane/SendVetter/account/mailbox.h"

namespace Orvane::SendVetter {

// Appends every message listed in the sender's verifications record to the
// inbox, in record order, deleting each queue file after its append is on
// disk, then removes the record. A listed queue file that no longer exists
// is skipped. false when an append failed: the ids not yet released stay in
// the record and their queue files stay in the queue.
bool release_held_mail(const std::string& emaildir, const std::string& inbox,
                       const std::string& email);

// Appends one queue file to the inbox and deletes it once the append is on
// disk. A missing queue file appends nothing and counts as success. false
// when the append failed; the queue file then stays.
bool deliver_queue_file(const std::string& inbox, const std::string& queuefile_path);

}  // namespace Orvane::SendVetter
