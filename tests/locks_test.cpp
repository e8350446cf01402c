// The two lock pairs: a lock file beside the target and a flock on it, and
// the rules for waiting on a lock file someone else left (unchanged polls,
// a live holder process). The waits run on a counting sleeper that may
// change the world between polls.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "SafeFile/SafeFile.h"
#include "sandbox.h"

namespace {

using namespace Orvane::SendVetter;

// True when another process cannot take flock(LOCK_EX) on path right now.
bool flocked_elsewhere(const std::string& path) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(::flock(::open(path.c_str(), O_RDONLY), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WEXITSTATUS(status) == 1;
}

class LockWaits : public ::testing::Test {
 protected:
  void SetUp() override {
    SafeFile::set_sleeper([this] {
      if (on_sleep) on_sleep(++sleeps);
      else ++sleeps;
    });
  }
  void TearDown() override { SafeFile::set_sleeper(nullptr); }
  // Sleeps taken by one open and close with the lock file holding content
  // (old, so its time alone never makes it fresh).
  int waits(bool mail_file, const std::string& content, std::function<void(int)> during = nullptr) {
    sandbox::write(lock, content);
    sandbox::touch(lock, 1'000'000'000);
    sleeps = 0;
    on_sleep = std::move(during);
    SafeFile::Handle h;
    if (mail_file) SendVetter_popsafeclose(h, SendVetter_popsafeopen(h, ">>", target));
    else SafeFile::safeclose(h, SafeFile::safeopen(h, ">>", target));
    return sleeps;
  }

  sandbox::TempDir dir;
  std::string target = dir / "inbox", lock = dir / "inbox.lock";
  int sleeps = 0;
  std::function<void(int)> on_sleep;
};

TEST_F(LockWaits, FreeTargetLockFileAndFlock) {
  for (bool mail_file : {false, true}) {
    SafeFile::Handle h;
    std::string name = mail_file ? SendVetter_popsafeopen(h, ">>", target) : SafeFile::safeopen(h, ">>", target);
    EXPECT_EQ(name, lock);
    struct stat st;
    ASSERT_EQ(::stat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // The mail-file pair names its holder, without a line end.
    EXPECT_EQ(sandbox::read(lock), mail_file ? std::to_string(::getpid()) : "");
    EXPECT_TRUE(flocked_elsewhere(target));
    ASSERT_TRUE(h.write_all("x"));
    EXPECT_TRUE(mail_file ? SendVetter_popsafeclose(h, name) : SafeFile::safeclose(h, name));
    EXPECT_FALSE(sandbox::exists(lock));
    EXPECT_FALSE(flocked_elsewhere(target));
  }
  EXPECT_EQ(sandbox::read(target), "xx");
  EXPECT_EQ(sleeps, 0);

  // A target that cannot be opened: the caller reports the open's reason, so
  // the lock says nothing and leaves nothing.
  ::unlink(target.c_str());
  SafeFile::Handle h;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(SendVetter_popsafeclose(h, SendVetter_popsafeopen(h, "<", target)));
  EXPECT_FALSE(SafeFile::safeclose(h, SafeFile::safeopen(h, "<", target)));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(sandbox::exists(lock));
}

TEST_F(LockWaits, UnchangedPollsAndHolderProcess) {
  pid_t live = ::fork();
  if (live == 0) for (::prctl(PR_SET_PDEATHSIG, SIGKILL);;) ::pause();  // gone with the test, however it ends
  pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  auto touch_at = [&](int n) { return [&, n](int i) { if (i == n) sandbox::touch(lock, 1'000'000'100); }; };
  // Without a pid: 10 (general pair) or 15 (mail files) unchanged polls; a
  // replaced lock file starts the count again; a removed one ends the wait.
  EXPECT_EQ(waits(false, ""), 10);
  EXPECT_EQ(waits(true, ""), 15);
  EXPECT_EQ(waits(false, "", touch_at(4)), 4 + 10);
  EXPECT_EQ(waits(true, "", touch_at(6)), 6 + 15);
  EXPECT_EQ(waits(false, "", [&](int i) { if (i == 3) ::unlink(lock.c_str()); }), 3);
  // With a pid: a live holder is waited for 300 polls, one that ends during
  // the wait no longer; a dead holder, this very process and content the
  // lock code never writes are stale at once.
  const std::string pid = std::to_string(live);
  EXPECT_EQ(waits(true, pid), 300);
  for (const std::string& stale : {std::to_string(dead), std::to_string(::getpid()), "pid " + pid + " here\n",
                                   pid + "\n12345\n", std::string("12345678901234567890123456789012\n")})
    EXPECT_EQ(waits(true, stale), 0) << stale;
  EXPECT_EQ(waits(true, pid, [&](int i) { if (i == 7) ::kill(live, SIGKILL), ::waitpid(live, nullptr, 0); }), 7);
}

}  // namespace
