// Fuzz target: the configuration file reader and the loop-protection file.
// Checked: the configuration always carries both keys and no empty or
// line-broken key; loop protection leaves a file of well-formed lines with
// this sender's entry at the current time, counts one per call, decides
// from its own count, and leaves no lock file behind.
#include <charconv>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <map>
#include <string>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/challenge/loop_protect.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/text.h"
#include "SafeFile/SafeFile.h"
#include "fuzz_common.h"

using namespace Orvane::SendVetter;

namespace {

struct Stored {
  long long time = 0;
  long long count = 0;
};

// The file as written by loop protection: every line "key=time=count".
std::map<std::string, Stored> parse_written(const std::string& content) {
  std::map<std::string, Stored> entries;
  fuzz::check(content.empty() || content.back() == '\n', "loop-protection file without final line feed", content);
  for (const std::string& line : split_dropping_trailing_empty(content, '\n')) {
    const std::size_t eq = line.find('=');
    fuzz::check(eq != std::string::npos, "loop-protection line without \"=\"", line);
    const std::string rest = line.substr(eq + 1);
    const std::size_t eq2 = rest.find('=');
    fuzz::check(eq2 != std::string::npos, "loop-protection line without a count", line);
    const std::string time = rest.substr(0, eq2), count = rest.substr(eq2 + 1);
    Stored stored;
    const auto t = std::from_chars(time.data(), time.data() + time.size(), stored.time);
    const auto c = std::from_chars(count.data(), count.data() + count.size(), stored.count);
    fuzz::check(t.ec == std::errc() && t.ptr == time.data() + time.size() && c.ec == std::errc() &&
                    c.ptr == count.data() + count.size(),
                "loop-protection numbers not written in decimal", line);
    fuzz::check(entries.find(line.substr(0, eq)) == entries.end(), "key written twice", content);
    entries[line.substr(0, eq)] = stored;
  }
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = [] {
    SafeFile::set_sleeper([] {});  // no lock is ever held by another process here
    fuzz::make_dirs(fuzz::scratch() + "/mailbox/.sendvetter");
    return fuzz::scratch() + "/mailbox";
  }();
  FuzzedDataProvider in(data, size);
  const std::string account = in.ConsumeRandomLengthString(64);
  const std::string email = in.ConsumeRandomLengthString(64);
  const long long now = in.ConsumeIntegralInRange<long long>(0, 4'000'000'000LL);
  const std::string conf = in.ConsumeRandomLengthString(1024);
  const std::string loop = in.ConsumeRemainingBytesAsString();

  fuzz::write_file(dir + "/sendvetter.conf", conf);
  Conf loaded = SendVetter_loadconf(dir, account);
  fuzz::check(!loaded["stale-queue-time"].empty(), "stale-queue-time empty", conf);
  fuzz::check(loaded["froms"] == account || !loaded["froms"].empty(), "froms empty", conf);
  for (const auto& [key, value] : loaded) {
    fuzz::check(!key.empty(), "empty key kept", conf);
    // (froms falls back to the account text, which may hold anything)
    fuzz::check(key.find('\n') == std::string::npos &&
                    (value.find('\n') == std::string::npos || (key == "froms" && value == account)),
                "line feed inside a setting", conf);
  }

  const std::string path = dir + "/.sendvetter/loopprotect";
  fuzz::write_file(path, loop);
  const std::string key = loopprotect_key(email);
  fuzz::check(key.find_first_of("=\n") == std::string::npos, "key that the file cannot hold", key);

  const bool first = loopprotect_at(email, dir, now);
  auto after_first = parse_written(fuzz::read_file(path));
  fuzz::check(after_first.count(key) == 1 && after_first[key].time == now, "sender entry not stored", key);
  const long long count1 = after_first[key].count;

  const bool second = loopprotect_at(email, dir, now);
  auto after_second = parse_written(fuzz::read_file(path));
  fuzz::check(after_second[key].time == now, "sender entry not refreshed", key);
  // Counts are read through a double: exact up to 2^53, far beyond any burst.
  if (count1 < (1LL << 53))
    fuzz::check(after_second[key].count == count1 + 1, "second call did not count exactly once", key);
  // Within the window the decision follows the count alone.
  fuzz::check(second == (after_second[key].count <= kLoopBurstLimit), "second decision disagrees with the count");
  (void)first;
  fuzz::check(!path_exists(path + ".lock"), "lock file left behind");
  return 0;
}
