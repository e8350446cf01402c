// The mail-file lock pair: the lock file names its holder's pid, and a waiter
// follows that process through /proc rather than the lock file's age.
//
// Waits: while /proc/<pid> of the recorded holder exists, at most 300
// one-second sleeps; an empty lock file (left by the general pair) is stale
// after 15 unchanged polls, and one holding anything but the decimal pid
// this code writes is stale at once. Then the lock file is rewritten with
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

constexpr std::size_t kMaxPidDigits = 10;

// What a lock file holds: nothing, a pid as written below, or anything
// else, which no live holder wrote (a file squatting on the lock's name).
enum class LockContent { kEmpty, kPid, kForeign };

LockContent read_lock(const std::string& lockname, std::string& pid) {
  pid = read_file(lockname);
  if (pid.empty()) return LockContent::kEmpty;
  if (pid.back() == '\n') pid.pop_back();
  const bool decimal = pid.size() <= kMaxPidDigits && pid[0] != '0' &&
                       pid.find_first_not_of("0123456789") == std::string::npos;
  return decimal ? LockContent::kPid : LockContent::kForeign;
}

}  // namespace

std::string SendVetter_popsafeopen(SafeFile::Handle& handle, const std::string& mode,
                                   const std::string& path) {
  const std::string lockname = path + ".lock";
  std::string pid;
  const LockContent content = read_lock(lockname, pid);  // a missing file reads empty
  // A lock naming our own pid cannot have a live holder: it is stale.
  if (content == LockContent::kPid && pid != std::to_string(::getpid())) {
    const std::string proc = "/proc/" + pid;
    for (int tests = 1; path_exists(proc) && tests <= kLiveHolderWaits; ++tests)
      SafeFile::sleep_one_second();
  } else if (content == LockContent::kEmpty) {
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
