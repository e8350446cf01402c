// Storage units: an append that fails leaves the file as it was, names
// that are no file, a record replaced while a writer waits keeps the new
// id, expiry through its state record deletes what a full scan deletes, and
// a release that cannot copy keeps it all.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/storage/expiry.h"
#include "Orvane/SendVetter/storage/release.h"
#include "SafeFile/SafeFile.h"
#include "sandbox.h"

namespace {

using namespace Orvane::SendVetter;
using sandbox::run_in_child;
using sandbox::TempDir;

constexpr long long kDay = 86400;
// The directories whose files expire.
const char* const kExpired[] = {"/sendvetter/queue/", "/sendvetter/verifications/", "/sendvetter/log/"};

void make_mailbox(const std::string& emaildir) {
  for (const char* d : kExpired) std::filesystem::create_directories(emaildir + d);
}

void plant(const std::string& path, long long mtime) {
  sandbox::write(path, "x");
  sandbox::touch(path, mtime);
}

bool expire(const std::string& emaildir, const std::string& days, long long now) {
  return expire_stale(emaildir, {{"stale-queue-time", days}}, now);
}

int exit_status(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs body in a child whose files may not grow past limit bytes: 0 when
// body succeeded, 7 when it reported failure.
int limited(long long limit, const std::string& input, const std::function<bool()>& body) {
  return run_in_child(input, [&] {
    sandbox::file_size_limit(limit)();
    return body() ? 0 : 7;
  }).status;
}

TEST(Storage, FailedAppendLeavesTheFileAsItWas) {
  TempDir dir;
  const std::string box = dir / "inbox", before = "From old@x Mon\n\nold body\n";
  sandbox::write(box, before);
  const PackedLines head = {"From new@x Tue", "Subject: new"};
  // Half a block and several blocks, given as lines and streamed from
  // standard input: each write past the limit is cut back.
  for (const std::string& body : {std::string(300, 'b'), std::string(200'000, 'B')}) {
    Lines lines = {body};
    EXPECT_EQ(limited(before.size() + 40, "", [&] { return SendVetter_delivermessage(box, head, &lines); }), 7);
    EXPECT_EQ(limited(before.size() + 40, body, [&] { return SendVetter_delivermessage(box, head); }), 7);
    EXPECT_EQ(sandbox::read(box), before);
  }
  // Input read a block at a time: the second block fails, with nothing after it.
  const std::string blocks = std::string(2 * 65536 - 1, 'B') + "\n";
  EXPECT_EQ(limited(before.size() + 100'000, blocks, [&] { return SendVetter_delivermessage(box, head); }), 7);
  // A file the failed append created goes again; an unreadable body (the
  // input is a directory) is no body.
  Lines lines = {"x\n"};
  EXPECT_EQ(limited(10, "", [&] { return SendVetter_delivermessage(dir / "new.msg", head, &lines); }), 7);
  EXPECT_EQ(limited(1 << 30, "", [&] {
    ::dup2(::open("/", O_RDONLY), 0);
    return SendVetter_delivermessage(box, head);
  }), 7);
  EXPECT_EQ(sandbox::list(dir.path()), std::vector<std::string>{"inbox"});
  EXPECT_EQ(sandbox::read(box), before);
  // What fits is stored, and reported so.
  EXPECT_EQ(limited(before.size() + 40, "", [&] { return SendVetter_delivermessage(box, {"H: fits"}, &lines); }), 0);
  EXPECT_EQ(sandbox::read(box), before + "H: fits\n\nx\n");
}

// Names from mail or a request that would name a directory, a path cut
// short at a NUL, a FIFO that blocks its reader, or a list in a subdirectory,
// name no file.
TEST(Storage, NamesThatAreNoFile) {
  for (const std::string& name : {std::string("."), std::string(".."), std::string("a\0b", 3), std::string("a/b")})
    EXPECT_FALSE(is_single_name(name)) << name;
  EXPECT_EQ(verifications_record_name("."), "%2E");
  EXPECT_EQ(verifications_record_name(".."), "%2E%2E");
  for (const std::string other : {"a@b..intent", "a@b..kept", "a@b..releasing"})
    EXPECT_EQ(verifications_record_name(other), "a@b%2E" + other.substr(4)) << "names a@b's bookkeeping";
  EXPECT_FALSE(path_exists(std::string("/tmp\0/x", 7)));
  TempDir dir;
  SafeFile::Handle h;
  ::mkfifo((dir / "fifo").c_str(), 0600);
  EXPECT_FALSE(open_regular_file(h, dir / "fifo"));
  // A list name is one file name, never a path into the settings directory.
  ::mkdir((dir / ".sendvetter").c_str(), 0700);
  ::mkdir((dir / ".sendvetter/forms").c_str(), 0700);
  EXPECT_FALSE(SendVetter_addaddytolist("forms/white", "a@b.test", dir.path()));
}

// A release deletes the record while a hold waits for its lock: the
// waiting run must write a new record, not append to the deleted file.
TEST(Storage, RecordReplacedWhileWaitingKeepsTheNewId) {
  TempDir dir;
  make_mailbox(dir.path());
  const std::string record = dir / "sendvetter/verifications/s@x";
  sandbox::write(record, "OLD\n");
  const int held = ::open(record.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(SendVetter_queuemessage(dir.path(), "s@x", "NEW.msg") ? 0 : 1);
  // Once its pid is in the lock file it opens the record and waits in flock.
  for (int i = 0; i < 500 && sandbox::read(record + ".lock") != std::to_string(pid); ++i) ::usleep(5000);
  ::usleep(200'000);
  ::unlink(record.c_str());
  ::flock(held, LOCK_UN);  // the child shares this open file, and so its lock
  EXPECT_EQ(exit_status(pid), 0);
  ::close(held);
  EXPECT_EQ(sandbox::read(record), "NEW\n");
}

// The state record is a cache: a mailbox expired through it loses the same
// files at the same runs as one scanned in full every time, whatever
// happens in between (files planted old, new or in the future, deleted,
// the age changed, the clock moved both ways). A file exactly at the age
// stays; a second older goes.
TEST(Storage, ExpiryDeletesWhatTheFullScanDeletes) {
  TempDir cached, full;
  const long long real = std::time(nullptr);
  long long now = real - 100 * kDay;  // today's log, written at the real time, never expires
  for (TempDir* mb : {&cached, &full}) {
    make_mailbox(mb->path());
    plant(mb->path() + kExpired[0] + "edge0", now - 15 * kDay);
    plant(mb->path() + kExpired[0] + "edge1", now - 15 * kDay - 1);
    EXPECT_TRUE(expire(mb->path(), "15", now));
  }
  EXPECT_EQ(sandbox::list(cached.path() + kExpired[0]), std::vector<std::string>{"edge0"});
  std::mt19937 random(16);
  auto pick = [&](long long n) { return static_cast<long long>(random() % n); };
  const std::pair<const char*, long long> ages[] = {{"15", 15 * kDay}, {"30", 30 * kDay}, {"5", 5 * kDay},
                                                    {"0.5", kDay / 2}, {"0", 0}, {"never", 0}};
  auto age = ages[0];
  int skipped = 0;
  for (int step = 0; step < 400; ++step) {
    const std::string dir = kExpired[pick(3)], name = "f" + std::to_string(step);
    const long long choice = pick(9), mtime = pick(3) == 0 ? now : now - pick(20 * kDay) + pick(kDay);
    const std::vector<std::string> names = sandbox::list(full.path() + dir);
    const std::string victim = names.empty() ? "none" : names[pick(static_cast<long long>(names.size()))];
    for (TempDir* mb : {&cached, &full}) {
      if (choice < 2) plant(mb->path() + dir + name, mtime);
      if (choice == 2) ::unlink((mb->path() + dir + victim).c_str());
    }
    long long oldest = now;  // to the second after the oldest file falls due
    for (const char* d : kExpired)
      for (const std::string& file : sandbox::list(full.path() + d))
        oldest = std::min(oldest, modification_time(full.path() + d + file));
    if (choice == 3) age = ages[pick(6)];
    if (choice == 4) now = std::clamp(now + pick(5 * kDay) - 2 * kDay, real - 200 * kDay, real - 60 * kDay);
    if (choice == 5) now = std::min(oldest + age.second + 1, real - 40 * kDay);
    if (choice > 5) {
      now += pick(3600);
      ::usleep(5000);  // past the file system's time step
    }
    ::unlink((full.path() + "/sendvetter/expiry-state").c_str());
    EXPECT_TRUE(expire(full.path(), age.first, now));
    skipped += !expire(cached.path(), age.first, now);
    for (const char* d : kExpired) ASSERT_EQ(sandbox::list(cached.path() + d), sandbox::list(full.path() + d)) << step;
  }
  EXPECT_GT(skipped, 50);  // the record did spare scans
}

// Aging a file in place changes no directory stamp, so only the record's
// other guards can send expiry back to a full scan: a clock set back since
// the scan, and a stamp taken too soon after a change to tell it from the next.
TEST(Storage, ExpiryScansInFullWhenTheRecordCannotBeTrusted) {
  TempDir clock_back, unsettled;
  const long long now = std::time(nullptr);
  make_mailbox(clock_back.path());
  const std::string held = clock_back.path() + kExpired[0] + "held";
  sandbox::write(held, "x");
  ::usleep(50'000);  // the directories settle, so the record gets written
  EXPECT_TRUE(expire(clock_back.path(), "15", now));
  sandbox::touch(held, now - 30 * kDay);
  EXPECT_TRUE(expire(clock_back.path(), "15", now - 3600));
  EXPECT_FALSE(sandbox::exists(held));
  // The first scan must come within one time step of the change: a few tries.
  make_mailbox(unsettled.path());
  bool deleted = false;
  for (int attempt = 0; attempt < 5 && !deleted; ++attempt) {
    const std::string fresh = unsettled.path() + kExpired[0] + "fresh" + std::to_string(attempt);
    sandbox::write(fresh, "x");
    expire(unsettled.path(), "15", now);
    sandbox::touch(fresh, now - 30 * kDay);
    expire(unsettled.path(), "15", now);
    deleted = !sandbox::exists(fresh);
  }
  EXPECT_TRUE(deleted);
}

// Held mail for one sender, recorded in the order q2, q1.
TEST(Storage, ReleaseThatCannotCopyKeepsEverything) {
  TempDir dir;
  make_mailbox(dir.path());
  sandbox::write(dir / "sendvetter/queue/q1.msg", "From s@x Mon\n\none\n");
  sandbox::write(dir / "sendvetter/queue/q2.msg", "From s@x Tue\n\ntwo\n");
  const std::string record = dir / "sendvetter/verifications/s@x";
  sandbox::write(record, "q2\nq1\n");
  const auto before = sandbox::tree(dir.path());
  const auto release = [&] { return release_held_mail(dir.path(), dir / "inbox", "s@x"); };
  // No inbox to open; and a queue file still being stored (its writer holds
  // the flock) is not waited for with the inbox locked.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(release_held_mail(dir.path(), dir / "missing/inbox", "s@x"));
  const int writer = ::open((dir / "sendvetter/queue/q1.msg").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(writer, LOCK_EX), 0);
  EXPECT_EQ(run_in_child("", [&] {
    ::alarm(20);
    return release() ? 0 : 7;
  }).status, 7);
  testing::internal::GetCapturedStderr();
  ::close(writer);
  EXPECT_EQ(sandbox::read(dir / "inbox"), "");
  ::unlink((dir / "inbox").c_str());
  EXPECT_EQ(sandbox::tree(dir.path()), before);
  // A hold that has the record locked is waited for, and its id released too.
  const int hold = ::open(record.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(hold, LOCK_EX), 0);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(release() ? 0 : 1);
  ::usleep(300'000);
  EXPECT_EQ(sandbox::read(dir / "inbox"), "");
  sandbox::write(dir / "sendvetter/queue/q3.msg", "From s@x Wed\n\nthree\n");
  sandbox::write(record, "q2\nq1\nq3\n");
  ::flock(hold, LOCK_UN);  // shared with the child: closing would not unlock
  EXPECT_EQ(exit_status(pid), 0);
  ::close(hold);
  EXPECT_EQ(sandbox::read(dir / "inbox"), "From s@x Tue\n\ntwo\nFrom s@x Mon\n\none\nFrom s@x Wed\n\nthree\n");
  EXPECT_EQ(sandbox::tree(dir / "sendvetter"), (std::vector<std::string>{"log/", "queue/", "verifications/"}));
}

}  // namespace
