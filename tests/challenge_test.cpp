// Challenge messages: form messages through a capturing sendmail, the
// default form texts, and the loop-protection burst counter.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/challenge/loop_protect.h"
#include "Orvane/SendVetter/base/host_paths.h"
#include "Orvane/SendVetter/base/regex.h"
#include "sandbox.h"
#include "test_util.h"

using namespace Orvane::SendVetter;

namespace {

class FormMessage : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = host_paths();
    ::mkdir((tmp_ / "mail").c_str(), 0700);
    ::mkdir((tmp_ / "mail/.sendvetter").c_str(), 0700);
    ::mkdir((tmp_ / "mail/.sendvetter/forms").c_str(), 0700);
    ::mkdir((tmp_ / "forms").c_str(), 0700);
    ::mkdir((tmp_ / "sent").c_str(), 0700);
    // Records its argument count, each argument, then its input.
    sandbox::write(tmp_ / "sendmail",
                   "#!/bin/sh\n"
                   "f=\"" + tmp_.path() + "/sent/$(ls \"" + tmp_.path() + "/sent\" | wc -l)\"\n"
                   "{ echo \"ARGC=$#\"; for a; do echo \"ARG=$a\"; done; cat; } > \"$f\"\n");
    ::chmod((tmp_ / "sendmail").c_str(), 0755);
    host_paths().sendmail = tmp_ / "sendmail";
    host_paths().formdir = tmp_ / "forms";
  }
  void TearDown() override { host_paths() = saved_; }

  std::string emaildir() const { return tmp_ / "mail"; }
  void system_form(const std::string& kind, const std::string& text) {
    sandbox::write(tmp_ / ("forms/" + kind + ".txt"), text);
  }
  std::vector<std::string> sent() const {
    std::vector<std::string> messages;
    for (const std::string& name : sandbox::list(tmp_ / "sent"))
      messages.push_back(sandbox::read(tmp_ / ("sent/" + name)));
    return messages;
  }
  // Sends with fixed values for everything but kind, address and subject.
  void send(const std::string& kind, const std::string& email, const std::string& subject,
            const std::string& queuefile = "QID_1.msg", const std::string& dir = "") {
    SendVetter_sendformmessage(kind, dir.empty() ? emaildir() : dir, email, subject, queuefile,
                               headers_, "mail.example.org", "acct", "IDENTITY",
                               "owner@example.org");
  }

  testutil::TempDir tmp_;
  HostPaths saved_;
  Lines headers_ = {"From sender@x.test Mon Jan  1 00:00:00 2024", "Subject: hello",
                    " continued %webdomain%"};
};

TEST_F(FormMessage, ExactBytesAndOnePassReplacement) {
  system_form("verify",
              "To: %email%\n"
              "Subject: Re: %subject% (verify#%msgid%)\n"
              "X-Info: %acct% at %webdomain% %unknown%[%headers%]\n"
              "\n"
              "%email% and again %email%\n"
              "[%headers%] end\n"
              "no line end");
  send("verify", "s@x.test", std::string("about %email%\r\nBcc: b@y.test %acct%\0", 36));
  auto messages = sent();
  ASSERT_EQ(messages.size(), 1u);
  // Inserted text is never expanded again; in the header part a value
  // loses its line breaks and NUL, and "%headers%" stays empty.
  EXPECT_EQ(messages[0],
            "ARGC=4\n"
            "ARG=-t\n"
            "ARG=-i\n"
            "ARG=-f\n"
            "ARG=<>\n"
            "X-Sendvetter: IDENTITY\n"
            "From: owner@example.org\n"
            "To: s@x.test\n"
            "Subject: Re: about %email%Bcc: b@y.test %acct% (verify#QID_1)\n"
            "X-Info: acct at mail.example.org %unknown%[]\n"
            "\n"
            "s@x.test and again s@x.test\n"
            "[From sender@x.test Mon Jan  1 00:00:00 2024\n"
            "Subject: hello\n"
            " continued %webdomain%] end\n"
            "no line end");
}

