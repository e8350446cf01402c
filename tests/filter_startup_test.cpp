// The filter program end to end: self-test, account resolution and its
// messages, the sender fallback and the malformed-message discard.
#include <gtest/gtest.h>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/regex.h"
#include "sandbox.h"

using sandbox::Sandbox;

namespace {

std::string today_log(const std::string& emaildir) {
  auto d = Orvane::SendVetter::SendVetter_nicedate(std::time(nullptr));
  return sandbox::read(emaildir + "/sendvetter/log/" + d[0] + "-" + d[1] + "-" + d[2] + ".log");
}

#ifndef SENDVETTER_NO_SANDBOX

TEST(FilterStartup, BincheckAnswersWithoutTouchingAnything) {
  Sandbox box;
  auto r = box.filter(std::vector<std::string>{"--bincheck"}, "From: a@b\n\nbody\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "BinCheck ok\n");
  // Another spelling is an account name, and so is anything after "--".
  for (const std::vector<std::string>& argv : {std::vector<std::string>{"--BinCheck"}, {"--", "--help"}}) {
    auto other = box.filter(argv, "");
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.out, "Unable to locate home dir for account " + argv.back() + "\n");
  }
  auto none = box.filter(std::vector<std::string>{}, "");
  EXPECT_EQ(none.status, 64);
  EXPECT_EQ(none.err, "usage: sendvetter ACCOUNT < MESSAGE\n");
  auto help = box.filter(std::vector<std::string>{"--help"}, "");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: sendvetter ACCOUNT < MESSAGE\n", 0), 0u);
  auto version = box.filter(std::vector<std::string>{"--version"}, "");
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(Orvane::SendVetter::Regex("^sendvetter [0-9]+\\.[0-9]+\\.[0-9]+\n$").search(version.out)) << version.out;
}

TEST(FilterStartup, UnknownAccountsAndMissingDirectories) {
  Sandbox box;
  auto unknown = box.filter("nobody@nowhere.test", "From: a@b\n\n");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.out, "Unable to locate home dir for account nobody@nowhere.test\n");

  // The domain's directories do not exist: retry later, never bounce.
  box.add_user("bob");
  box.add_domain("example.com", "bob");
  auto missing = box.filter("info@example.com", "From: a@b\n\nbody\n");
  EXPECT_EQ(missing.status, 75);
  EXPECT_EQ(missing.out, "");
  EXPECT_NE(missing.err.find("Email homedir for info@example.com does not exist"), std::string::npos);
}

TEST(FilterStartup, StartedAsRootItBecomesTheOwnerBeforeTouchingAFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  Sandbox box;
  ::chmod(box.root().c_str(), 0755);
  const std::string home = box.root() + "/home/carol";
  ::mkdir(home.c_str(), 0700);
  ASSERT_EQ(::chown(home.c_str(), 4242, 4243), 0);
  box.add_passwd_line("carol:x:4242:4243::" + home + ":/bin/sh");
  ASSERT_EQ(box.filter("carol", "From: no address\n\n").status, 0);
  const auto made = sandbox::tree(home);
  EXPECT_FALSE(made.empty());
  for (const std::string& path : made) {
    struct stat st;
    ASSERT_EQ(::lstat((home + "/" + path).c_str(), &st), 0);
    EXPECT_TRUE(st.st_uid == 4242 && st.st_gid == 4243) << path << " belongs to " << st.st_uid << ":" << st.st_gid;
  }

  // An owner it cannot become: retry later, and nothing is written as root.
  box.add_passwd_line("dave:x:none:4243::" + home + "/dave:/bin/sh");
  auto r = box.filter("dave", "From: a@b\n\n");
  EXPECT_EQ(r.status, 75);
  EXPECT_EQ(r.err, "cannot read a numeric user and group id from the passwd entry of dave\n");
  EXPECT_FALSE(sandbox::exists(home + "/dave"));
}

