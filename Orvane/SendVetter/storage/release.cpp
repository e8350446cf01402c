// Releasing held mail into the inbox: queue files appended whole and on disk
// before they are deleted, and the sender's verifications record consumed
// under its own mail-file lock.
#include "Orvane/SendVetter/storage/release.h"

#include <cerrno>
#include <cstdio>
#include <functional>
#include <optional>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

#include "Orvane/SendVetter/base/files.h"
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
// delivery. No lock file is made: a writer that locks the file after this
// copy finds it deleted and stores its message afresh (MailFileLock::acquire).
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

// Deletes queue files whose copies are on disk in the inbox. Only holders
// of the inbox lock consume queue files, so none can be appended twice; the
// directory is flushed so that a crash cannot bring a deleted one back.
void delete_released(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) ::unlink(path.c_str());
  if (!paths.empty()) sync_directory_of(paths.front());
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

}  // namespace

// All or nothing: every listed message is appended and flushed to disk
// before any queue file or the record is touched, so a failed release
// leaves everything held and a retry of the same reply releases it whole.
bool release_held_mail(const std::string& emaildir, const std::string& inbox,
                       const std::string& email) {
  const Mailbox mailbox = Mailbox::at(emaildir);
  MailFileAppend box;
  if (!box.open(inbox)) return false;
  const std::string record = mailbox.verifications_file(email);
  // No record: nothing is held for the sender. Checked first so that the
  // lock operation does not warn about a file that is simply not there.
  if (!path_exists(record)) return box.commit();

  MailFileLock held;
  if (!held.acquire(record, "<").ok()) {
    // Gone meanwhile (another release took it): nothing left to release.
    // Present but not lockable: its ids cannot be consumed safely.
    const bool gone = !held.handle().is_open();
    held.release();
    if (gone) return box.commit();
    box.abandon();
    return false;
  }
  const std::optional<std::vector<std::string>> ids = read_ids(held.handle().fd());
  bool ok = ids.has_value();
  std::vector<std::string> copied;
  for (std::size_t i = 0; ok && i < ids->size(); ++i) {
    // Ids are ours; one that cannot name a file is skipped, never cut short.
    if (!is_single_name((*ids)[i])) continue;
    const std::string path = mailbox.held_message_file((*ids)[i]);
    switch (copy_queue_file(box, path)) {
      case Copied::kMissing: break;  // expired or handled from the panel
      case Copied::kDone: copied.push_back(path); break;
      case Copied::kFailed: ok = false; break;
    }
  }
  // The order that keeps the promise: every copy is on disk in the inbox
  // (one flush for all of them) before any queue file goes, and the queue
  // files are gone for good before the record goes. A record that a crash
  // brings back names only files already gone, which a release skips, so
  // its deletion needs no flush of its own. The record is removed while
  // still locked: a run waiting to append to it notices and starts a new
  // one, so no id is lost.
  ok = ok && box.sync();
  if (ok) {
    delete_released(copied);
    ::unlink(record.c_str());
  }
  held.release();
  if (!ok) {
    box.abandon();
    return false;
  }
  box.keep();
  box.commit();  // everything released was already on disk
  return true;
}

bool deliver_queue_file(const std::string& inbox, const std::string& queuefile_path) {
  MailFileAppend box;
  if (!box.open(inbox)) return false;
  const Copied copied = copy_queue_file(box, queuefile_path);
  if (copied == Copied::kFailed || !box.sync()) {
    box.abandon();
    return false;
  }
  if (copied == Copied::kDone) delete_released({queuefile_path});
  box.keep();
  box.commit();
  return true;
}

}  // namespace Orvane::SendVetter
