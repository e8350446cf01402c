// Releasing held mail into the inbox: queue files appended whole and on disk
// before they are deleted, and the sender's verifications record consumed
// under its own mail-file lock.
#include "Orvane/SendVetter/storage/release.h"

#include <cerrno>
#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/kill_point.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/storage/mail_file.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

namespace {

enum class Copied { kMissing, kDone, kFailed };

// Copies one queue file into the held inbox (not yet synced). The file is
// read under a shared flock taken without waiting: a run still storing it
// holds the exclusive one, and such a file is left queued (a failure)
// rather than waited for with the inbox locked, which would hold up every
// delivery. No lock file is needed: a queue file gets its name only once
// whole, and nothing appends to it after that.
Copied copy_queue_file(MailFileAppend& inbox, const std::string& queuefile_path) {
  // Only a regular file is held mail; opening a FIFO would block for ever.
  if (path_exists(queuefile_path) && !is_regular_file(queuefile_path)) return Copied::kFailed;
  SafeFile::Handle queued;
  if (!queued.open(queuefile_path, "<")) return errno == ENOENT ? Copied::kMissing : Copied::kFailed;
  if (::flock(queued.fd(), LOCK_SH | LOCK_NB) != 0) return Copied::kFailed;
  // A short copy must never replace the queue file.
  return read_rest(queued.fd(), [&](std::string_view data) { return inbox.write(data); }) ? Copied::kDone
                                                                                           : Copied::kFailed;
}

// The ids of a record, one per line; a last line without line end counts.
std::optional<std::vector<std::string>> read_ids(int fd) {
  std::string content;
  if (!read_rest(fd, [&](std::string_view data) {
        content.append(data);
        return true;
      }))
    return std::nullopt;
  return split_lines(content);
}

// Moves the ids of the sender's record behind those of an earlier release
// that was cut back (the releasing file): from here on they wait only for
// this release, and a run that holds the sender's next message starts a new
// record. A kill in between at worst lists an id twice; the appended ids are
// flushed before the record goes (a rare path) so that a power loss cannot
// leave them listed nowhere.
bool move_record_ids(const std::string& record, const std::string& releasing,
                     std::vector<std::string>& ids) {
  MailFileLock held;
  if (!held.acquire(record, "<").ok()) return !held.handle().is_open();  // gone: taken by another release
  const std::optional<std::vector<std::string>> listed = read_ids(held.handle().fd());
  if (!listed) return false;
  if (path_exists(releasing)) {
    SafeFile::Handle more;
    std::string text;
    for (const std::string& id : *listed) text += id + "\n";
    if (!more.open(releasing, ">>") || !more.write_all(text) || ::fsync(more.fd()) != 0) return false;
    if (::unlink(record.c_str()) != 0) return false;
  } else if (::rename(record.c_str(), releasing.c_str()) != 0) {
    return false;
  }
  ids.insert(ids.end(), listed->begin(), listed->end());
  return true;
}

// After a failed release the ids go back under the record's name, unless a
// new record was started meanwhile; the releasing file then stays, and the
// next release takes it first. link, unlike rename, never replaces it.
void give_back(const std::string& record, const std::string& releasing) {
  if (::link(releasing.c_str(), record.c_str()) == 0) ::unlink(releasing.c_str());
}

}  // namespace

// All or nothing, killed or not: see the order at the end.
bool release_held_mail(const std::string& emaildir, const std::string& inbox,
                       const std::string& email) {
  const Mailbox mailbox = Mailbox::at(emaildir);
  MailFileAppend box;
  if (!box.open(inbox)) return false;
  const std::string record = mailbox.verifications_file(email);
  const std::string releasing = mailbox.releasing_file(email);
  std::vector<std::string> ids;
  if (path_exists(releasing)) {
    SafeFile::Handle earlier;
    const auto listed = earlier.open(releasing, "<") ? read_ids(earlier.fd()) : std::nullopt;
    if (!listed) {
      box.abandon();
      return false;
    }
    ids = *listed;
  } else if (!path_exists(record)) {
    // Nothing is held for the sender. Checked first so that the lock
    // operation does not warn about a file that is simply not there.
    return box.commit();
  }
  if (path_exists(record) && !move_record_ids(record, releasing, ids)) {
    box.abandon();
    if (path_exists(releasing)) give_back(record, releasing);
    return false;
  }
  SENDVETTER_KILL_POINT("releasing");
  std::set<std::string> seen;
  bool ok = true;
  for (std::size_t i = 0; ok && i < ids.size(); ++i) {
    // Ids are ours; one that cannot name a file is skipped, never cut short.
    if (!is_single_name(ids[i]) || !seen.insert(ids[i]).second) continue;
    const std::string path = mailbox.held_message_file(ids[i]);
    switch (copy_queue_file(box, path)) {
      case Copied::kMissing: break;  // expired or handled from the panel
      case Copied::kDone: ok = box.will_consume(path); break;
      case Copied::kFailed: ok = false; break;
    }
  }
  // The order that keeps the promise, in one commit: every copy is flushed
  // to the inbox at once; the intent record, which names each queue file and
  // then the releasing file as consumed, is renamed to keep the append; then
  // the queue files go, and the releasing file last. Killed before the
  // rename, the next holder of the inbox lock cuts the inbox back and every
  // message stays held and listed (the releasing file); killed after it, that
  // holder finishes the deletions. A repeated reply does the rest.
  if (ok && box.will_consume(releasing) && box.commit()) return true;
  box.abandon();
  give_back(record, releasing);
  return false;
}

bool deliver_queue_file(const std::string& inbox, const std::string& queuefile_path) {
  MailFileAppend box;
  if (!box.open(inbox)) return false;
  const Copied copied = copy_queue_file(box, queuefile_path);
  if (copied == Copied::kFailed || (copied == Copied::kDone && !box.will_consume(queuefile_path))) {
    box.abandon();
    return false;
  }
  if (!box.commit()) return false;
  // After a power loss too, a delivered message stays out of the queue.
  if (copied == Copied::kDone) sync_directory_of(queuefile_path);
  return true;
}

void finish_killed_release(const std::string& inbox) {
  if (!path_exists(kept_record(inbox)) && !path_exists(intent_record(inbox))) return;
  MailFileLock settled;
  settled.acquire(inbox, "<");
}

}  // namespace Orvane::SendVetter
