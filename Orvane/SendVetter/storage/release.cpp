// Releasing held mail into the inbox: queue files appended whole and on disk
// before they are deleted, and the sender's verifications record consumed
// under its own mail-file lock.
#include "Orvane/SendVetter/storage/release.h"

#include <cerrno>
#include <cstdio>
#include <functional>
#include <optional>
#include <unistd.h>
#include <vector>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/files.h"
#include "Orvane/SendVetter/storage/mailfile.h"

namespace Orvane::SendVetter {

namespace {

enum class Copied { kMissing, kDone, kFailed };

// Reads what is left of fd; false on a read error.
bool read_rest(int fd, const std::function<bool(std::string_view)>& take) {
  char chunk[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!take(std::string_view(chunk, static_cast<std::size_t>(n)))) return false;
  }
}

// Appends one queue file to the held inbox, flushes it to disk, and only
// then deletes the queue file. Whoever consumes queue files holds the inbox
// lock, so two releases cannot append the same file twice.
Copied append_queue_file(MailFileAppend& inbox, const std::string& queuefile_path) {
  SafeFile::Handle queued;
  if (!queued.open(queuefile_path, "<")) return errno == ENOENT ? Copied::kMissing : Copied::kFailed;
  // A read error must not end in a short copy and a deleted queue file.
  if (!read_rest(queued.fd(), [&](std::string_view data) { return inbox.write(data); }))
    return Copied::kFailed;
  queued.close();
  if (!inbox.sync()) return Copied::kFailed;
  if (::unlink(queuefile_path.c_str()) != 0 && errno != ENOENT) return Copied::kFailed;
  // Were the deletion lost in a crash, a later release would append the
  // message a second time.
  sync_directory_of(queuefile_path);
  inbox.keep();
  return Copied::kDone;
}

// The ids of a record, one per line; a last line without line end counts.
std::optional<std::vector<std::string>> read_ids(int fd) {
  std::string content;
  if (!read_rest(fd, [&](std::string_view data) {
        content.append(data);
        return true;
      }))
    return std::nullopt;
  std::vector<std::string> ids;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    ids.push_back(content.substr(start, end - start));
    start = end + 1;
  }
  return ids;
}

// Replaces the record with the ids still held. Written beside it and renamed
// over it, so a crash leaves either the old or the new list; queuemessage
// notices the replaced file and appends to the new one. The ".." in the
// temporary name cannot occur in a record name.
void rewrite_record(const std::string& record, const std::vector<std::string>& ids) {
  const std::string temp = record + "..rewrite";
  std::string content;
  for (const std::string& id : ids) content += id + "\n";
  SafeFile::Handle out;
  bool written = out.open(temp, ">") && out.write_all(content) && ::fsync(out.fd()) == 0;
  written = out.close() && written;
  if (!written || std::rename(temp.c_str(), record.c_str()) != 0)
    ::unlink(temp.c_str());
  else
    sync_directory_of(record);
}

}  // namespace

std::string verifications_record_name(const std::string& email) {
  return remove_char(remove_dot_pairs(email), '/');
}

bool release_held_mail(const std::string& emaildir, const std::string& inbox,
                       const std::string& email) {
  MailFileAppend box;
  if (!box.open(inbox)) return false;
  const std::string record =
      emaildir + "/sendvetter/verifications/" + verifications_record_name(email);
  // No record: nothing is held for the sender. Checked first so that the
  // lock operation does not warn about a file that is simply not there.
  if (!path_exists(record)) return box.commit();

  SafeFile::Handle held;
  std::string record_lock;
  if (!hold_mail_file(held, "<", record, record_lock)) {
    // Gone meanwhile (another release took it): nothing left to release.
    // Present but not lockable: its ids cannot be consumed safely.
    const bool gone = !held.is_open();
    SendVetter_popsafeclose(held, record_lock);
    if (gone) return box.commit();
    box.abandon();
    return false;
  }
  const std::optional<std::vector<std::string>> read = read_ids(held.fd());
  if (!read) {
    SendVetter_popsafeclose(held, record_lock);
    box.abandon();
    return false;
  }
  const std::vector<std::string>& ids = *read;

  const std::string queuedir = emaildir + "/sendvetter/queue/";
  std::size_t released = 0;
  bool ok = true;
  for (; released < ids.size(); ++released) {
    const std::string id = remove_char(remove_dot_pairs(ids[released]), '/');
    if (append_queue_file(box, queuedir + id + ".msg") == Copied::kFailed) {
      ok = false;
      break;
    }
  }
  if (ok) {
    if (::unlink(record.c_str()) == 0) sync_directory_of(record);
  } else
    rewrite_record(record, std::vector<std::string>(ids.begin() + released, ids.end()));
  SendVetter_popsafeclose(held, record_lock);
  if (!ok) {
    box.abandon();
    return false;
  }
  box.commit();  // every released message was already synced
  return true;
}

bool deliver_queue_file(const std::string& inbox, const std::string& queuefile_path) {
  MailFileAppend box;
  if (!box.open(inbox)) return false;
  if (append_queue_file(box, queuefile_path) == Copied::kFailed) {
    box.abandon();
    return false;
  }
  box.commit();  // the message, if any, was already synced
  return true;
}

}  // namespace Orvane::SendVetter