TEST_F(FormMessage, MsgidAndFormChoice) {
  system_form("blacklist", "To: %email%\nX: [%msgid%]\n");
  send("blacklist", "s@x.test", "s", "");
  system_form("returnverify", "To: %email%\nX: [%msgid%]\n");
  send("returnverify", "s@x.test", "s", "a.msgb.msg");
  send("returnverify", "s@x.test", "s", "abc.ms");

  // The private copy wins; ".." is removed from kind and directory.
  sandbox::write(emaildir() + "/.sendvetter/forms/verify.txt", "To: %email%\nPrivate\n");
  system_form("verify", "To: %email%\nSystem\n");
  send("ver..ify", "s@x.test", "s", "q", tmp_ / "ma..il");
  ::unlink((emaildir() + "/.sendvetter/forms/verify.txt").c_str());
  send("verify", "s@x.test", "s");

  // No form at all: only our two header lines reach sendmail.
  send("nosuchform", "s@x.test", "s");

  auto messages = sent();
  ASSERT_EQ(messages.size(), 6u);
  const std::string head = "ARGC=4\nARG=-t\nARG=-i\nARG=-f\nARG=<>\nX-Sendvetter: IDENTITY\nFrom: owner@example.org\n";
  EXPECT_EQ(messages[0], head + "To: s@x.test\nX: []\n");
  EXPECT_EQ(messages[1], head + "To: s@x.test\nX: [a.msgb]\n");
  EXPECT_EQ(messages[2], head + "To: s@x.test\nX: [abc.ms]\n");
  EXPECT_EQ(messages[3], head + "To: s@x.test\nPrivate\n");
  EXPECT_EQ(messages[4], head + "To: s@x.test\nSystem\n");
  EXPECT_EQ(messages[5], head);
}

TEST_F(FormMessage, OnlyOneRecipient) {
  system_form("verify", "To: %email%\n\nbody\n");
  for (const char* email : {"a@x.test, b@y.test", "a@x.test;b@y.test", "", "a@x.test\nBcc: b@y.test",
                            "a@x.test\r", "a@x.test b@y.test", "\"b@y.test\"@x.test", "<b@y.test>",
                            "a@x.test(b@y.test)", "g:b@y.test", "a", "@x.test", "a@", "a@x.test."})
    send("verify", email, "s");
  EXPECT_TRUE(sent().empty());
  send("verify", "a+b@x.test", "s");
  EXPECT_EQ(sent().size(), 1u);
}

// The shipped forms: recipient, subject and the headers that keep other
// responders quiet, an empty line, a body, no placeholder left over.
TEST_F(FormMessage, DefaultForms) {
  host_paths().formdir = std::string(SENDVETTER_SOURCE_DIR) + "/forms";
  const std::string qid = "Ab3_xY9zQw8_Lm2Np7Rs4Tu6Vw1Xy0Z_";
  const std::string incoming = "Lunch (verify#someoneelse) tomorrow";
  send("verify", "s@x.test", incoming, qid + ".msg");
  send("blacklist", "s@x.test", incoming, "");
  send("returnverify", "s@x.test", "Please confirm (conf#remote123)", "remote123");
  auto messages = sent();
  ASSERT_EQ(messages.size(), 3u);

  const Regex leftover("%(acct|msgid|subject|email|headers|webdomain)%");
  std::vector<std::string> subjects;
  for (const std::string& message : messages) {
    const std::size_t end = message.find("\n\n");
    ASSERT_NE(end, std::string::npos) << message;
    const std::string head = message.substr(0, end + 1);
    EXPECT_EQ(head.rfind("ARGC=4\nARG=-t\nARG=-i\nARG=-f\nARG=<>\nX-Sendvetter: IDENTITY\nFrom: owner@example.org\n"
                         "To: s@x.test\n", 0), 0u) << message;
    EXPECT_NE(head.find("\nAuto-Submitted: auto-replied\n"), std::string::npos) << message;
    EXPECT_TRUE(head.find("\nPrecedence: bulk\n") != std::string::npos ||
                head.find("\nPrecedence: junk\n") != std::string::npos) << message;
    const std::size_t at = head.find("\nSubject: ");
    ASSERT_NE(at, std::string::npos) << message;
    subjects.push_back(head.substr(at + 10, head.find('\n', at + 1) - at - 10));
    EXPECT_GT(message.size() - end, 40u) << "body too short: " << message;
    EXPECT_FALSE(leftover.search(message)) << message;
  }

  // A plain reply to the challenge names the held message, even when the
  // incoming subject carried another marker.
  const Regex marker("verify\\#([^\\)\\s]+)", Regex::kCaseless);
  std::vector<std::string> captures;
  ASSERT_TRUE(marker.search("Re: " + subjects[0], captures)) << subjects[0];
  EXPECT_EQ(captures[1], qid);
  ASSERT_TRUE(marker.search("RE: " + subjects[0] + " ", captures));
  EXPECT_EQ(captures[1], qid);
  EXPECT_NE(messages[0].find(qid), std::string::npos);
  // The answer to another system keeps its marker.
  EXPECT_NE(subjects[2].find("Please confirm (conf#remote123)"), std::string::npos) << subjects[2];
  EXPECT_NE(subjects[1].find(incoming), std::string::npos) << subjects[1];
}

