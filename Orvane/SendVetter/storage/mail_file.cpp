// Durable, all-or-nothing appends to mail files under the mail-file lock.
#include "Orvane/SendVetter/storage/mail_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/files.h"
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

bool hold_mail_file(SafeFile::Handle& handle, const std::string& mode, const std::string& path,
                    std::string& lockname) {
  lockname = SendVetter_popsafeopen(handle, mode, path);
  for (int reopened = 0;; ++reopened) {
    // popsafeopen only warns when its flock fails; a non-blocking retry on
    // the same open file succeeds exactly when the lock is ours.
    if (!handle.is_open() || ::flock(handle.fd(), LOCK_EX | LOCK_NB) != 0) return false;
    if (names_file(handle.fd(), path)) return true;
    if (reopened == kMaxReopens) return false;
    ::flock(handle.fd(), LOCK_UN);
    if (!handle.open(path, mode) || !SafeFile::lock_target(handle, path)) return false;
  }
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
  failed_ = false;
  locked_ = true;
  // A file that reaches the size limit must fail the write (and be cut back),
  // not kill the process half-way through an append.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &saved_xfsz_);
  const bool existed = path_exists(path);
  struct stat st;
  if (!hold_mail_file(handle_, ">>", path, lockname_) || ::fstat(handle_.fd(), &st) != 0) {
    unlock(handle_);
    return false;
  }
  path_ = path;
  kept_size_ = st.st_size;
  maybe_created_ = st.st_size == 0;
  created_ = !existed && st.st_size == 0;
  return true;
}

bool MailFileAppend::write(std::string_view data) {
  if (!locked_ || failed_) return false;
  if (buffer_.empty() && data.size() >= kBlock) {
    if (!handle_.write_all(data)) failed_ = true;
    return !failed_;
  }
  buffer_.append(data);
  return buffer_.size() < kBlock || flush_buffer();
}

bool MailFileAppend::flush_buffer() {
  if (!failed_ && !buffer_.empty() && !handle_.write_all(buffer_)) failed_ = true;
  buffer_.clear();
  return !failed_;
}

bool MailFileAppend::sync() {
  if (!locked_ || !flush_buffer()) return false;
  if (::fsync(handle_.fd()) != 0)
    failed_ = true;
  else if (maybe_created_ && !sync_directory_of(path_))
    failed_ = true;
  else
    maybe_created_ = false;
  return !failed_;
}

void MailFileAppend::keep() {
  struct stat st;
  if (!locked_ || failed_ || ::fstat(handle_.fd(), &st) != 0) {
    failed_ = true;
    return;
  }
  kept_size_ = st.st_size;
  created_ = created_ && kept_size_ == 0;
}

void MailFileAppend::roll_back(int fd) {
  if (created_ && names_file(fd, path_)) {
    // Still under our lock: a waiter that opened it notices the deletion.
    if (::unlink(path_.c_str()) == 0) sync_directory_of(path_);
    return;
  }
  if (::ftruncate(fd, kept_size_) == 0) ::fsync(fd);
}

void MailFileAppend::unlock(SafeFile::Handle& handle) {
  locked_ = false;
  SendVetter_popsafeclose(handle, lockname_);
  ::sigaction(SIGXFSZ, &saved_xfsz_, nullptr);
}

bool MailFileAppend::commit() {
  if (!locked_) return false;
  int spare = sync() ? ::fcntl(handle_.fd(), F_DUPFD_CLOEXEC, 0) : -1;
  if (spare < 0) {
    abandon();
    return false;
  }
  // Some file systems report write-back errors only at close. The duplicate
  // shares the open file and so keeps the flock: the file can still be cut
  // back before anyone else appends.
  bool closed = handle_.close();
  SafeFile::Handle keeper(spare);
  if (!closed) roll_back(keeper.fd());
  unlock(keeper);
  return closed;
}

void MailFileAppend::abandon() {
  if (!locked_) return;
  buffer_.clear();
  if (handle_.is_open()) roll_back(handle_.fd());
  unlock(handle_);
}

}  // namespace Orvane::SendVetter
