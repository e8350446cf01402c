// Releasing held mail into the inbox, shared by the filter's verification
// reply and the panel's "deliver" and "deliverall" actions.
//
// Every append goes under the inbox's mail-file lock and is flushed to
// stable storage before the queue file is deleted, which happens in the one
// step that keeps the append (storage/mail_file.h), so neither a failure nor
// a kill at any instant loses a held message or delivers one twice. The
// verifications record is taken under its own mail-file lock, so an id that
// a concurrent run appends is never lost.
#pragma once

#include <string>

#include "Orvane/SendVetter/account/mailbox.h"

namespace Orvane::SendVetter {

// Appends every message listed for the sender (first in the releasing file
// a cut-back release left behind, then in the verifications record) to the
// inbox, in record order, then deletes those queue files and the record. A
// listed queue file that no longer exists is skipped. false when an append
// failed: nothing was released, every message stays queued and listed.
bool release_held_mail(const std::string& emaildir, const std::string& inbox,
                       const std::string& email);

// Appends one queue file to the inbox and deletes it once the append is on
// disk. A missing queue file appends nothing and counts as success. false
// when the append failed; the queue file then stays.
bool deliver_queue_file(const std::string& inbox, const std::string& queuefile_path);

// Lets a release whose run was killed finish (or be cut back) now, rather
// than at the next delivery: takes the inbox lock when such a run left its
// record beside the inbox.
void finish_killed_release(const std::string& inbox);

}  // namespace Orvane::SendVetter
