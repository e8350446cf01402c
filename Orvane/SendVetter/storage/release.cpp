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

// true when a run is still storing the file (it holds the file's flock).
bool being_stored(const std::string& path) {
  SafeFile::Handle probe;
  if (!probe.open(path, "<")) return false;
  if (::flock(probe.fd(), LOCK_EX | LOCK_NB) == 0) return false;  // closing releases it
  return errno == EWOULDBLOCK;
}

// Copies one queue file into the held inbox (not yet synced). A file still
// being stored is left queued (a failure) rather than waited for with the
// inbox locked, which would hold up every delivery.
Copied copy_queue_file(MailFileAppend& inbox, const std::string& queuefile_path) {
  // Checked first so that the lock does not warn about a file simply absent.
  if (!path_exists(queuefile_path)) return Copied::kMissing;
  // Only a regular file is held mail; opening a FIFO would block for ever.
  if (!is_regular_file(queuefile_path)) return Copied::kFailed;
  if (being_stored(queuefile_path)) return Copied::kFailed;
  MailFileLock queued;
  if (!queued.acquire(queuefile_path, "<").ok())
    return path_exists(queuefile_path) ? Copied::kFailed : Copied::kMissing;
  // A short copy must never replace the queue file.
  if (!read_rest(queued.handle().fd(), [&](std::string_view data) { return inbox.write(data); }))
    return Copied::kFailed;
  return Copied::kDone;
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
  // The record is removed while still locked: a run waiting to append to it
  // notices and starts a new one, so no id is lost.
  ok = ok && box.sync();
  if (ok) {
    delete_released(copied);
    if (::unlink(record.c_str()) == 0) sync_directory_of(record);
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
