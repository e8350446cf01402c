// Stale-queue expiry and the state record that lets a run skip it.
//
// The full scan reads the queue, verifications and log directories and
// deletes every regular file whose modification time plus the expiry age is
// before now. Afterwards it writes a small state record,
// "sendvetter/expiry-state": the age, the time of the scan, the oldest
// modification time among the files it kept (or the scan time, if older
// ones are absent), and each directory's identity and change times. A later
// run whose age and directories are unchanged, whose clock has not gone
// back and is not past that oldest time plus the age has nothing to delete
// and skips the scan.
//
// The record is a cache: a missing, unreadable or foreign one means a full
// scan, so deleting it changes nothing but speed. Any entry added, removed
// or renamed in a directory changes its times, so a file planted with an
// old modification time (a copy, a restore from backup with its times kept)
// forces a scan. Not seen: the modification time of a file that already
// exists being set back in place; such a file goes at the next full scan,
// which comes at the latest when the recorded time is reached.
#pragma once

#include <ctime>
#include <string>

#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

// SendVetter_checkdeadq at the given clock. true when it scanned, false
// when the state record showed that nothing could be due.
bool expire_stale(const std::string& emaildir, const Conf& conf, std::time_t now);

}  // namespace Orvane::SendVetter