// ---- loop protection ----------------------------------------------------------

class LoopProtect : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir((tmp_ / "mail").c_str(), 0700);
    ::mkdir((tmp_ / "mail/.sendvetter").c_str(), 0700);
  }
  std::string emaildir() const { return tmp_ / "mail"; }
  std::string file() const { return tmp_ / "mail/.sendvetter/loopprotect"; }
  std::string content() const { return sandbox::read(file()); }
  std::vector<std::string> sorted_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(content());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  static std::string line(const std::string& key, long long time, long long count) {
    return key + "=" + std::to_string(time) + "=" + std::to_string(count);
  }

  testutil::TempDir tmp_;
  const long long t_ = 1'700'000'000;
};

TEST_F(LoopProtect, FirstMessageAndBurst) {
  EXPECT_TRUE(loopprotect_at("s@x.test", emaildir(), t_));
  EXPECT_EQ(content(), line("s@x.test", t_, 1) + "\n");
  EXPECT_FALSE(sandbox::exists(file() + ".lock"));

  for (int i = 2; i <= 5; ++i) EXPECT_TRUE(loopprotect_at("s@x.test", emaildir(), t_ + 100 * i));
  EXPECT_FALSE(loopprotect_at("s@x.test", emaildir(), t_ + 600));
  EXPECT_EQ(content(), line("s@x.test", t_ + 600, 6) + "\n");
  EXPECT_FALSE(loopprotect_at("s@x.test", emaildir(), t_ + 2000));  // still within 1800 s
  // A pause longer than the window starts a new burst.
  EXPECT_TRUE(loopprotect_at("s@x.test", emaildir(), t_ + 2000 + 1801));
  EXPECT_EQ(content(), line("s@x.test", t_ + 3801, 1) + "\n");

  // Missing settings directory: nothing stored, the run goes on.
  EXPECT_TRUE(loopprotect_at("s@x.test", tmp_ / "nomail", t_));
  EXPECT_TRUE(loopprotect_at("s@x.test", tmp_ / "nomail", t_));
  EXPECT_FALSE(sandbox::exists(tmp_ / "nomail"));
}

