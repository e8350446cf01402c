// Stale-queue expiry: queue files, verifications records and log files whose
// last modification is older than stale-queue-time days are deleted, each
// deletion logged. Strict: a file exactly at the age stays. A negative age
// counts as 0, so a file modified in the current second always stays.
//
// It runs at the end of every filter run, over queues of thousands of files,
// so a run first asks the state record (expiry.h) whether anything can be
// due; only then is each directory read once, each entry costing one stat
// relative to the open directory and the path text built only for a file
// that goes.
#include "Orvane/SendVetter/storage/expiry.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/log/log.h"
#include "Orvane/SendVetter/storage/storage.h"
#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

namespace {

// The queue, verifications and log directories, in this order.
constexpr std::size_t kDirCount = 3;
constexpr const char* kStateTag = "sendvetter-expiry-1";

std::array<std::string, kDirCount> expired_dirs(const Mailbox& mailbox) {
  return {mailbox.queue_dir(), mailbox.verifications_dir(), mailbox.log_dir()};
}

// What a directory looked like: any entry added, removed or renamed, and
// any change of its own times, changes one of these. All zero: absent.
struct DirStamp {
  long long dev = 0, ino = 0, mtime_s = 0, mtime_ns = 0, ctime_s = 0, ctime_ns = 0;
  bool operator==(const DirStamp&) const = default;
};

// The oldest time is the age's lower bound for every file kept, so the
// record holds for any age.
struct State {
  long long scanned = 0;  // the clock of the scan
  long long oldest = 0;   // the oldest modification time kept, at most `scanned`
  DirStamp dirs[kDirCount];
};

long long now_ns() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<long long>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The step in which the kernel advances file times: a change made within
// one step of an earlier one may get the very same time.
long long time_step_ns(const struct stat& st) {
  // Whole seconds only: a file system without sub-second times.
  if (st.st_ctim.tv_nsec == 0 && st.st_mtim.tv_nsec == 0) return 1'000'000'000;
  struct timespec res;
  if (::clock_getres(CLOCK_REALTIME_COARSE, &res) != 0) return 10'000'000;
  return std::max<long long>(static_cast<long long>(res.tv_sec) * 1'000'000'000 + res.tv_nsec, 1'000'000);
}

// The stamp of a directory, and whether it can be told apart from every
// later change: only when its last change lies more than one time step
// before the moment the stamp was taken (otherwise a change right after
// could carry the same time).
DirStamp stamp_of(const std::string& path, bool& settled) {
  const long long taken = now_ns();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
  const long long changed = static_cast<long long>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
  if (changed > taken - time_step_ns(st)) settled = false;
  return {static_cast<long long>(st.st_dev), static_cast<long long>(st.st_ino),
          static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec,
          static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec};
}

bool read_state(const std::string& path, State& state) {
  SafeFile::Handle file;
  if (!file.open(path, "<")) return false;
  char text[512];
  const ssize_t n = ::read(file.fd(), text, sizeof text - 1);
  if (n <= 0) return false;
  text[n] = '\0';
  char tag[32];
  int used = 0;
  if (std::sscanf(text, "%31s %lld %lld%n", tag, &state.scanned, &state.oldest, &used) != 3 ||
      std::string_view(tag) != kStateTag)
    return false;
  for (DirStamp& d : state.dirs) {
    int more = 0;
    if (std::sscanf(text + used, " %lld %lld %lld %lld %lld %lld%n", &d.dev, &d.ino, &d.mtime_s,
                    &d.mtime_ns, &d.ctime_s, &d.ctime_ns, &more) != 6)
      return false;
    used += more;
  }
  return text[used] == '\n';
}

// Written whole under a private name and renamed into place, so a reader
// sees the old record or the new one, never a part.
void write_state(const std::string& path, const State& state) {
  char text[512];
  int used = std::snprintf(text, sizeof text, "%s %lld %lld", kStateTag, state.scanned, state.oldest);
  for (const DirStamp& d : state.dirs)
    used += std::snprintf(text + used, sizeof text - used, " %lld %lld %lld %lld %lld %lld", d.dev,
                          d.ino, d.mtime_s, d.mtime_ns, d.ctime_s, d.ctime_ns);
  used += std::snprintf(text + used, sizeof text - used, "\n");
  const std::string temporary = path + "." + std::to_string(::getpid());
  SafeFile::Handle file;
  if (!file.open(temporary, ">")) return;
  const bool written = file.write_all(std::string_view(text, used));
  if (file.close() && written && ::rename(temporary.c_str(), path.c_str()) == 0) return;
  ::unlink(temporary.c_str());
}

// Nothing can be due when no directory changed, the oldest file kept is not
// yet past the age, and the clock has not gone back since the scan (a change
// made after a clock set back could carry the recorded directory time).
bool nothing_due(const Mailbox& mailbox, const State& state, double age, std::time_t now) {
  if (now < state.scanned ||
      static_cast<double>(state.oldest) + age < static_cast<double>(now))
    return false;
  bool settled = true;
  const auto dirs = expired_dirs(mailbox);
  for (std::size_t i = 0; i < kDirCount; ++i)
    if (!(stamp_of(dirs[i], settled) == state.dirs[i])) return false;
  return true;
}

}  // namespace

bool expire_stale(const std::string& emaildir, const Conf& conf, std::time_t now) {
  auto found = conf.find("stale-queue-time");
  // A negative age would expire even a message held in this very second.
  const double age =
      std::max(0.0, found == conf.end() ? 0.0 : leading_decimal(found->second)) * 86400;
  const Mailbox mailbox = Mailbox::at(emaildir);
  const std::string state_path = mailbox.expiry_state_file();
  State state;
  if (read_state(state_path, state) && nothing_due(mailbox, state, age, now)) return false;

  char age_text[64];
  std::snprintf(age_text, sizeof age_text, "%.15g", age);
  state = State{static_cast<long long>(now), static_cast<long long>(now), {}};
  bool settled = true;
  const auto dirs = expired_dirs(mailbox);
  for (std::size_t i = 0; i < kDirCount; ++i) {
    const std::string& dirpath = dirs[i];
    // Stamped before reading: a change during the scan then shows next time.
    state.dirs[i] = stamp_of(dirpath, settled);
    DIR* listing = ::opendir(dirpath.c_str());
    if (!listing) continue;
    const int dirfd = ::dirfd(listing);
    bool deleted = false;
    while (const struct dirent* entry = ::readdir(listing)) {
      const char* name = entry->d_name;
      // Only a regular file (links followed) expires; a directory entry
      // the listing names as a directory cannot be one, so it needs no stat.
      if (entry->d_type == DT_DIR) continue;
      struct stat st;
      if (::fstatat(dirfd, name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
      if (static_cast<double>(st.st_mtime) + age < static_cast<double>(now)) {
        ::unlinkat(dirfd, name, 0);
        deleted = true;
        SendVetter_clog(2, emaildir,
                        "Unlinking " + dirpath + "/" + name + " because its older then " +
                            age_text + " seconds");
      } else {
        state.oldest = std::min(state.oldest, static_cast<long long>(st.st_mtime));
      }
    }
    ::closedir(listing);
    // Our own deletions changed the directory: stamped again. A file put
    // there by someone else during this scan then waits for the next full
    // scan, at the latest the recorded oldest time plus the age.
    if (deleted) state.dirs[i] = stamp_of(dirpath, settled);
  }
  if (settled)
    write_state(state_path, state);
  else
    ::unlink(state_path.c_str());
  return true;
}

void SendVetter_checkdeadq(const std::string& emaildir, const Conf& conf) {
  expire_stale(emaildir, conf, std::time(nullptr));
}

}  // namespace Orvane::SendVetter
