// Fault injection through the real filter and panel programs: files that
// cannot grow (RLIMIT_FSIZE), read-only mail directories (a read-only bind
// mount in a private mount namespace), a run killed while it holds the inbox
// lock, a missing or failing sendmail, a release that fails half-way, and a
// panel action on a message that is still being stored. The promise under
// test: exit 0 only when the message is stored whole, exactly once; exit 75
// and no trace otherwise, so the mail server's retry stores it once.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "sandbox.h"

using sandbox::Sandbox;

namespace {

#ifndef SENDVETTER_NO_SANDBOX

std::string message(const std::string& sender, const std::string& subject, const std::string& body) {
  return "From " + sender + " Mon Jan  1 00:00:00 2024\nFrom: " + sender + "\nTo: bob@host.example.test\n" +
         "Subject: " + subject + "\n\n" + body;
}

std::string filler(std::size_t size, const std::string& tag) {
  std::string body;
  for (int i = 0; body.size() < size; ++i) body += tag + " line " + std::to_string(i) + "\n";
  return body;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Number of non-overlapping occurrences of needle in text.
int occurrences(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size()))
    ++n;
  return n;
}

long long file_size(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::function<void()> file_size_limit(long long bytes) {
  return [bytes] {
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(bytes);
    ::setrlimit(RLIMIT_FSIZE, &limit);
  };
}

// A private mount namespace in which dir is read-only; false when this host
// does not allow it.
bool make_read_only(const std::string& dir) {
  return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         ::mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

bool can_make_read_only(const std::string& dir) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(make_read_only(dir) ? 0 : 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A mailbox "bob" with its directories made and one white-listed sender.
struct Mailbox {
  Sandbox box;
  std::string home, emaildir, inbox, queue, verifications;
  Mailbox() {
    home = box.add_user("bob");
    emaildir = home + "/etc";
    inbox = home + "/mail/inbox";
    queue = emaildir + "/sendvetter/queue";
    verifications = emaildir + "/sendvetter/verifications";
    box.filter("bob", "From: nobody\n\n");
    sandbox::write(emaildir + "/.sendvetter/white-list.txt", "from ^friend@example\\.org$\n");
  }
  std::vector<std::string> queued() const {
    std::vector<std::string> names;
    for (const std::string& name : sandbox::list(queue))
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".msg") == 0) names.push_back(name);
    return names;
  }
  std::vector<std::string> locks() const {
    std::vector<std::string> found;
    for (const std::string& path : sandbox::tree(home))
      if (path.find(".lock") != std::string::npos) found.push_back(path);
    return found;
  }
};

TEST(Faults, InboxThatCannotGrowAnswers75AndStaysByteIdentical) {
  Mailbox m;
  ASSERT_EQ(m.box.filter("bob", message("friend@example.org", "first", filler(100000, "first"))).status, 0);
  const std::string before = sandbox::read(m.inbox);
  ASSERT_FALSE(before.empty());
  const std::string second = message("friend@example.org", "second", filler(20000, "second"));

  // Not a byte more, and room for half of the message: both end in 75 with
  // the inbox as it was (a short write is cut back, not left behind).
  for (long long room : {0LL, 10000LL}) {
    m.box.set_child_setup(file_size_limit(static_cast<long long>(before.size()) + room));
    auto r = m.box.filter("bob", second);
    EXPECT_EQ(r.status, 75) << "room " << room << "; stderr: " << r.err;
    EXPECT_EQ(r.err, "cannot write to " + m.inbox + ": File too large\n") << "room " << room;
    EXPECT_TRUE(sandbox::read(m.inbox) == before) << "room " << room << ": the inbox changed";
    EXPECT_TRUE(m.locks().empty());
  }
  // The mail server's retry, with room again: stored once.
  m.box.set_child_setup(nullptr);
  EXPECT_EQ(m.box.filter("bob", second).status, 0);
  EXPECT_TRUE(sandbox::read(m.inbox) == before + sandbox::stored_form(second));
}

TEST(Faults, InboxThatIsADirectoryAnswers75WithTheReason) {
  Mailbox m;
  ::unlink(m.inbox.c_str());
  ASSERT_EQ(::mkdir(m.inbox.c_str(), 0700), 0);
  auto r = m.box.filter("bob", message("friend@example.org", "first", "body\n"));
  EXPECT_EQ(r.status, 75);
  EXPECT_EQ(r.err, "cannot open " + m.inbox + ": Is a directory\n");
  EXPECT_TRUE(m.locks().empty());
}

TEST(Faults, QueueFileThatCannotGrowAnswers75AndLeavesNoTrace) {
  Mailbox m;
  const std::string held = message("stranger@example.org", "held", filler(8000, "held"));
  m.box.set_child_setup(file_size_limit(2048));
  auto r = m.box.filter("bob", held);
  EXPECT_EQ(r.status, 75) << r.err;
  EXPECT_TRUE(m.queued().empty()) << "a queue file was left: " << m.queued().front();
  EXPECT_TRUE(sandbox::list(m.queue).empty()) << "something was left in the queue directory";
  EXPECT_TRUE(sandbox::read(m.verifications + "/stranger@example.org").empty());
  EXPECT_TRUE(m.box.sent().empty()) << "a challenge went out for a message that was not held";
  EXPECT_TRUE(m.locks().empty());

  m.box.set_child_setup(nullptr);
  EXPECT_EQ(m.box.filter("bob", held).status, 0);
  ASSERT_EQ(m.queued().size(), 1u);
  EXPECT_TRUE(sandbox::read(m.queue + "/" + m.queued()[0]) == sandbox::stored_form(held));
  EXPECT_EQ(lines_of(sandbox::read(m.verifications + "/stranger@example.org")),
            std::vector<std::string>{m.queued()[0].substr(0, 32)});
}

TEST(Faults, RetriesOfAnUnstorableMessageAreNeverAnsweredZero) {
  // The mail server retries a message answered 75. However often that
  // happens while the queue cannot take it, no retry may be answered 0
  // unless the message was stored: loop protection must not count attempts
  // that stored nothing and then drop the message for good.
  Mailbox m;
  const std::string held = message("stranger@example.org", "retried", filler(8000, "retried"));
  m.box.set_child_setup(file_size_limit(2048));
  for (int attempt = 1; attempt <= 7; ++attempt) {
    auto r = m.box.filter("bob", held);
    EXPECT_EQ(r.status, 75) << "attempt " << attempt << " answered " << r.status << " and stored nothing";
    if (r.status != 75) break;
  }
  m.box.set_child_setup(nullptr);
  EXPECT_EQ(m.box.filter("bob", held).status, 0);
  EXPECT_EQ(m.queued().size(), 1u) << "the message was lost";
}

TEST(Faults, ReadOnlyMailDirectoriesAndNoRandomDataAnswer75) {
  Mailbox m;
  ASSERT_EQ(m.box.filter("bob", message("friend@example.org", "first", "one\n")).status, 0);
  if (!can_make_read_only(m.home + "/mail")) GTEST_SKIP() << "no private mount namespace here (unshare/mount refused)";
  const std::string before = sandbox::read(m.inbox);

  const std::string deliver_dir = m.home + "/mail";
  m.box.set_child_setup([deliver_dir] {
    if (!make_read_only(deliver_dir)) ::_exit(99);
  });
  auto r = m.box.filter("bob", message("friend@example.org", "second", "two\n"));
  EXPECT_EQ(r.status, 75) << r.err;
  EXPECT_TRUE(sandbox::read(m.inbox) == before);

  // The email directory read-only: an unknown sender's message cannot be held.
  const std::string email_dir = m.emaildir;
  m.box.set_child_setup([email_dir] {
    if (!make_read_only(email_dir)) ::_exit(99);
  });
  r = m.box.filter("bob", message("stranger@example.org", "held", "three\n"));
  EXPECT_EQ(r.status, 75) << r.err;
  EXPECT_TRUE(m.queued().empty());
  EXPECT_TRUE(m.box.sent().empty());

  // Panel changes that cannot be made say so instead of reporting success.
  m.box.set_child_setup(nullptr);
  ASSERT_EQ(m.box.filter("bob", message("stranger@example.org", "held", "three\n")).status, 0);
  const std::string held = m.queued().at(0);
  m.box.set_child_setup([email_dir] {
    if (!make_read_only(email_dir)) ::_exit(99);
  });
  auto failed = m.box.panel({"SendVetter_saveconf", "bob", "a@x", "30"});
  EXPECT_EQ(failed.out, "Settings not saved: the settings file could not be written.");
  EXPECT_EQ(failed.status, 1);
  failed = m.box.panel({"SendVetter_changestatus", "bob", "Enable"});
  EXPECT_EQ(failed.out, "Change failed; the filter stays disabled.");
  EXPECT_EQ(failed.status, 1);
  failed = m.box.panel({"SendVetter_messageaction", "bob", "", held, "whitelist"});
  EXPECT_EQ(failed.out, "stranger@example.org was added to your white list. Adding failed; the list is unchanged. ");
  EXPECT_EQ(failed.status, 1);
  failed = m.box.panel({"SendVetter_messageaction", "bob", "", held, "delete"});
  EXPECT_EQ(failed.out, "queued message from stranger@example.org deleted. Deleting failed; the message stays queued. ");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(m.queued().size(), 1u);

  // No random data for a new mailbox's identity: retry later, never bounce.
  m.box.add_user("carol");
  m.box.set_child_setup([] {
    if (!(::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
          ::mount("/dev/null", "/dev/urandom", nullptr, MS_BIND, nullptr) == 0))
      ::_exit(99);
  });
  r = m.box.filter("carol", message("stranger@example.org", "no id", "four\n"));
  EXPECT_EQ(r.status, 75) << r.out;

  m.box.set_child_setup(nullptr);
  EXPECT_TRUE(m.locks().empty());
}

TEST(Faults, RunKilledWhileHoldingTheInboxLeavesAStaleLockTheNextRunTakesOver) {
  Mailbox m;
  ASSERT_EQ(m.box.filter("bob", message("friend@example.org", "first", "one\n")).status, 0);
  const std::string before = sandbox::read(m.inbox);
  const std::string killed = message("friend@example.org", "killed", filler(400000, "killed"));

  auto run = m.box.start_filter({"bob"});
  // Headers and most of the body; the rest never comes. The run holds the
  // inbox lock while it streams the body.
  ASSERT_TRUE(run->write_input(killed.substr(0, 300000)));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (file_size(m.inbox) <= static_cast<long long>(before.size()) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(sandbox::exists(m.inbox + ".lock")) << "the run does not hold the inbox lock";
  run->kill(SIGKILL);
  EXPECT_EQ(run->wait().status, 128 + SIGKILL);
  EXPECT_TRUE(sandbox::exists(m.inbox + ".lock")) << "expected a stale lock file";

  // The holder is gone: the next run takes the lock over without waiting
  // for the 300-second bound of a live holder.
  const std::string next = message("friend@example.org", "next", "after the crash\n");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(m.box.filter("bob", next).status, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
  EXPECT_TRUE(m.locks().empty());

  // The limit of a kill: the part of the killed message already written
  // stays, between the intact earlier mail and the intact next message.
  // The killed run never answered 0, so the mail server delivers it again.
  const std::string after = sandbox::read(m.inbox);
  const std::string tail = sandbox::stored_form(next);
  ASSERT_GE(after.size(), before.size() + tail.size());
  EXPECT_TRUE(after.compare(0, before.size(), before) == 0);
  EXPECT_TRUE(after.compare(after.size() - tail.size(), tail.size(), tail) == 0);
  const std::string partial = after.substr(before.size(), after.size() - before.size() - tail.size());
  EXPECT_TRUE(sandbox::stored_form(killed).compare(0, partial.size(), partial) == 0)
      << "the damage is more than a prefix of the killed message";
  EXPECT_LT(partial.size(), sandbox::stored_form(killed).size());
}

TEST(Faults, MissingOrFailingSendmailStillHoldsTheMessage) {
  for (bool missing : {false, true}) {
    Mailbox m;
    m.box.break_sendmail(missing);
    const std::string held = message("stranger@example.org", "held", "body\n");
    auto r = m.box.filter("bob", held);
    EXPECT_EQ(r.status, 0) << (missing ? "missing" : "failing") << " sendmail: " << r.err;
    ASSERT_EQ(m.queued().size(), 1u);
    EXPECT_TRUE(sandbox::read(m.queue + "/" + m.queued()[0]) == sandbox::stored_form(held));
    EXPECT_EQ(lines_of(sandbox::read(m.verifications + "/stranger@example.org")),
              std::vector<std::string>{m.queued()[0].substr(0, 32)});
  }
}

TEST(Faults, ReleaseThatFailsHalfWayKeepsTheRestHeldAndTheRetryDeliversEachOnce) {
  Mailbox m;
  std::vector<std::string> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(message("stranger@example.org", "held " + std::to_string(i), filler(6000, "held" + std::to_string(i))));
    ASSERT_EQ(m.box.filter("bob", held.back()).status, 0);
  }
  const auto ids = lines_of(sandbox::read(m.verifications + "/stranger@example.org"));
  ASSERT_EQ(ids.size(), 3u);
  // The sender answers the first challenge, as people do.
  const std::string reply = message("stranger@example.org", "Re: (verify#" + ids[0] + ") Please confirm", "yes\n");

  // Room for the first released message only.
  const std::string first = sandbox::stored_form(held[0]);
  m.box.set_child_setup(file_size_limit(static_cast<long long>(first.size()) + 100));
  auto r = m.box.filter("bob", reply);
  EXPECT_EQ(r.status, 75) << r.err;
  const std::string inbox = sandbox::read(m.inbox);
  EXPECT_TRUE(inbox.empty() || inbox == first) << "a partial release was left in the inbox";
  // Whatever was not released is still queued and still recorded.
  const auto still_listed = lines_of(sandbox::read(m.verifications + "/stranger@example.org"));
  for (std::size_t i = 0; i < 3; ++i) {
    const bool released = i == 0 && inbox == first;
    EXPECT_EQ(sandbox::exists(m.queue + "/" + ids[i] + ".msg"), !released) << "message " << i;
    EXPECT_EQ(std::count(still_listed.begin(), still_listed.end(), ids[i]), released ? 0 : 1) << "message " << i;
  }
  EXPECT_TRUE(m.locks().empty());

  // The mail server retries the same reply: every held message arrives,
  // exactly once, whole, in the order it was held.
  m.box.set_child_setup(nullptr);
  EXPECT_EQ(m.box.filter("bob", reply).status, 0);
  EXPECT_TRUE(sandbox::read(m.inbox) ==
              sandbox::stored_form(held[0]) + sandbox::stored_form(held[1]) + sandbox::stored_form(held[2]))
      << "inbox holds " << occurrences(sandbox::read(m.inbox), "Subject: held ") << " released messages";
  EXPECT_TRUE(m.queued().empty());
  EXPECT_FALSE(sandbox::exists(m.verifications + "/stranger@example.org"));
}

TEST(Faults, PanelDeliverOfAMessageStillBeingStoredNeverSplitsIt) {
  Mailbox m;
  const std::string held = message("stranger@example.org", "slow", filler(300000, "slow"));
  auto run = m.box.start_filter({"bob"});
  ASSERT_TRUE(run->write_input(held.substr(0, 200000)));
  // The message has its first blocks on disk, under a name never listed as
  // held mail; the rest is still coming.
  std::string name;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline && name.empty()) {
    for (const std::string& file : sandbox::list(m.queue))
      if (file_size(m.queue + "/" + file) > 0) name = file;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_FALSE(name.empty()) << "the run did not start storing";
  EXPECT_TRUE(m.queued().empty()) << "listed before it is whole: " << m.queued().front();

  // The owner clicks "deliver" on it now, from another process.
  const std::string status_file = m.box.root() + "/panel-status";
  pid_t panel = ::fork();
  if (panel == 0) {
    // This copy of the filter's input pipe would keep the run from ever
    // seeing the end of its input.
    run->close_input();
    auto r = m.box.panel({"SendVetter_messageaction", "bob", "", name, "deliver"});
    sandbox::write(status_file, std::to_string(r.status));
    ::_exit(0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_TRUE(run->write_input(held.substr(200000)));
  EXPECT_EQ(run->wait().status, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(panel, &status, 0), panel);

  // Whole, exactly once: in the inbox, or still in the queue, and then the
  // panel said the delivery failed.
  const std::string stored = sandbox::stored_form(held);
  const std::string inbox = sandbox::read(m.inbox);
  const bool queued = m.queued().size() == 1;
  EXPECT_EQ(sandbox::read(status_file), queued ? "1" : "0");
  if (queued) {
    EXPECT_TRUE(sandbox::read(m.queue + "/" + m.queued()[0]) == stored) << "the held copy is damaged";
    EXPECT_TRUE(inbox.empty()) << "part of the message reached the inbox and it is still held";
  } else {
    EXPECT_TRUE(inbox == stored) << "the inbox got " << inbox.size() << " of " << stored.size() << " bytes";
  }
  EXPECT_TRUE(m.locks().empty());
}

#endif  // SENDVETTER_NO_SANDBOX

}  // namespace
