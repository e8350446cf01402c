// Durable, all-or-nothing appends to mail files under the mail-file lock.
#include "Orvane/SendVetter/storage/mail_file.h"

#include <cassert>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/storage/storage.h"
#include "SafeFile/SafeFile.h"
#include "SafeFile/lock_wait.h"

namespace Orvane::SendVetter {

namespace {

// Bytes gathered before one write(2).
constexpr std::size_t kBlock = 64 * 1024;
// A file replaced again and again while we wait is given up on eventually.
constexpr int kMaxReopens = 8;

// true when fd is still the file that path names (not deleted or replaced).
bool names_file(int fd, const std::string& path) {
  struct stat open_st, path_st;
  if (::fstat(fd, &open_st) != 0 || ::stat(path.c_str(), &path_st) != 0) return false;
  return open_st.st_nlink > 0 && open_st.st_dev == path_st.st_dev &&
         open_st.st_ino == path_st.st_ino;
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
    if (names_file(handle_.fd(), path)) return {};
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

bool MailFileAppend::open(const std::string& path) {
  abandon();
  buffer_.clear();
  status_ = Status();
  unsynced_ = false;
  locked_ = true;
  path_ = path;
  // A file that reaches the size limit must fail the write (and be cut back),
  // not kill the process half-way through an append.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &saved_xfsz_);
  const bool existed = path_exists(path);
  struct stat st;
  status_ = lock_.acquire(path, ">>");
  if (status_.ok() && ::fstat(lock_.handle().fd(), &st) != 0) fail("examine", errno);
  if (!status_.ok()) {
    unlock();
    return false;
  }
  kept_size_ = st.st_size;
  maybe_created_ = st.st_size == 0;
  created_ = !existed && st.st_size == 0;
  return true;
}

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

void MailFileAppend::keep() {
  struct stat st;
  if (!locked_ || failed()) return;
  // Only what is on disk may be kept: keep() follows a successful sync().
  assert(buffer_.empty());
  if (::fstat(lock_.handle().fd(), &st) != 0) {
    fail("examine", errno);
    return;
  }
  kept_size_ = st.st_size;
  created_ = created_ && kept_size_ == 0;
}

void MailFileAppend::roll_back(int fd) {
  assert(locked_);
  if (created_ && names_file(fd, path_)) {
    // Still under our lock: a waiter that opened it notices the deletion.
    if (::unlink(path_.c_str()) == 0) sync_directory_of(path_);
    return;
  }
  if (::ftruncate(fd, kept_size_) == 0) ::fsync(fd);
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
  // Some file systems report write-back errors only at close. The duplicate
  // shares the open file and so keeps the flock: the file can still be cut
  // back before anyone else appends.
  const bool closed = lock_.handle().close();
  if (!closed) fail("close", errno);
  lock_.handle() = SafeFile::Handle(spare);
  if (!closed) roll_back(lock_.handle().fd());
  unlock();
  return closed;
}

void MailFileAppend::abandon() {
  if (!locked_) return;
  buffer_.clear();
  if (lock_.handle().is_open()) roll_back(lock_.handle().fd());
  unlock();
}

}  // namespace Orvane::SendVetter
