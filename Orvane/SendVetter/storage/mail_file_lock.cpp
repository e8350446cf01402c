// The mail-file lock pair: the lock file names its holder's pid, and a waiter
// follows that process through /proc rather than the lock file's age.
//
// Waits: while /proc/<pid> of the recorded holder exists, at most 300
// one-second sleeps; a lock file without a pid (left by the general pair)
// is stale after 15 unchanged polls. Then the lock file is rewritten with
// our pid, the target opened and, when that succeeded, always flocked.
#include <cctype>
#include <unistd.h>

#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/storage/storage.h"
#include "SafeFile/SafeFile.h"
#include "SafeFile/lock_wait.h"

namespace Orvane::SendVetter {

namespace {

constexpr int kLiveHolderWaits = 300;
constexpr int kUnchangedPolls = 15;

std::string recorded_pid(const std::string& lockname) {
  const std::string line = first_line(read_file(lockname));
  std::size_t start = line.find_first_of("0123456789");
  if (start == std::string::npos) return {};
  std::size_t end = line.find_first_not_of("0123456789", start);
  return line.substr(start, end == std::string::npos ? end : end - start);
}

}  // namespace

std::string SendVetter_popsafeopen(SafeFile::Handle& handle, const std::string& mode,
                                   const std::string& path) {
  const std::string lockname = path + ".lock";
  std::string pid = SafeFile::lock_exists(lockname) ? recorded_pid(lockname) : std::string();
  // A lock naming our own pid cannot have a live holder: it is stale.
  if (pid == std::to_string(::getpid())) {
  } else if (!pid.empty()) {
    const std::string proc = "/proc/" + pid;
    for (int tests = 1; path_exists(proc) && tests <= kLiveHolderWaits; ++tests)
      SafeFile::sleep_one_second();
  } else {
    SafeFile::wait_while_lock_unchanged(lockname, kUnchangedPolls);
  }
  SafeFile::write_lock_file(lockname, std::to_string(::getpid()));
  // A target that could not be opened has nothing to flock; the open's
  // reason stays in errno for the caller.
  if (handle.open(path, mode)) SafeFile::lock_target(handle, path);
  return lockname;
}

bool SendVetter_popsafeclose(SafeFile::Handle& handle, const std::string& lockname) {
  return SafeFile::safeclose(handle, lockname);
}

}  // namespace Orvane::SendVetter