TEST(FilterStartup, MakesTheIdentityAndSettingsDirectoryOnFirstRun) {
  Sandbox box;
  const std::string home = box.add_user("bob");
  box.filter("bob", "Subject: no sender at all\n\nbody\n");
  const std::string id = sandbox::read(home + "/etc/.sendvetter/id");
  EXPECT_EQ(id.size(), 32u);
  box.filter("bob", "Subject: again\n\nbody\n");
  EXPECT_EQ(sandbox::read(home + "/etc/.sendvetter/id"), id);
}

TEST(FilterStartup, SenderFallsBackToTheEnvelopeAndAMessageWithNeitherIsDropped) {
  Sandbox box;
  const std::string home = box.add_user("bob");
  auto dropped = box.filter("bob", "Subject: hi\nFrom: Nobody Here\n\nbody\n");
  EXPECT_EQ(dropped.status, 0);
  EXPECT_EQ(today_log(home + "/etc"),
            "Setting from email address to  (sender) because the From: header was invalid.\n"
            "Discarding malformed message from sender: due to invalid From: header (Nobody Here)\n");
  EXPECT_FALSE(sandbox::exists(home + "/mail/inbox"));

  Sandbox box2;
  const std::string home2 = box2.add_user("bob");
  auto fallback = box2.filter("bob", "From Odd..Sender@X.test Mon Dec  7\nFrom: no address\n\nbody\n");
  EXPECT_EQ(fallback.status, 0);
  // Exactly as the envelope wrote it: not lower-cased, ".." kept.
  EXPECT_EQ(today_log(home2 + "/etc").rfind(
                "Setting from email address to Odd..Sender@X.test (sender) because the From: header was invalid.\n", 0),
            0u);
}

TEST(PanelConfiguration, SavesLoadsAndRefusesLineBreaks) {
  Sandbox box;
  const std::string home = box.add_user("bob");
  auto saved = box.panel({"SendVetter_saveconf", "bob", "a@x,b@x", "30"});
  EXPECT_EQ(saved.out, "");
  EXPECT_EQ(sandbox::read(home + "/etc/sendvetter.conf"), "froms=a@x,b@x\nstale-queue-time=30\n");

  auto refused = box.panel({"SendVetter_saveconf", "bob", "a@x", "30\nstale-queue-time=0"});
  EXPECT_NE(refused.out, "");
  EXPECT_EQ(sandbox::read(home + "/etc/sendvetter.conf"), "froms=a@x,b@x\nstale-queue-time=30\n");
  EXPECT_EQ(sandbox::list(home + "/etc"), (std::vector<std::string>{".sendvetter", "sendvetter.conf"}));

  // An expiry age that is not a number of days would empty the queue.
  for (const char* age : {"abc", "-1", "1e3", " 5", "5 days"}) {
    auto bad_age = box.panel({"SendVetter_saveconf", "bob", "a@x", age});
    EXPECT_EQ(bad_age.out, "Settings not saved: the queue time must be a number of days, 0 or more.") << age;
  }
  EXPECT_EQ(sandbox::read(home + "/etc/sendvetter.conf"), "froms=a@x,b@x\nstale-queue-time=30\n");
  for (const char* age : {"0", "0.5", ".5", "7.", ""})
    EXPECT_EQ(box.panel({"SendVetter_saveconf", "bob", "a@x", age}).out, "") << age;
  EXPECT_EQ(sandbox::read(home + "/etc/sendvetter.conf"), "froms=a@x\nstale-queue-time=\n");

  auto dir = box.panel({"SendVetter_getboxconfdir", "bob"});
  EXPECT_EQ(dir.out, home + "/etc/.sendvetter");
  auto unknown = box.panel({"SendVetter_saveconf", "ghost", "a", "1"});
  EXPECT_EQ(unknown.out, "Unable to locate home dir for account ghost\n");

  EXPECT_EQ(box.panel({"SendVetter_isenabled", "bob"}).out, "0");
  EXPECT_EQ(box.panel({"SendVetter_init"}).out, "1");
  EXPECT_EQ(box.panel({"SendVetter_logdate", "1073001600"}, {{"TZ", "UTC"}}).out, "01-02-2004");
  auto bad = box.panel({"SendVetter_nosuchthing"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err, "");
}

#endif

}  // namespace