TEST_F(LoopProtect, WindowEdgesAndClockSetBack) {
  sandbox::write(file(), line("s@x.test", t_, 5) + "\n");
  // Exactly 1800 s later: not reset, and not ended at this message.
  EXPECT_TRUE(loopprotect_at("s@x.test", emaildir(), t_ + 1800));
  EXPECT_EQ(content(), line("s@x.test", t_ + 1800, 6) + "\n");
  EXPECT_FALSE(loopprotect_at("s@x.test", emaildir(), t_ + 1801));

  sandbox::write(file(), line("s@x.test", t_, 9) + "\n");
  EXPECT_TRUE(loopprotect_at("s@x.test", emaildir(), t_ + 1801));
  EXPECT_EQ(content(), line("s@x.test", t_ + 1801, 1) + "\n");

  // A stored time in the future (clock set back) keeps the window open.
  sandbox::write(file(), line("s@x.test", t_, 5) + "\n");
  EXPECT_FALSE(loopprotect_at("s@x.test", emaildir(), t_ - 100));
  EXPECT_EQ(content(), line("s@x.test", t_ - 100, 6) + "\n");

  // Absurd stored values neither overflow nor crash.
  sandbox::write(file(), "s@x.test=9000000000000000000=9\n");
  EXPECT_FALSE(loopprotect_at("s@x.test", emaildir(), t_));
}

TEST_F(LoopProtect, RewriteKeepsYoungEntriesOnly) {
  sandbox::write(file(), line("old@x.test", t_ - 86401, 3) + "\n" +
                             line("young@x.test", t_ - 86400, 2) + "\n" +
                             line("dup@x.test", t_ - 10, 4) + "\n" +
                             line("dup@x.test", t_ - 5, 2) + "\n" +
                             "garbage line\nbad=notanumber=7\n");
  EXPECT_TRUE(loopprotect_at("s@x.test", emaildir(), t_));
  EXPECT_EQ(sorted_lines(), (std::vector<std::string>{line("dup@x.test", t_ - 5, 2),
                                                      line("s@x.test", t_, 1),
                                                      line("young@x.test", t_ - 86400, 2)}));
  // The last line of an address wins.
  EXPECT_TRUE(loopprotect_at("dup@x.test", emaildir(), t_));
  EXPECT_EQ(sorted_lines()[0], line("dup@x.test", t_, 3));
}

// A file that cannot be written still decides: the burst stays blocked.
TEST_F(LoopProtect, ReadOnlyFileStillCounts) {
  if (::geteuid() == 0) GTEST_SKIP() << "permission bits do not bind root";
  sandbox::write(file(), line("s@x.test", t_, 5) + "\n");
  ::chmod(file().c_str(), 0400);
  EXPECT_FALSE(loopprotect_at("s@x.test", emaildir(), t_ + 10));
  EXPECT_EQ(content(), line("s@x.test", t_, 5) + "\n");
}

TEST_F(LoopProtect, AddressesTheFormatCannotCarry) {
  for (int i = 1; i <= 6; ++i) {
    EXPECT_EQ(loopprotect_at("a=b@x.test", emaildir(), t_ + i), i <= 5);
    EXPECT_EQ(loopprotect_at("c\nd=1=1@x.test", emaildir(), t_ + i), i <= 5);
    EXPECT_EQ(loopprotect_at("e%3Df@x.test", emaildir(), t_ + i), i <= 5);
  }
  EXPECT_EQ(sorted_lines(), (std::vector<std::string>{line("a%3Db@x.test", t_ + 6, 6),
                                                      line("c%0Ad%3D1%3D1@x.test", t_ + 6, 6),
                                                      line("e%253Df@x.test", t_ + 6, 6)}));
  EXPECT_EQ(loopprotect_key("a.b+c@x.test"), "a.b+c@x.test");
}

// Runs started together are all counted: one lock covers read and rewrite.
TEST_F(LoopProtect, ConcurrentRunsAllCounted) {
  constexpr int kRuns = 10;
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < kRuns; ++i) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(gate[1]);
      char byte;
      while (::read(gate[0], &byte, 1) > 0) {
      }
      SafeFile::set_sleeper([] { ::usleep(5000); });
      ::_exit(SendVetter_loopprotect("c@x.test", emaildir()) ? 0 : 1);
    }
    children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);  // opens the gate for every child at once
  int passed = 0;
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 0) ++passed;
  }
  EXPECT_EQ(passed, 5);
  const std::string stored = content();
  EXPECT_EQ(stored.substr(stored.rfind('=')), "=10\n") << stored;
  EXPECT_EQ(std::count(stored.begin(), stored.end(), '\n'), 1);
}

}  // namespace
