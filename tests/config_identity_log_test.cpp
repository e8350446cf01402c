// Configuration file, identity, random data and the activity log.
#include <gtest/gtest.h>
#include <ctime>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/host_paths.h"
#include "Orvane/SendVetter/base/text.h"
#include "sandbox.h"
#include "test_util.h"

using namespace Orvane::SendVetter;

namespace {

TEST(Configuration, ReadsNameValueLinesWithDefaults) {
  testutil::TempDir dir;
  const std::string conf = dir / "sendvetter.conf";
  EXPECT_EQ(SendVetter_loadconf(dir.path(), "acct"),
            (Conf{{"froms", "acct"}, {"stale-queue-time", "15"}}));

  sandbox::write(conf, "froms=a@x,b@x\nother=x=y\nstale-queue-time = 30\n=skipped\nbare\n");
  Conf c = SendVetter_loadconf(dir.path(), "acct");
  EXPECT_EQ(c["froms"], "a@x,b@x");
  EXPECT_EQ(c["other"], "x=y");
  EXPECT_EQ(c["stale-queue-time"], "15");
  EXPECT_EQ(c["stale-queue-time "], " 30");
  EXPECT_EQ(c.count("bare"), 1u);
  EXPECT_EQ(c.count(""), 0u);

  sandbox::write(conf, "froms=first\nfroms=second\nstale-queue-time=\n");
  c = SendVetter_loadconf(dir.path(), "acct");
  EXPECT_EQ(c["froms"], "second");
  EXPECT_EQ(c["stale-queue-time"], "15");
  sandbox::write(conf, "froms=\r\n");
  EXPECT_EQ(SendVetter_loadconf(dir.path(), "acct")["froms"], "\r");  // nothing trimmed
}

TEST(Identity, IsMadeOnceWithoutLineEndAndReadBackTheSame) {
  testutil::TempDir dir;
  ::mkdir((dir / ".sendvetter").c_str(), 0700);
  auto id = SendVetter_getourid(dir.path());
  ASSERT_TRUE(id);
  EXPECT_EQ(id->size(), 32u);
  EXPECT_EQ(sandbox::read(dir / ".sendvetter/id"), *id);
  EXPECT_EQ(SendVetter_getourid(dir.path()), id);
  sandbox::write(dir / ".sendvetter/id", "edited\nsecond line");
  EXPECT_EQ(SendVetter_getourid(dir.path()), "edited");
  EXPECT_EQ(sandbox::list(dir / ".sendvetter"), (std::vector<std::string>{"id"}));
}

TEST(Identity, ConcurrentFirstRunsAgreeOnOneIdentity) {
  testutil::TempDir dir;
  ::mkdir((dir / ".sendvetter").c_str(), 0700);
  std::vector<std::string> outputs;
  std::vector<std::pair<pid_t, int>> children;
  for (int i = 0; i < 8; ++i) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      auto id = SendVetter_getourid(dir.path());
      std::string text = id ? *id : "";
      (void)!::write(fds[1], text.data(), text.size());
      ::_exit(0);
    }
    ::close(fds[1]);
    children.emplace_back(pid, fds[0]);
  }
  std::set<std::string> seen;
  for (auto [pid, fd] : children) {
    char buffer[64];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    ::waitpid(pid, nullptr, 0);
    seen.insert(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0));
  }
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen.begin()->size(), 32u);
  EXPECT_EQ(sandbox::read(dir / ".sendvetter/id"), *seen.begin());
}

TEST(RandomData, GivesWordCharactersOfTheRequestedLength) {
  EXPECT_EQ(SendVetter_getranddata()->size(), 10u);
  EXPECT_EQ(SendVetter_getranddata(0)->size(), 0u);
  std::string data = *SendVetter_getranddata(5000);
  EXPECT_EQ(data.size(), 5000u);
  EXPECT_EQ(data.find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_"),
            std::string::npos);
  EXPECT_NE(*SendVetter_getranddata(32), *SendVetter_getranddata(32));
}

TEST(RandomData, AnUnusableDeviceEndsWithTheFatalMessageInsteadOfLooping) {
  testutil::TempDir dir;
  HostPaths saved = host_paths();
  host_paths().urandom = dir / "missing";
  auto missing = testutil::run_in_child("", [] { return SendVetter_getranddata(32) ? 0 : 1; });
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out.rfind("Fatal Error: Unable to read data from /dev/urandom (No such file", 0), 0u);
  EXPECT_NE(missing.out.find(").  Please contact your system admin to have them repair the problem.\n"),
            std::string::npos);
  host_paths().urandom = "/dev/zero";  // readable, but never a word character
  auto zero = testutil::run_in_child("", [] { return SendVetter_getranddata(32) ? 0 : 1; });
  EXPECT_EQ(zero.status, 1);
  EXPECT_NE(zero.out.find("Fatal Error"), std::string::npos);
  host_paths() = saved;
}

TEST(ActivityLog, AppendsTheTextToTheFileOfTheLocalDay) {
  testutil::TempDir dir;
  SendVetter_clog(3, dir.path(), "first line");
  SendVetter_clog(2, dir.path(), "second \"line\"");
  Lines today = SendVetter_nicedate(std::time(nullptr));
  const std::string file = dir / ("sendvetter/log/" + today[0] + "-" + today[1] + "-" + today[2] + ".log");
  EXPECT_EQ(sandbox::read(file), "first line\nsecond \"line\"\n");
  // A plain file where the log directory belongs: the line is lost quietly.
  testutil::TempDir other;
  sandbox::write(other / "sendvetter", "");
  SendVetter_clog(3, other.path(), "lost");
  EXPECT_EQ(sandbox::list(other.path()), (std::vector<std::string>{"sendvetter"}));
}

TEST(ActivityLog, DatesAreLocalAndZeroPadded) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  EXPECT_EQ(SendVetter_nicedate(1072915200 + 86400 + 3661),  // 2004-01-02 01:01:01 UTC
            (Lines{"01", "02", "2004", "01", "01", "01"}));
  ::setenv("TZ", "America/New_York", 1);
  ::tzset();
  EXPECT_EQ(SendVetter_nicedate(1072915200)[1], "31");  // still 2003-12-31 there
  ::unsetenv("TZ");
  ::tzset();
}

TEST(Numbers, LeadingNumbersAreReadAsAScriptLanguageWould) {
  EXPECT_EQ(leading_integer("1072915200abc"), 1072915200);
  EXPECT_EQ(leading_integer("abc"), 0);
  EXPECT_EQ(leading_integer(""), 0);
  EXPECT_DOUBLE_EQ(leading_decimal("1.5days"), 1.5);
  EXPECT_DOUBLE_EQ(leading_decimal(" 7"), 7);
  EXPECT_DOUBLE_EQ(leading_decimal("0x10"), 0);
  EXPECT_DOUBLE_EQ(leading_decimal("inf"), 0);
  EXPECT_DOUBLE_EQ(leading_decimal("."), 0);
}

}  // namespace
