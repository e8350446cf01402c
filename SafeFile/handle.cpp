// SafeFile::Handle: an owned descriptor with its open modes.
#include "SafeFile/SafeFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace SafeFile {

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

Handle::~Handle() { close(); }

int Handle::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

bool Handle::open(const std::string& path, const std::string& mode) {
  close();
  int flags;
  if (mode == "<") {
    flags = O_RDONLY;
  } else if (mode == ">") {
    flags = O_WRONLY | O_CREAT | O_TRUNC;
  } else if (mode == ">>") {
    flags = O_WRONLY | O_CREAT | O_APPEND;
  } else if (mode == "+<") {
    // Read and rewrite under one lock: nothing is truncated before the lock.
    flags = O_RDWR | O_CREAT;
  } else {
    return false;
  }
  // A NUL would cut the path short and open some other file.
  if (path.find('\0') != std::string::npos) {
    errno = ENOENT;
    return false;
  }
  fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
  return fd_ >= 0;
}

bool Handle::close() {
  if (fd_ < 0) return false;
  int rc = ::close(release());
  return rc == 0;
}

bool Handle::write_all(std::string_view data) {
  if (fd_ < 0) return false;
  while (!data.empty()) {
    ssize_t n = ::write(fd_, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace SafeFile
