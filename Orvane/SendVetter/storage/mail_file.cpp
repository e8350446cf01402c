// Durable, all-or-nothing appends to mail files under the mail-file lock.
#include "Orvane/SendVetter/storage/mail_file.h"

#include <cassert>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/kill_point.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/storage/storage.h"
#include "SafeFile/SafeFile.h"
#include "SafeFile/lock_wait.h"

namespace Orvane::SendVetter {

namespace {

// Bytes gathered before one write(2).
constexpr std::size_t kBlock = 64 * 1024;
// A file replaced again and again while we wait is given up on eventually.
constexpr int kMaxReopens = 8;

std::string directory_of(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

// Deletes the files named by the lines of record that start with kind. A
// kill needs no flush here; only for a power loss is a directory flushed
// before a consumed file in another one goes, so that a release's queue
// files stay gone before its releasing file (which names them) does.
void delete_noted(const Lines& record, char kind) {
  std::string previous;
  for (const std::string& line : record) {
    if (line.size() < 2 || line[0] != kind) continue;
    const std::string path = line.substr(1);
    if (kind == '-' && !previous.empty() && directory_of(previous) != directory_of(path))
      sync_directory_of(previous);
    ::unlink(path.c_str());
    previous = path;
  }
}

// The whole lines of a record file (a line cut short by a kill names no
// file); nullopt when there is none.
std::optional<Lines> read_record(const std::string& path) {
  if (!path_exists(path)) return std::nullopt;
  std::string content = read_file(path);
  content.resize(content.rfind('\n') + 1);  // npos + 1 == 0
  return split_lines(content);
}

bool remove_record(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

// The kernel's id of this boot: an intent record from an earlier boot was
// left by a power loss, not by a kill.
const std::string& boot_id() {
  static const std::string id = [] {
    std::string text = read_file("/proc/sys/kernel/random/boot_id");
    return text.substr(0, text.find('\n'));
  }();
  return id;
}

// Whether the append an intent record stands for must be cut back: only
// after a kill (this boot). Intent records are never flushed, so one that a
// power loss left behind may belong to an append that was kept and
// answered, or a release whose queue files are already gone; it is then
// dropped, and the append stays as it is.
bool cut_back_after(const Lines& intent) {
  for (const std::string& line : intent)
    if (line[0] == '@') return line.substr(1) == boot_id();
  return true;
}

// Finishes the append whose writer was killed while holding path's lock
// (we hold it now, so that writer is gone): a kept append loses the files
// it consumed, an unfinished one is cut back and loses the files it made.
Status finish_killed_append(const std::string& path, int fd) {
  if (std::optional<Lines> kept = read_record(kept_record(path))) {
    delete_noted(*kept, '-');
    if (!remove_record(kept_record(path))) return Status::failure("remove", kept_record(path), errno);
  }
  const std::optional<Lines> intent = read_record(intent_record(path));
  if (!intent) return {};
  // Without its size line the record was cut short before the append wrote
  // anything: there is nothing to cut back.
  const std::string size = intent->empty() ? std::string() : (*intent)[0];
  struct stat st;
  if (!size.empty() && size.size() < 19 && size.find_first_not_of("0123456789") == std::string::npos &&
      cut_back_after(*intent) && ::fstat(fd, &st) == 0) {
    // A file now shorter was rewritten by someone else (a mail client's
    // expunge): cutting it would only add zeros.
    if (st.st_size >= std::stoll(size) && ::truncate(path.c_str(), std::stoll(size)) != 0)
      return Status::failure("cut back", path, errno);
    ::fsync(fd);
    delete_noted(*intent, '+');
  }
  if (!remove_record(intent_record(path))) return Status::failure("remove", intent_record(path), errno);
  return {};
}

}  // namespace

Status MailFileLock::acquire(const std::string& path, const std::string& mode) {
  release();
  lockname_ = SendVetter_popsafeopen(handle_, mode, path);
  held_ = true;
  if (!handle_.is_open()) return Status::failure("open", path, errno);
  for (int reopened = 0;; ++reopened) {
    // popsafeopen only warns when its flock fails; a non-blocking retry on
    // the same open file succeeds exactly when the lock is ours.
    if (::flock(handle_.fd(), LOCK_EX | LOCK_NB) != 0) return Status::failure("lock", path, errno);
    if (names_file(handle_.fd(), path)) return finish_killed_append(path, handle_.fd());
    if (reopened == kMaxReopens) return Status::failure("keep hold of", path, 0);
    ::flock(handle_.fd(), LOCK_UN);
    if (!handle_.open(path, mode)) return Status::failure("open", path, errno);
    if (!SafeFile::lock_target(handle_, path)) return Status::failure("lock", path, errno);
  }
}

bool MailFileLock::release() {
  if (!held_) return handle_.close();
  held_ = false;
  return SendVetter_popsafeclose(handle_, lockname_);
}

bool sync_directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = ::fsync(fd) == 0;
  return ::close(fd) == 0 && synced;
}

MailFileAppend::~MailFileAppend() { abandon(); }

void MailFileAppend::start(const std::string& path) {
  abandon();
  buffer_.clear();
  status_ = Status();
  unsynced_ = false;
  consumes_ = false;
  path_ = path;
  locked_ = true;
  // A file that reaches the size limit must fail the write (and be cut back),
  // not kill the process half-way through an append.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &saved_xfsz_);
}

bool MailFileAppend::open(const std::string& path) {
  start(path);
  const bool existed = path_exists(path);
  struct stat st;
  status_ = lock_.acquire(path, ">>");
  if (status_.ok() && ::fstat(lock_.handle().fd(), &st) != 0) fail("examine", errno);
  if (!status_.ok()) {
    unlock();  // the size is unknown: nothing may be cut
    return false;
  }
  kept_size_ = st.st_size;
  maybe_created_ = st.st_size == 0;
  created_ = !existed && st.st_size == 0;
  // Written before the first byte of the append; not flushed to disk, as
  // only a kill makes it cut the file back (see cut_back_after).
  const std::string record = intent_record(path);
  const std::string intent = std::to_string(kept_size_) + "\n@" + boot_id() + "\n";
  if (!intent_.open(record, ">") || !intent_.write_all(intent)) {
    fail("write", errno);
    abandon();
    return false;
  }
  SENDVETTER_KILL_POINT("intent-written");
  return true;
}

bool MailFileAppend::create(const std::string& path) {
  start(path);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    fail("create", errno);
    unlock();
    return false;
  }
  lock_.handle() = SafeFile::Handle(fd);
  kept_size_ = 0;
  maybe_created_ = created_ = true;
  // New and unnamed by any record: the flock only tells others it is not
  // finished yet.
  ::flock(fd, LOCK_EX | LOCK_NB);
  return true;
}

bool MailFileAppend::note(char kind, const std::string& path) {
  if (!locked_ || failed()) return false;
  if (!intent_.is_open()) {
    fail("note in the intent record of", EINVAL);
    return false;
  }
  if (!intent_.write_all(std::string(1, kind) + path + "\n")) fail("write", errno);
  consumes_ = consumes_ || kind == '-';
  return !failed();
}

bool MailFileAppend::will_create(const std::string& path) { return note('+', path); }
bool MailFileAppend::will_consume(const std::string& path) { return note('-', path); }

bool MailFileAppend::write(std::string_view data) {
  if (!locked_ || failed()) return false;
  unsynced_ = unsynced_ || !data.empty();
  if (buffer_.empty() && data.size() >= kBlock) {
    if (!lock_.handle().write_all(data)) fail("write to", errno);
    return !failed();
  }
  buffer_.append(data);
  return buffer_.size() < kBlock || flush_buffer();
}

bool MailFileAppend::flush_buffer() {
  if (!failed() && !buffer_.empty() && !lock_.handle().write_all(buffer_)) fail("write to", errno);
  buffer_.clear();
  return !failed();
}

bool MailFileAppend::sync() {
  if (!locked_ || !flush_buffer()) return false;
  // A commit right after a sync flushes nothing twice.
  if (!unsynced_ && !maybe_created_) return true;
  if (::fsync(lock_.handle().fd()) != 0)
    fail("flush", errno);
  else if (maybe_created_ && !sync_directory_of(path_))
    fail("flush the directory of", errno);
  else
    maybe_created_ = unsynced_ = false;
  return !failed();
}

void MailFileAppend::roll_back(int fd) {
  assert(locked_);
  if (created_ && names_file(fd, path_)) {
    // Still under our lock: a waiter that opened it notices the deletion.
    if (::unlink(path_.c_str()) == 0) sync_directory_of(path_);
  } else if (::ftruncate(fd, kept_size_) == 0) {
    ::fsync(fd);
  }
  if (!intent_.is_open()) return;
  intent_.close();
  const std::optional<Lines> intent = read_record(intent_record(path_));
  if (intent) delete_noted(*intent, '+');
  remove_record(intent_record(path_));
}

void MailFileAppend::fail(const char* step, int error) {
  if (status_.ok()) status_ = Status::failure(step, path_, error);
}

void MailFileAppend::unlock() {
  locked_ = false;
  lock_.release();
  ::sigaction(SIGXFSZ, &saved_xfsz_, nullptr);
}

bool MailFileAppend::commit() {
  if (!locked_) return false;
  int spare = sync() ? ::fcntl(lock_.handle().fd(), F_DUPFD_CLOEXEC, 0) : -1;
  if (spare < 0) {
    if (!failed()) fail("keep hold of", errno);
    abandon();
    return false;
  }
  SENDVETTER_KILL_POINT("appended");
  // Some file systems report write-back errors only at close. The duplicate
  // shares the open file and so keeps the flock: the file can still be cut
  // back before anyone else appends.
  const bool closed = lock_.handle().close();
  if (!closed) fail("close", errno);
  lock_.handle() = SafeFile::Handle(spare);
  if (!closed) {
    roll_back(lock_.handle().fd());
    unlock();
    return false;
  }
  if (intent_.is_open()) {
    // The one step that keeps the append; everything after it only tidies.
    // Neither the record nor its directory is flushed: what a killed
    // process wrote stays in the page cache, and the promise is about kills
    // (see cut_back_after for a power loss).
    const std::string record = intent_record(path_);
    intent_.close();
    if (!consumes_) {
      if (!remove_record(record)) fail("remove", errno);
    } else if (::rename(record.c_str(), kept_record(path_).c_str()) != 0) {
      fail("keep", errno);
    } else {
      SENDVETTER_KILL_POINT("kept");
      delete_noted(read_record(kept_record(path_)).value_or(Lines()), '-');
      SENDVETTER_KILL_POINT("consumed");
      remove_record(kept_record(path_));
    }
  }
  unlock();
  return status_.ok();
}

void MailFileAppend::abandon() {
  if (!locked_) return;
  buffer_.clear();
  if (lock_.handle().is_open()) roll_back(lock_.handle().fd());
  unlock();
}

}  // namespace Orvane::SendVetter
