// Tests of the two lock pairs: lock files beside the target, flock on the
// target, and the waiting rules (unchanged polls, live holder process).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utime.h>

#include "Orvane/SendVetter.h"
#include "SafeFile/SafeFile.h"
#include "sandbox.h"
#include "test_util.h"

namespace {

using Orvane::SendVetter::SendVetter_popsafeclose;
using Orvane::SendVetter::SendVetter_popsafeopen;
using testutil::TempDir;

std::string read_fd(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  ::lseek(fd, 0, SEEK_SET);
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

// 0 when another process cannot take flock(LOCK_EX) on path right now.
bool flock_taken_elsewhere(const std::string& path) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) ::_exit(2);
    ::_exit(::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A child that stays alive until killed.
pid_t spawn_sleeper() {
  pid_t pid = ::fork();
  if (pid == 0) {
    for (;;) ::pause();
  }
  return pid;
}

void kill_and_reap(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status;
  ::waitpid(pid, &status, 0);
}

// The waits run on a counting fake sleeper; on_sleep may change the world
// between polls (touch, delete or take over the lock file).
class LockWaits : public ::testing::Test {
 protected:
  void SetUp() override {
    SafeFile::set_sleeper([this] {
      ++sleeps;
      if (on_sleep) on_sleep(sleeps);
    });
  }
  void TearDown() override { SafeFile::set_sleeper(nullptr); }

  std::string target() const { return dir.path() + "/inbox"; }
  std::string lock() const { return dir.path() + "/inbox.lock"; }
  void stale_lock(const std::string& content) {
    sandbox::write(lock(), content);
    sandbox::touch(lock(), 1'000'000'000);
    sleeps = 0;
  }

  TempDir dir;
  int sleeps = 0;
  std::function<void(int)> on_sleep;
};

TEST_F(LockWaits, FreeTargetModesLockFilesAndFlock) {
  mode_t old_umask = ::umask(022);
  SafeFile::Handle h;
  std::string lockname = SafeFile::safeopen(h, ">", target());
  EXPECT_EQ(lockname, lock());
  ASSERT_TRUE(h.is_open());
  struct stat st;
  ASSERT_EQ(::stat(lock().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_TRUE(flock_taken_elsewhere(target()));
  ASSERT_TRUE(h.write_all("one\n"));
  EXPECT_TRUE(SafeFile::safeclose(h, lockname));
  EXPECT_FALSE(sandbox::exists(lock()));
  EXPECT_FALSE(flock_taken_elsewhere(target()));

  lockname = SafeFile::safeopen(h, ">>", target());
  ASSERT_TRUE(h.write_all("two\n"));
  EXPECT_TRUE(SafeFile::safeclose(h, lockname));
  lockname = SafeFile::safeopen(h, "<", target());
  EXPECT_EQ(read_fd(h.fd()), "one\ntwo\n");
  EXPECT_TRUE(SafeFile::safeclose(h, lockname));
  lockname = SafeFile::safeopen(h, ">", target());
  ASSERT_TRUE(h.write_all("x"));
  EXPECT_TRUE(SafeFile::safeclose(h, lockname));
  EXPECT_EQ(sandbox::read(target()), "x");

  // The mail-file pair: the lock file names us, without a line end.
  lockname = Orvane::SendVetter::SendVetter_popsafeopen(h, ">>", target());
  EXPECT_EQ(lockname, lock());
  EXPECT_EQ(sandbox::read(lock()), std::to_string(::getpid()));
  ASSERT_EQ(::stat(lock().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(flock_taken_elsewhere(target()));
  ASSERT_TRUE(h.write_all("y"));
  EXPECT_TRUE(SendVetter_popsafeclose(h, lockname));
  EXPECT_FALSE(sandbox::exists(lock()));
  EXPECT_FALSE(flock_taken_elsewhere(target()));
  EXPECT_EQ(sandbox::read(target()), "xy");
  EXPECT_EQ(sleeps, 0);
  ::umask(old_umask);
}

TEST_F(LockWaits, ReadOfMissingTarget) {
  SafeFile::Handle h;
  testing::internal::CaptureStderr();
  std::string lockname = SafeFile::safeopen(h, "<", target());
  EXPECT_FALSE(h.is_open());
  EXPECT_TRUE(sandbox::exists(lock()));
  EXPECT_FALSE(SafeFile::safeclose(h, lockname));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(sandbox::exists(lock()));
  EXPECT_FALSE(sandbox::exists(target()));

  // The mail-file pair flocks whatever it opened; a failed open leaves its
  // reason to the caller rather than a lock warning about no descriptor.
  testing::internal::CaptureStderr();
  lockname = SendVetter_popsafeopen(h, "<", target());
  EXPECT_FALSE(h.is_open());
  EXPECT_FALSE(SendVetter_popsafeclose(h, lockname));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(sandbox::exists(lock()));
}

TEST_F(LockWaits, StaleLockWithoutPidTakenOverAfterUnchangedPolls) {
  SafeFile::Handle h;
  stale_lock("");
  SafeFile::safeclose(h, SafeFile::safeopen(h, ">>", target()));
  EXPECT_EQ(sleeps, 10);

  stale_lock("");
  std::string lockname = SendVetter_popsafeopen(h, ">>", target());
  EXPECT_EQ(sleeps, 15);
  EXPECT_EQ(sandbox::read(lock()), std::to_string(::getpid()));
  SendVetter_popsafeclose(h, lockname);
}

TEST_F(LockWaits, ReplacedOrRemovedLockChangesTheWait) {
  SafeFile::Handle h;
  // A new holder replaces the lock file at the 4th poll: counting restarts.
  stale_lock("");
  on_sleep = [&](int n) {
    if (n == 4) sandbox::touch(lock(), 1'000'000'100);
  };
  SafeFile::safeclose(h, SafeFile::safeopen(h, ">>", target()));
  EXPECT_EQ(sleeps, 4 + 10);

  stale_lock("");
  on_sleep = [&](int n) {
    if (n == 6) sandbox::touch(lock(), 1'000'000'100);
  };
  SendVetter_popsafeclose(h, SendVetter_popsafeopen(h, ">>", target()));
  EXPECT_EQ(sleeps, 6 + 15);

  // The holder closes at the 3rd poll: the wait ends there.
  stale_lock("");
  on_sleep = [&](int n) {
    if (n == 3) ::unlink(lock().c_str());
  };
  SafeFile::safeclose(h, SafeFile::safeopen(h, ">>", target()));
  EXPECT_EQ(sleeps, 3);
}

TEST_F(LockWaits, PidLockFollowsTheHolderProcess) {
  SafeFile::Handle h;
  // Holder gone: no wait at all, however fresh the lock file.
  pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  sandbox::write(lock(), std::to_string(dead));
  sleeps = 0;
  std::string lockname = SendVetter_popsafeopen(h, ">>", target());
  EXPECT_EQ(sleeps, 0);
  EXPECT_EQ(sandbox::read(lock()), std::to_string(::getpid()));
  SendVetter_popsafeclose(h, lockname);

  // Live holder: exactly 300 one-second waits, then taken over.
  pid_t live = spawn_sleeper();
  sandbox::write(lock(), std::to_string(live));
  sleeps = 0;
  lockname = SendVetter_popsafeopen(h, ">>", target());
  EXPECT_EQ(sleeps, 300);
  SendVetter_popsafeclose(h, lockname);

  // Content the lock code never writes (another file squatting on the lock's
  // name, digits and all) is stale at once, not a pid to wait on.
  for (const std::string& foreign : std::vector<std::string>{"pid " + std::to_string(live) + " here\n",
                                     std::to_string(live) + "\n12345\n",
                                     "12345678901234567890123456789012\n"}) {
    sandbox::write(lock(), foreign);
    sleeps = 0;
    SendVetter_popsafeclose(h, SendVetter_popsafeopen(h, ">>", target()));
    EXPECT_EQ(sleeps, 0) << foreign;
  }

  // The holder ends during the wait: the waiter goes on at once.
  sandbox::write(lock(), std::to_string(live));
  sleeps = 0;
  on_sleep = [&](int n) {
    if (n == 7) kill_and_reap(live);
  };
  SendVetter_popsafeclose(h, SendVetter_popsafeopen(h, ">>", target()));
  EXPECT_EQ(sleeps, 7);

  // A lock naming this very process is stale (its holder is not running).
  on_sleep = nullptr;
  sandbox::write(lock(), std::to_string(::getpid()));
  sleeps = 0;
  SendVetter_popsafeclose(h, SendVetter_popsafeopen(h, ">>", target()));
  EXPECT_EQ(sleeps, 0);
}

// Real one-second polls; kept to these two.
TEST(LockRealTime, StaleEmptyLockTakenOverAfterAboutTenSeconds) {
  TempDir dir;
  const std::string target = dir.path() + "/loopprotect";
  sandbox::write(target + ".lock", "");
  sandbox::touch(target + ".lock", 1'000'000'000);
  auto start = std::chrono::steady_clock::now();
  SafeFile::Handle h;
  std::string lockname = SafeFile::safeopen(h, ">>", target);
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(h.is_open());
  EXPECT_TRUE(SafeFile::safeclose(h, lockname));
  EXPECT_GE(waited, 9.9);
  EXPECT_LT(waited, 13.0);
}

TEST(LockRealTime, WaiterProceedsWhenLiveHolderEnds) {
  TempDir dir;
  const std::string target = dir.path() + "/inbox";
  pid_t holder = ::fork();
  if (holder == 0) {
    SafeFile::Handle h;
    std::string lockname = SendVetter_popsafeopen(h, ">>", target);
    h.write_all("first\n");
    ::usleep(2'000'000);
    SendVetter_popsafeclose(h, lockname);
    ::_exit(0);
  }
  for (int i = 0; i < 500 && sandbox::read(target + ".lock") != std::to_string(holder); ++i) ::usleep(10'000);
  ASSERT_EQ(sandbox::read(target + ".lock"), std::to_string(holder));
  // Reap the holder while we wait, or its /proc entry would outlive it.
  std::thread reaper([holder] { ::waitpid(holder, nullptr, 0); });
  auto start = std::chrono::steady_clock::now();
  SafeFile::Handle h;
  std::string lockname = SendVetter_popsafeopen(h, ">>", target);
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  h.write_all("second\n");
  SendVetter_popsafeclose(h, lockname);
  reaper.join();
  EXPECT_EQ(sandbox::read(target), "first\nsecond\n");
  EXPECT_GE(waited, 1.0);
  EXPECT_LT(waited, 5.0);
}

}  // namespace
