// Tests of message storage: the mail-file layout, all-or-nothing appends,
// concurrent deliveries, queue ids, verifications records, expiry and the
// release of held mail.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utime.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/host_paths.h"
#include "Orvane/SendVetter/storage/expiry.h"
#include "Orvane/SendVetter/storage/queue.h"
#include "Orvane/SendVetter/storage/release.h"
#include "SafeFile/SafeFile.h"
#include "sandbox.h"
#include "test_util.h"

namespace {

using namespace Orvane::SendVetter;
using testutil::run_in_child;
using testutil::TempDir;

// Child-side: no file may grow beyond limit bytes. SIGXFSZ is left as it
// is: the storage code must turn it into a failed write itself.
void limit_file_size(rlim_t limit) {
  struct rlimit rl{limit, limit};
  ::setrlimit(RLIMIT_FSIZE, &rl);
}

// The lock-file waits of forked writers poll quickly.
struct FastPolls {
  FastPolls() { SafeFile::set_sleeper([] { ::usleep(2000); }); }
  ~FastPolls() { SafeFile::set_sleeper(nullptr); }
};

// An email directory with the storage directories.
struct Mailbox {
  TempDir dir;
  std::string emaildir = dir / "etc";
  std::string inbox = dir / "mail/inbox";
  Mailbox() {
    for (const char* sub : {"/etc", "/etc/sendvetter", "/etc/sendvetter/queue",
                            "/etc/sendvetter/verifications", "/etc/sendvetter/log", "/mail"})
      ::mkdir((dir.path() + sub).c_str(), 0700);
  }
  std::string queue(const std::string& name) const { return emaildir + "/sendvetter/queue/" + name; }
  std::string record(const std::string& name) const {
    return emaildir + "/sendvetter/verifications/" + name;
  }
  std::string log() const {
    Lines d = SendVetter_nicedate(std::time(nullptr));
    return sandbox::read(emaildir + "/sendvetter/log/" + d[0] + "-" + d[1] + "-" + d[2] + ".log");
  }
};

TEST(Delivery, MailFileLayoutBytes) {
  TempDir dir;
  const std::string box = dir / "inbox";
  // CRLF input: header lines keep their CR, the separator is a bare LF, the
  // body is copied as it came, "From " lines included; a last line without
  // its line feed gets one, so the next message starts a line.
  Lines headers = {"From a@b.example Mon Jan  1 00:00:00 2024\r", "Subject: hi\r", "To: x@y\r"};
  auto r = run_in_child("line one\r\nFrom me to you\r\n\r\nlast, no line end", [&] {
    return SendVetter_delivermessage(box, headers) ? 0 : 1;
  });
  EXPECT_EQ(r.status, 0);
  std::string expected =
      "From a@b.example Mon Jan  1 00:00:00 2024\r\nSubject: hi\r\nTo: x@y\r\n\n"
      "line one\r\nFrom me to you\r\n\r\nlast, no line end\n";
  EXPECT_EQ(sandbox::read(box), expected);

  // Header-only input: the header lines and the empty line, nothing more.
  r = run_in_child("", [&] { return SendVetter_delivermessage(box, {"H: 1"}) ? 0 : 1; });
  EXPECT_EQ(r.status, 0);
  expected += "H: 1\n\n";
  EXPECT_EQ(sandbox::read(box), expected);

  // Given body lines are written as they are and standard input stays unread.
  r = run_in_child("UNREAD", [&] {
    Lines body = {"b1\n", "From x\n"};
    if (!SendVetter_delivermessage(box, {"H: 2"}, &body)) return 1;
    std::string rest;
    return standard_input().read_chunk(rest, 100) && rest == "UNREAD" ? 0 : 2;
  });
  EXPECT_EQ(r.status, 0);
  expected += "H: 2\n\nb1\nFrom x\n";
  // An empty body list means the body is still on standard input.
  r = run_in_child("stdin body\n", [&] {
    Lines none;
    return SendVetter_delivermessage(box, {"H: 3"}, &none) ? 0 : 1;
  });
  EXPECT_EQ(r.status, 0);
  expected += "H: 3\n\nstdin body\n";
  EXPECT_EQ(sandbox::read(box), expected);
  EXPECT_FALSE(sandbox::exists(box + ".lock"));

  // ".." is removed from the path; a missing directory is not created.
  Lines body = {"x\n"};
  EXPECT_TRUE(SendVetter_delivermessage(dir / "in..box", {"H: 4"}, &body));
  EXPECT_EQ(sandbox::read(box), expected + "H: 4\n\nx\n");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(SendVetter_delivermessage(dir / "missing/inbox", {"H: 5"}, &body));
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(sandbox::exists(dir / "missing"));
}

// Many processes append to one mailbox at once; each message must arrive
// whole and exactly once. Bodies exceed one write block, so interleaving
// would show.
TEST(Delivery, ConcurrentAppendsArriveWholeExactlyOnce) {
  TempDir dir;
  const std::string box = dir / "inbox";
  constexpr int kWriters = 16;
  auto message_body = [](int k) {
    std::string body;
    for (int i = 0; i < 1500; ++i) body += "writer " + std::to_string(k) + " line " + std::to_string(i) + " ..........................\n";
    return body;
  };
  FastPolls fast;
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  std::vector<pid_t> children;
  for (int k = 0; k < kWriters; ++k) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(gate[1]);
      char c;
      ::read(gate[0], &c, 1);  // all start together when the gate closes
      Lines headers = {"From w" + std::to_string(k) + "@x Mon", "X-Writer: " + std::to_string(k)};
      bool ok;
      if (k % 2 == 0) {
        Lines body = {message_body(k)};
        ok = SendVetter_delivermessage(box, headers, &body);
      } else {
        // Odd writers stream their body from standard input.
        std::string in = dir / ("in" + std::to_string(k));
        sandbox::write(in, message_body(k));
        int fd = ::open(in.c_str(), O_RDONLY);
        ::dup2(fd, 0);
        ok = SendVetter_delivermessage(box, headers);
      }
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::string content = sandbox::read(box);
  std::size_t total = 0;
  for (int k = 0; k < kWriters; ++k) {
    std::string whole = "From w" + std::to_string(k) + "@x Mon\nX-Writer: " + std::to_string(k) +
                        "\n\n" + message_body(k);
    total += whole.size();
    std::size_t at = content.find(whole);
    EXPECT_NE(at, std::string::npos) << "writer " << k;
    EXPECT_EQ(content.find(whole, at + 1), std::string::npos) << "writer " << k;
  }
  EXPECT_EQ(content.size(), total);
  EXPECT_FALSE(sandbox::exists(box + ".lock"));
}

// A write that fails part-way leaves the mailbox byte for byte as it was,
// and the failure is reported.
TEST(Delivery, FailedAppendLeavesMailboxUntouched) {
  TempDir dir;
  const std::string box = dir / "inbox";
  const std::string before = "From old@x Mon\nSubject: old\n\nold body\n";
  sandbox::write(box, before);
  const std::string small_body(300, 'b');
  const std::string big_body(200'000, 'B');  // several write blocks

  for (const std::string* body : {&small_body, &big_body}) {
    // Body given as lines.
    auto r = run_in_child("", [&] {
      limit_file_size(before.size() + 40);
      Lines lines = {*body};
      return SendVetter_delivermessage(box, {"From new@x Tue", "Subject: new"}, &lines) ? 0 : 7;
    });
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(sandbox::read(box), before);
    EXPECT_FALSE(sandbox::exists(box + ".lock"));
    // Body streamed from standard input.
    r = run_in_child(*body, [&] {
      limit_file_size(before.size() + 40);
      return SendVetter_delivermessage(box, {"From new@x Tue", "Subject: new"}) ? 0 : 7;
    });
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(sandbox::read(box), before);
  }
  // A file the failed append created (a new queue file) is removed again.
  auto fresh = run_in_child("", [&] {
    limit_file_size(100);
    Lines lines = {small_body};
    return SendVetter_delivermessage(dir / "new.msg", {"H: new"}, &lines) ? 0 : 7;
  });
  EXPECT_EQ(fresh.status, 7);
  EXPECT_FALSE(sandbox::exists(dir / "new.msg"));
  EXPECT_FALSE(sandbox::exists(dir / "new.msg.lock"));

  // A body whose reading fails (standard input is a directory) is not
  // stored as if it were whole.
  auto unreadable = run_in_child("", [&] {
    int dirfd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ::dup2(dirfd, 0);
    return SendVetter_delivermessage(box, {"H: unread"}) ? 0 : 7;
  });
  EXPECT_EQ(unreadable.status, 7);
  EXPECT_EQ(sandbox::read(box), before);

  // The same limit with a message that fits: stored and reported.
  auto r = run_in_child("", [&] {
    limit_file_size(before.size() + 40);
    Lines lines = {"ok\n"};
    return SendVetter_delivermessage(box, {"H: fits"}, &lines) ? 0 : 7;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(sandbox::read(box), before + "H: fits\n\nok\n");
}

// A run killed half-way through an append leaves its intent record; the
// next holder of the lock cuts the file back before it appends.
TEST(Delivery, AppendKilledHalfWayIsCutBackByTheNextHolder) {
  TempDir dir;
  const std::string box = dir / "inbox";
  const std::string before = "From old@x Mon\nSubject: old\n\nold body\n";
  sandbox::write(box, before);
  auto killed = run_in_child("", [&] {
    ::setenv("SENDVETTER_KILL_AT", "appended", 1);
    Lines lines = {"killed body\n"};
    SendVetter_delivermessage(box, {"H: killed"}, &lines);
    return 0;
  });
  EXPECT_EQ(killed.status, 128 + SIGKILL);
  EXPECT_EQ(sandbox::read(box), before + "H: killed\n\nkilled body\n");
  Lines lines = {"next body\n"};
  EXPECT_TRUE(SendVetter_delivermessage(box, {"H: next"}, &lines));
  EXPECT_EQ(sandbox::read(box), before + "H: next\n\nnext body\n");
  EXPECT_FALSE(sandbox::exists(box + "..intent"));
}

long vm_hwm_kb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// A 100 MB body without a single line end is streamed: the peak resident
// size of the delivering process grows by a few MB at most.
TEST(Delivery, HundredMegabyteBodyInBoundedMemory) {
  TempDir dir;
  const std::string box = dir / "inbox";
  const std::string input = dir / "body";
  constexpr std::size_t kBody = 100u << 20;
  {
    std::ofstream out(input, std::ios::binary);
    std::string block(1 << 20, 'x');
    for (std::size_t done = 0; done < kBody; done += block.size()) out << block;
  }
  const std::string figure = dir / "growth";
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = ::open(input.c_str(), O_RDONLY);
    ::dup2(fd, 0);
    // Resets the peak to the current resident size.
    std::ofstream("/proc/self/clear_refs") << "5";
    long before = vm_hwm_kb();
    bool ok = SendVetter_delivermessage(box, {"From big@x Mon", "Subject: big"});
    long after = vm_hwm_kb();
    std::ofstream(figure) << (after - before);
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  struct stat st;
  ASSERT_EQ(::stat(box.c_str(), &st), 0);
  const std::string head = "From big@x Mon\nSubject: big\n\n";
  EXPECT_EQ(static_cast<std::size_t>(st.st_size), head.size() + kBody + 1);  // + the final line feed
  long growth_kb = std::stol(sandbox::read(figure));
  std::cout << "peak RSS growth for a 100 MB body: " << growth_kb << " kB\n";
  RecordProperty("peak_rss_growth_kb", static_cast<int>(growth_kb));
  EXPECT_LT(growth_kb, 4096);
}

TEST(QueueStore, QueueIds) {
  Mailbox mb;
  HostPaths saved = host_paths();
  // Real random data: 32 word characters plus ".msg", different each time.
  std::optional<std::string> a = SendVetter_getqueueid(mb.emaildir);
  std::optional<std::string> b = SendVetter_getqueueid(mb.emaildir);
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
  EXPECT_EQ(a->size(), 36u);
  EXPECT_EQ(a->substr(32), ".msg");
  EXPECT_EQ(a->find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_"),
            32u);

  // A source that always yields the same id: fine while that name is free,
  // then no free name within the bound.
  const std::string fixed = "Fixed_Id_0123456789abcdefghijKLM";
  sandbox::write(mb.dir / "random", "\x01\x02" + fixed + "\xff!!");
  host_paths().urandom = mb.dir / "random";
  EXPECT_EQ(SendVetter_getqueueid(mb.emaildir), fixed + ".msg");
  sandbox::write(mb.queue(fixed + ".msg"), "held");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(draw_queue_id(mb.emaildir, std::chrono::milliseconds(300)), std::nullopt);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

  // No random source: nothing (the source's own message is printed).
  host_paths().urandom = mb.dir / "no-such-device";
  testing::internal::CaptureStdout();
  EXPECT_EQ(SendVetter_getqueueid(mb.emaildir), std::nullopt);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Unable to read data"), std::string::npos);
  host_paths() = saved;
}

TEST(QueueStore, VerificationsRecord) {
  Mailbox mb;
  // ".msg" leaves the id; the name is the address unless a byte of it
  // cannot be in a file name, or it could be taken for another record's lock
  // or bookkeeping file.
  EXPECT_TRUE(SendVetter_queuemessage(mb.emaildir, "abc@x.example", "ID1.msg"));
  EXPECT_TRUE(SendVetter_queuemessage(mb.emaildir, "abc@x.example", "ID2"));
  EXPECT_EQ(sandbox::read(mb.record("abc@x.example")), "ID1\nID2\n");
  EXPECT_FALSE(sandbox::exists(mb.record("abc@x.example.lock")));
  EXPECT_EQ(verifications_record_name("../x/y..z"), "..%2Fx%2Fy..z");
  EXPECT_EQ(verifications_record_name(std::string("v@x\0%.lock", 10)), "v@x%00%25%2Elock");
  EXPECT_EQ(verifications_record_name(".."), "%2E%2E");
  for (const std::string other : {"a@b..intent", "a@b..kept", "a@b..releasing"})
    EXPECT_EQ(verifications_record_name(other), "a@b%2E" + other.substr(4)) << "names a@b's bookkeeping";

  // A record that cannot grow: failure, and the record as it was.
  auto r = run_in_child("", [&] {
    limit_file_size(8);
    return SendVetter_queuemessage(mb.emaildir, "abc@x.example", "ID3.msg") ? 0 : 7;
  });
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(sandbox::read(mb.record("abc@x.example")), "ID1\nID2\n");

  // No verifications directory: failure, and no lock file left anywhere.
  TempDir bare;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(SendVetter_queuemessage(bare.path(), "s@x", "ID4"));
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(sandbox::exists(bare / "sendvetter"));
}

// A release deletes the record while a queuing run waits for its lock: the
// waiting run must not append to the deleted file.
TEST(QueueStore, RecordDeletedWhileWaitingKeepsTheNewId) {
  Mailbox mb;
  const std::string record = mb.record("s@x.example");
  sandbox::write(record, "OLD\n");
  int fd = ::open(record.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  FastPolls fast;
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(SendVetter_queuemessage(mb.emaildir, "s@x.example", "NEW.msg") ? 0 : 1);
  // Once its pid is in the lock file it opens the record and blocks in flock.
  for (int i = 0; i < 500 && sandbox::read(record + ".lock") != std::to_string(pid); ++i) ::usleep(5000);
  ::usleep(200'000);
  ::unlink(record.c_str());
  ::flock(fd, LOCK_UN);
  ::close(fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(sandbox::read(record), "NEW\n");
}

TEST(Expiry, StrictAgeBoundaryAndLogLine) {
  Mailbox mb;
  const long long age = 15 * 86400;
  Conf conf = {{"stale-queue-time", "15"}};
  ::mkdir(mb.queue("subdir").c_str(), 0700);
  // Repeated until the clock did not tick during the run, so "exactly at
  // the age" is exact.
  for (int attempt = 0; attempt < 5; ++attempt) {
    sandbox::write(mb.queue("edge.msg"), "e");
    sandbox::write(mb.queue("over.msg"), "o");
    sandbox::write(mb.queue("over.msg.lock"), "1");
    sandbox::write(mb.record("old@x"), "ID\n");
    sandbox::write(mb.emaildir + "/sendvetter/log/01-01-2000.log", "x\n");
    const long long now = std::time(nullptr);
    sandbox::touch(mb.queue("edge.msg"), now - age);
    sandbox::touch(mb.queue("over.msg"), now - age - 1);
    sandbox::touch(mb.queue("over.msg.lock"), now - age - 1);
    sandbox::touch(mb.queue("subdir"), now - age - 100);
    sandbox::touch(mb.record("old@x"), now - age - 5);
    sandbox::touch(mb.emaildir + "/sendvetter/log/01-01-2000.log", now - age - 5);
    SendVetter_checkdeadq(mb.emaildir, conf);
    if (std::time(nullptr) == now) break;
  }
  EXPECT_TRUE(sandbox::exists(mb.queue("edge.msg")));
  EXPECT_FALSE(sandbox::exists(mb.queue("over.msg")));
  EXPECT_FALSE(sandbox::exists(mb.queue("over.msg.lock")));
  EXPECT_TRUE(sandbox::exists(mb.queue("subdir")));
  EXPECT_FALSE(sandbox::exists(mb.record("old@x")));
  EXPECT_FALSE(sandbox::exists(mb.emaildir + "/sendvetter/log/01-01-2000.log"));
  const std::string log = mb.log();
  EXPECT_NE(log.find("Unlinking " + mb.emaildir +
                     "/sendvetter/queue/over.msg because its older then 1296000 seconds\n"),
            std::string::npos);
  EXPECT_NE(log.find("Unlinking " + mb.emaildir +
                     "/sendvetter/verifications/old@x because its older then 1296000 seconds\n"),
            std::string::npos);
  EXPECT_EQ(log.find("edge.msg"), std::string::npos);
}

TEST(Expiry, ZeroOrNonNumericAgeAndMissingDirectories) {
  // A negative age counts as 0, never as an age reaching into the future.
  for (const char* value : {"0", "soon", "-1", "-0.5"}) {
    Mailbox mb;
    const long long now = std::time(nullptr);
    sandbox::write(mb.queue("past.msg"), "p");
    sandbox::write(mb.queue("future.msg"), "f");
    sandbox::touch(mb.queue("past.msg"), now - 2);
    sandbox::touch(mb.queue("future.msg"), now + 100);
    SendVetter_checkdeadq(mb.emaildir, {{"stale-queue-time", value}});
    EXPECT_FALSE(sandbox::exists(mb.queue("past.msg"))) << value;
    EXPECT_TRUE(sandbox::exists(mb.queue("future.msg"))) << value;
    EXPECT_NE(mb.log().find("/sendvetter/queue/past.msg because its older then 0 seconds\n"),
              std::string::npos)
        << value;
  }
  // Fractions of a day count; the age is written as a plain number.
  Mailbox mb;
  sandbox::write(mb.queue("half.msg"), "h");
  sandbox::touch(mb.queue("half.msg"), std::time(nullptr) - 43200 - 10);
  SendVetter_checkdeadq(mb.emaildir, {{"stale-queue-time", "0.5 days"}});
  EXPECT_FALSE(sandbox::exists(mb.queue("half.msg")));
  EXPECT_NE(mb.log().find("because its older then 43200 seconds"), std::string::npos);

  // Nothing to read: no error, no log.
  TempDir empty;
  SendVetter_checkdeadq(empty.path(), {{"stale-queue-time", "0"}});
  EXPECT_FALSE(sandbox::exists(empty / "sendvetter"));
}

// The state record is a cache: a mailbox expired through it loses the same
// files at the same runs as one whose record is deleted before every run
// (a full scan), whatever happens in between: held mail, files planted with
// old or future times, deletions, the age changed, the clock moved both ways.
TEST(Expiry, StateRecordDeletesWhatTheFullScanDeletes) {
  Mailbox cached, full;
  std::mt19937 random(16);
  const char* const dirs[] = {"/sendvetter/queue/", "/sendvetter/verifications/", "/sendvetter/log/"};
  const std::pair<const char*, long long> ages[] = {{"15", 15 * 86400}, {"30", 30 * 86400}, {"5", 5 * 86400},
                                                    {"0.5", 43200}, {"0", 0}, {"never", 0}};
  auto age = ages[0];
  // Kept well before the real clock, so today's log file (written at the
  // real time) never expires in one mailbox and not in the other.
  const long long real = std::time(nullptr);
  long long now = real - 100 * 86400;
  int skipped = 0, files = 0;
  auto pick = [&](long long n) { return static_cast<long long>(random() % n); };
  for (int step = 0; step < 400; ++step) {
    const std::string dir = dirs[pick(3)];
    switch (pick(9)) {
      case 0:
      case 1: {  // held mail now, or a file planted with an old or a future time
        const std::string name = "f" + std::to_string(files++);
        const long long mtime = pick(3) == 0 ? now : now - pick(20 * 86400) + pick(86400);
        for (Mailbox* mb : {&cached, &full}) {
          sandbox::write(mb->emaildir + dir + name, "x");
          sandbox::touch(mb->emaildir + dir + name, mtime);
        }
        break;
      }
      case 2: {
        const std::vector<std::string> names = sandbox::list(full.emaildir + dir);
        if (names.empty()) break;
        const std::string name = names[pick(static_cast<long long>(names.size()))];
        for (Mailbox* mb : {&cached, &full}) ::unlink((mb->emaildir + dir + name).c_str());
        break;
      }
      case 3: age = ages[pick(4) == 0 ? pick(6) : pick(3)]; break;
      case 6: {  // to the second after the oldest file falls due
        long long oldest = now;
        for (const char* d : dirs)
          for (const std::string& name : sandbox::list(full.emaildir + d))
            oldest = std::min(oldest, modification_time(full.emaildir + d + name));
        now = std::min(oldest + age.second + 1, real - 40 * 86400);
        break;
      }
      case 4:
      case 5: now = std::clamp(now + pick(5 * 86400) - 2 * 86400, real - 200 * 86400, real - 60 * 86400); break;
      default:  // time passes, past the file system's time step
        now += pick(3600);
        ::usleep(5000);
    }
    ::unlink((full.emaildir + "/sendvetter/expiry-state").c_str());
    EXPECT_TRUE(expire_stale(full.emaildir, {{"stale-queue-time", age.first}}, now));
    skipped += !expire_stale(cached.emaildir, {{"stale-queue-time", age.first}}, now);
    for (const char* d : dirs)
      ASSERT_EQ(sandbox::list(cached.emaildir + d), sandbox::list(full.emaildir + d)) << "step " << step;
  }
  EXPECT_GT(skipped, 50);  // the record did spare scans
}

// Holds three messages for one sender, in record order q2, q1, q3, with an
// id whose queue file is already gone between them.
struct HeldMail : Mailbox {
  std::string m1 = "From s@x Mon\nSubject: one\n\nbody one\n";
  std::string m2 = "From s@x Tue\nSubject: two\n\nbody two\nFrom inside\n";
  std::string m3 = "From s@x Wed\nSubject: three\n\n" + std::string(1000, '3') + "\n";
  HeldMail() {
    sandbox::write(queue("q1.msg"), m1);
    sandbox::write(queue("q2.msg"), m2);
    sandbox::write(queue("q3.msg"), m3);
    sandbox::write(record("s@x"), "q2\ngone\nq1\nq3\n");
  }
};

TEST(Release, HeldMessagesInRecordOrder) {
  HeldMail held;
  sandbox::write(held.inbox, "earlier\n");
  EXPECT_TRUE(release_held_mail(held.emaildir, held.inbox, "s@x"));
  EXPECT_EQ(sandbox::read(held.inbox), "earlier\n" + held.m2 + held.m1 + held.m3);
  for (const char* q : {"q1.msg", "q2.msg", "q3.msg"}) EXPECT_FALSE(sandbox::exists(held.queue(q)));
  EXPECT_FALSE(sandbox::exists(held.record("s@x")));
  EXPECT_FALSE(sandbox::exists(held.record("s@x.lock")));
  EXPECT_FALSE(sandbox::exists(held.inbox + ".lock"));

  // Nothing held: success, and the inbox is created all the same.
  Mailbox fresh;
  EXPECT_TRUE(release_held_mail(fresh.emaildir, fresh.inbox, "nobody@x"));
  EXPECT_TRUE(sandbox::exists(fresh.inbox));
  EXPECT_EQ(sandbox::read(fresh.inbox), "");
}

TEST(Release, FailingInboxKeepsQueueFilesAndIds) {
  // The inbox cannot be opened at all.
  HeldMail held;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(release_held_mail(held.emaildir, held.dir / "missing/inbox", "s@x"));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(sandbox::read(held.queue("q1.msg")), held.m1);
  EXPECT_EQ(sandbox::read(held.queue("q2.msg")), held.m2);
  EXPECT_EQ(sandbox::read(held.record("s@x")), "q2\ngone\nq1\nq3\n");

  // The inbox fills up during the second message: nothing is released (the
  // first message is cut off again), everything stays held and recorded.
  sandbox::write(held.inbox, "");
  auto r = run_in_child("", [&] {
    limit_file_size(held.m2.size() + 10);
    return release_held_mail(held.emaildir, held.inbox, "s@x") ? 0 : 7;
  });
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(sandbox::read(held.inbox), "");
  EXPECT_EQ(sandbox::read(held.queue("q1.msg")), held.m1);
  EXPECT_EQ(sandbox::read(held.queue("q2.msg")), held.m2);
  EXPECT_EQ(sandbox::read(held.queue("q3.msg")), held.m3);
  EXPECT_EQ(sandbox::read(held.record("s@x")), "q2\ngone\nq1\nq3\n");
  EXPECT_FALSE(sandbox::exists(held.record("s@x.lock")));
  EXPECT_FALSE(sandbox::exists(held.inbox + ".lock"));

  // A queue file that a run is still storing (it holds its flock) is not
  // waited for with the inbox locked: the release fails and keeps it all.
  {
    int writer = ::open(held.queue("q3.msg").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(writer, LOCK_EX), 0);
    r = run_in_child("", [&] {
      ::alarm(20);  // a release that waits for the writer would hang here
      return release_held_mail(held.emaildir, held.inbox, "s@x") ? 0 : 7;
    });
    ::close(writer);
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(sandbox::read(held.inbox), "");
    EXPECT_EQ(sandbox::read(held.queue("q2.msg")), held.m2);
    EXPECT_EQ(sandbox::read(held.record("s@x")), "q2\ngone\nq1\nq3\n");
  }

  // A retry with room releases everything, once, in record order.
  EXPECT_TRUE(release_held_mail(held.emaildir, held.inbox, "s@x"));
  EXPECT_EQ(sandbox::read(held.inbox), held.m2 + held.m1 + held.m3);
  EXPECT_FALSE(sandbox::exists(held.record("s@x")));
  for (const char* q : {"q1.msg", "q2.msg", "q3.msg"}) EXPECT_FALSE(sandbox::exists(held.queue(q)));
}

TEST(Release, DeliverOneQueueFile) {
  HeldMail held;
  EXPECT_TRUE(deliver_queue_file(held.inbox, held.queue("q3.msg")));
  EXPECT_EQ(sandbox::read(held.inbox), held.m3);
  EXPECT_FALSE(sandbox::exists(held.queue("q3.msg")));
  // Gone already: nothing appended, still success.
  EXPECT_TRUE(deliver_queue_file(held.inbox, held.queue("q3.msg")));
  EXPECT_EQ(sandbox::read(held.inbox), held.m3);
  // A failed append keeps the queue file and the inbox as they were.
  auto r = run_in_child("", [&] {
    limit_file_size(held.m3.size() + 5);
    return deliver_queue_file(held.inbox, held.queue("q2.msg")) ? 0 : 7;
  });
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(sandbox::read(held.inbox), held.m3);
  EXPECT_EQ(sandbox::read(held.queue("q2.msg")), held.m2);
  // The record is not touched by a single delivery.
  EXPECT_EQ(sandbox::read(held.record("s@x")), "q2\ngone\nq1\nq3\n");
}

}  // namespace
