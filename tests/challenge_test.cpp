// Loop protection, the burst counter every automatic message passes: its
// window walked with an explicit clock, its file format, and runs that count
// at the same moment.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/challenge/loop_protect.h"
#include "sandbox.h"

using namespace Orvane::SendVetter;

namespace {

constexpr long long kT = 1'700'000'000;

std::string entry(const std::string& key, long long time, long long count) {
  return key + "=" + std::to_string(time) + "=" + std::to_string(count) + "\n";
}

TEST(LoopProtect, BurstWindowAndFile) {
  struct Row {
    std::string before;
    std::string email;
    long long now;
    bool passes;
    std::string after;  // empty: not checked
    LoopCount what = LoopCount::kRequest;
  };
  const std::vector<Row> table = {
      {"", "s@x.test", kT, true, entry("s@x.test", kT, 1)},
      {entry("s@x.test", kT, 4), "s@x.test", kT + 600, true, entry("s@x.test", kT + 600, 5)},
      {entry("s@x.test", kT, 5), "s@x.test", kT + 1800, true, entry("s@x.test", kT + 1800, 6)},
      {entry("s@x.test", kT, 6), "s@x.test", kT + 1799, false, entry("s@x.test", kT + 1799, 7)},
      {entry("s@x.test", kT, 9), "s@x.test", kT + 1801, true, entry("s@x.test", kT + 1801, 1)},
      {entry("s@x.test", kT, 5), "s@x.test", kT - 100, false, entry("s@x.test", kT - 100, 6)},  // clock set back
      {"s@x.test=9000000000000000000=9\n", "s@x.test", kT, false, ""},
      {entry("s@x.test", kT, 5), "s@x.test", kT + 1, true, entry("%%answer s@x.test", kT + 1, 1) + entry("s@x.test", kT, 5),
       LoopCount::kAnswer},
      {entry("old@x.test", kT - 86401, 3) + entry("young@x.test", kT - 86400, 2) + entry("dup@x.test", kT - 10, 4) +
           entry("dup@x.test", kT - 5, 2) + "garbage line\nbad=notanumber=7\n",
       "dup@x.test", kT, true, entry("dup@x.test", kT, 3) + entry("young@x.test", kT - 86400, 2)},
      {entry("a%3Db@x.test", kT, 5), "a=b@x.test", kT, false, entry("a%3Db@x.test", kT, 6)},
  };
  for (const Row& row : table) {
    sandbox::TempDir tmp;
    ::mkdir((tmp / ".sendvetter").c_str(), 0700);
    if (!row.before.empty()) sandbox::write(tmp / ".sendvetter/loopprotect", row.before);
    EXPECT_EQ(loopprotect_at(row.email, tmp.path(), row.now, row.what), row.passes) << row.before;
    if (!row.after.empty()) {
      EXPECT_EQ(sandbox::read(tmp / ".sendvetter/loopprotect"), row.after);
    }
    EXPECT_FALSE(sandbox::exists(tmp / ".sendvetter/loopprotect.lock"));
    // A file that cannot be written still decides: the burst stays blocked.
    // Root writes past modes, so it gets a read-only mount instead.
    if (row.passes) continue;
    const std::string file = tmp / ".sendvetter/loopprotect";
    EXPECT_EQ(sandbox::run_in_child("", [&] {
      if (::geteuid() == 0) sandbox::remount(file, false)();
      else ::chmod(file.c_str(), 0400);
      return loopprotect_at(row.email, tmp.path(), row.now, row.what) ? 1 : 0;
    }).status, 0) << row.before;
  }
  for (const auto& [email, key] : std::vector<std::pair<std::string, std::string>>{
           {"a.b+c@x.test", "a.b+c@x.test"}, {"c\nd=1=1@x.test", "c%0Ad%3D1%3D1@x.test"}, {"e%3Df@x.test", "e%253Df@x.test"}})
    EXPECT_EQ(loopprotect_key(email), key);
  // Without the settings directory nothing is stored and the run goes on.
  sandbox::TempDir tmp;
  EXPECT_TRUE(loopprotect_at("s@x.test", tmp / "nomail", kT));
  EXPECT_FALSE(sandbox::exists(tmp / "nomail"));
}

// Runs started together are all counted: one lock covers read and rewrite.
TEST(LoopProtect, ConcurrentRunsAllCounted) {
  sandbox::TempDir tmp;
  ::mkdir((tmp / ".sendvetter").c_str(), 0700);
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < 10; ++i) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(gate[1]);
      char byte;
      while (::read(gate[0], &byte, 1) > 0) {
      }
      SafeFile::set_sleeper([] { ::usleep(5000); });
      ::_exit(SendVetter_loopprotect("c@x.test", tmp.path()) ? 0 : 1);
    }
    children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);  // opens the gate for every child at once
  int passed = 0;
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    passed += WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  EXPECT_EQ(passed, 5);
  const std::string stored = sandbox::read(tmp / ".sendvetter/loopprotect");
  EXPECT_EQ(stored.substr(stored.find('=', 9)), "=10\n") << stored;
}

}  // namespace
