// SafeFile — the general lock pair, and the file handle both lock pairs use.
//
// A target is locked on two levels: a lock file beside it (target + ".lock")
// that every cooperating process waits for, and an exclusive flock on the
// opened target, which orders two waiters that both judged the lock file
// gone or stale. safeopen waits while the lock file exists, taking it over
// as stale after 10 one-second polls that see the same modification time;
// it then creates the (empty) lock file, opens the target in the given mode
// ("<" read, ">" write/truncate, ">>" append/create) and flocks it when the
// target exists. safeclose deletes the lock file, unlocks and closes.
//
// Diagnostics: "cannot get file lock on <path>: <error>" on standard error
// when the flock fails. Nothing else is reported; a target that could not be
// opened leaves the handle closed (reads see nothing, writes fail).
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace SafeFile {

// An owned file descriptor; closed on destruction if still open.
class Handle {
 public:
  Handle() = default;
  explicit Handle(int fd) : fd_(fd) {}
  Handle(Handle&& other) noexcept : fd_(other.release()) {}
  Handle& operator=(Handle&& other) noexcept;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle();

  // Opens path in mode "<", ">", ">>" or "+<" (read and write, created when
  // missing, never truncated; created files get mode 0600 before the umask).
  // false when it could not be opened; the handle is then closed.
  bool open(const std::string& path, const std::string& mode);
  // true when the descriptor was open and closed without error.
  bool close();
  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  int release();
  // Writes every byte, retrying short writes; false on any error.
  bool write_all(std::string_view data);

 private:
  int fd_ = -1;
};

// The waits of both lock pairs sleep through this seam, so tests can run the
// polling rules without real seconds. The default sleeps one second; an
// empty sleeper puts the default back.
using Sleeper = std::function<void()>;
void set_sleeper(Sleeper sleeper);
void sleep_one_second();

std::string safeopen(Handle& handle, const std::string& mode, const std::string& path);
bool safeclose(Handle& handle, const std::string& lockname);

}  // namespace SafeFile
