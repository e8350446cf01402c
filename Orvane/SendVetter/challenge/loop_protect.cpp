// Loop protection: a per-sender burst counter in the settings directory's
// "loopprotect" file, one line "address=time=count" per sender.
//
// The file is read, updated and replaced under one hold of the general lock
// pair, so concurrent runs never lose each other's counts; the new content
// is written under a temporary name and renamed over it, so a run killed at
// any instant leaves the old file or the new one, never a mixture. An
// address holding "=", "%" or a line break is stored percent-encoded, since
// the line format cannot carry it as it is. Automatic answers are counted
// under "%%answer " and the key: no encoded address can begin with "%%", so
// the two counts never meet.
#include "Orvane/SendVetter/challenge/loop_protect.h"

#include <cstdio>
#include <ctime>
#include <map>
#include <unistd.h>
#include <utility>

#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/challenge/challenge.h"
#include "SafeFile/SafeFile.h"
#include "SafeFile/lock_wait.h"

namespace Orvane::SendVetter {

namespace {

// A file replaced again and again while we wait is given up on eventually.
constexpr int kMaxReopens = 8;

struct Entry {
  long long time = 0;
  long long count = 0;
};

using Entries = std::map<std::string, Entry>;

std::string read_all(int fd) {
  std::string content;
  read_rest(fd, [&](std::string_view data) {
    content.append(data);
    return true;
  });
  return content;
}

// Splits each line at its first "=" into key and "time=count"; a missing
// time or count is 0, and the last line of a key wins.
Entries parse(const std::string& content) {
  Entries entries;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    const std::string line = content.substr(start, end - start);
    start = end + 1;
    const std::size_t eq = line.find('=');
    Entry entry;
    if (eq != std::string::npos) {
      const std::string rest = line.substr(eq + 1);
      const std::size_t eq2 = rest.find('=');
      entry.time = leading_integer(rest.substr(0, eq2));
      if (eq2 != std::string::npos) entry.count = leading_integer(rest.substr(eq2 + 1));
    }
    entries[line.substr(0, eq)] = entry;
  }
  return entries;
}

// Replaces the whole file. The old file stays flocked through its open
// handle until the lock pair is closed.
void replace(const std::string& path, const std::string& temp, const std::string& content) {
  SafeFile::Handle file;
  if (file.open(temp, ">") && file.write_all(content) && file.close() &&
      std::rename(temp.c_str(), path.c_str()) == 0)
    return;
  ::unlink(temp.c_str());
}

}  // namespace

std::string loopprotect_key(const std::string& email) {
  if (email.find_first_of("=%\r\n") == std::string::npos) return email;
  std::string key;
  for (char c : email) {
    if (c == '=' || c == '%' || c == '\r' || c == '\n')
      key += percent_encoded(c);
    else
      key += c;
  }
  return key;
}

namespace {

// Reads the file under its lock, lets change update the entries, drops
// entries older than the lifetime and writes the rest back, all under one
// hold of the lock.
template <typename Change>
void update_entries(const std::string& emaildir, long long now, Change change) {
  const Mailbox mailbox = Mailbox::at(emaildir);
  const std::string path = mailbox.loop_protect_file();
  SafeFile::Handle file;
  const std::string lockname = SafeFile::safeopen(file, "+<", path);
  const bool writable = file.is_open();
  // Two waiters can both pass the lock file; the one that waited on the
  // flock of a file the other has since replaced must read the new one.
  for (int reopened = 0; writable && reopened < kMaxReopens && !names_file(file.fd(), path); ++reopened)
    if (!file.open(path, "+<") || !SafeFile::lock_target(file, path)) break;
  // A file we may not write still tells how often the sender was counted.
  if (!file.is_open() && file.open(path, "<")) SafeFile::lock_target(file, path);
  Entries entries = file.is_open() ? parse(read_all(file.fd())) : Entries();
  change(entries);
  std::string content;
  for (const auto& [address, entry] : entries) {
    if (entry.time < now - kLoopEntryLifetime) continue;
    content += address + "=" + std::to_string(entry.time) + "=" + std::to_string(entry.count) + "\n";
  }
  // A file we may only read keeps its counts as they were.
  if (writable) replace(path, mailbox.loop_protect_temp_file(), content);
  SafeFile::safeclose(file, lockname);
}

}  // namespace

bool loopprotect_at(const std::string& email, const std::string& emaildir, long long now,
                    LoopCount what) {
  const std::string key =
      (what == LoopCount::kAnswer ? "%%answer " : "") + loopprotect_key(email);
  long long last = 0, count = 0;
  update_entries(emaildir, now, [&](Entries& entries) {
    Entry& entry = entries[key];
    last = entry.time;
    count = entry.count;
    // Compared as last < now - window so that no stored time can overflow.
    if (last < now - kLoopBurstWindow) count = 0;
    ++count;
    entry = Entry{now, count};
  });
  return !(last > now - kLoopBurstWindow && count > kLoopBurstLimit);
}

bool may_answer(const std::string& email, const std::string& emaildir) {
  return loopprotect_at(email, emaildir, static_cast<long long>(std::time(nullptr)),
                        LoopCount::kAnswer);
}

void loopprotect_uncount(const std::string& email, const std::string& emaildir) {
  update_entries(emaildir, static_cast<long long>(std::time(nullptr)), [&](Entries& entries) {
    auto found = entries.find(loopprotect_key(email));
    if (found != entries.end() && found->second.count > 0) --found->second.count;
  });
}

bool SendVetter_loopprotect(const std::string& email, const std::string& emaildir) {
  return loopprotect_at(email, emaildir, static_cast<long long>(std::time(nullptr)));
}

}  // namespace Orvane::SendVetter
