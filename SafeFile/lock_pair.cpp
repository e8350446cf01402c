// The general lock pair: an empty lock file beside the target plus flock.
#include "SafeFile/SafeFile.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "SafeFile/lock_wait.h"

namespace SafeFile {

namespace {

Sleeper default_sleeper() {
  return [] { std::this_thread::sleep_for(std::chrono::seconds(1)); };
}

Sleeper& current_sleeper() {
  static Sleeper sleeper = default_sleeper();
  return sleeper;
}

}  // namespace

void set_sleeper(Sleeper sleeper) {
  current_sleeper() = sleeper ? std::move(sleeper) : default_sleeper();
}
void sleep_one_second() { current_sleeper()(); }

namespace {

// A name holding a NUL would be cut short by the system and reach another
// file; it names no lock file at all.
bool lstat_whole(const std::string& lockname, struct stat& st) {
  return lockname.find('\0') == std::string::npos && ::lstat(lockname.c_str(), &st) == 0;
}

}  // namespace

long long lock_mtime(const std::string& lockname) {
  struct stat st;
  if (!lstat_whole(lockname, st)) return 0;
  return static_cast<long long>(st.st_mtime);
}

bool lock_exists(const std::string& lockname) {
  struct stat st;
  return lstat_whole(lockname, st);
}

void wait_while_lock_unchanged(const std::string& lockname, int unchanged_limit) {
  long long last_seen = lock_mtime(lockname);
  int unchanged = 0;
  while (lock_exists(lockname)) {
    sleep_one_second();
    long long now_seen = lock_mtime(lockname);
    if (now_seen == last_seen) {
      if (++unchanged >= unchanged_limit) return;  // stale: take it over
    } else {
      last_seen = now_seen;
      unchanged = 0;
    }
  }
}

bool write_lock_file(const std::string& lockname, std::string_view content) {
  Handle lock;
  if (!lock.open(lockname, ">")) return false;
  bool written = lock.write_all(content);
  return lock.close() && written;
}

bool lock_target(Handle& handle, const std::string& path) {
  int rc;
  do {
    rc = handle.is_open() ? ::flock(handle.fd(), LOCK_EX) : (errno = EBADF, -1);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0)
    std::cerr << "cannot get file lock on " << path << ": " << std::strerror(errno) << std::endl;
  return rc == 0;
}

std::string safeopen(Handle& handle, const std::string& mode, const std::string& path) {
  const std::string lockname = path + ".lock";
  wait_while_lock_unchanged(lockname, 10);
  write_lock_file(lockname, "");
  handle.open(path, mode);
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) lock_target(handle, path);
  return lockname;
}

bool safeclose(Handle& handle, const std::string& lockname) {
  if (lockname.find('\0') == std::string::npos) ::unlink(lockname.c_str());
  if (handle.is_open()) ::flock(handle.fd(), LOCK_UN);
  return handle.close();
}

}  // namespace SafeFile
