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
#include <utility>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/challenge/loop_protect.h"
#include "SafeFile/SafeFile.h"
#include "fuzz_common.h"

using namespace Orvane::SendVetter;

// The file as written by loop protection: every line "key=time=count", each key once.
static std::map<std::string, std::pair<long long, long long>> parse_written(const std::string& content) {
  std::map<std::string, std::pair<long long, long long>> entries;
  fuzz::check(content.empty() || content.back() == '\n', "loop-protection file without final line feed", content);
  for (const std::string& line : split_dropping_trailing_empty(content, '\n')) {
    const std::size_t eq = line.find('='), eq2 = line.find('=', eq + 1);
    fuzz::check(eq2 != std::string::npos, "loop-protection line without \"=\" or count", line);
    long long time = 0, count = 0;
    const char* end = line.data() + line.size();
    const auto t = std::from_chars(line.data() + eq + 1, line.data() + eq2, time);
    const auto c = std::from_chars(line.data() + eq2 + 1, end, count);
    fuzz::check(t.ec == std::errc() && t.ptr == line.data() + eq2 && c.ec == std::errc() && c.ptr == end,
                "loop-protection numbers not written in decimal", line);
    fuzz::check(entries.emplace(line.substr(0, eq), std::pair(time, count)).second, "key written twice", content);
  }
  return entries;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = [] {
    SafeFile::set_sleeper([] {});  // no lock is ever held by another process here
    return std::filesystem::path(fuzz::scratch("mailbox/.sendvetter")).parent_path().string();
  }();
  FuzzedDataProvider in(data, size);
  const std::string account = in.ConsumeRandomLengthString(64);
  const std::string email = in.ConsumeRandomLengthString(64);
  const long long now = in.ConsumeIntegralInRange<long long>(0, 4'000'000'000LL);
  const std::string conf = in.ConsumeRandomLengthString(1024);
  const std::string loop = in.ConsumeRemainingBytesAsString();

  fuzz::write_file(dir + "/sendvetter.conf", conf);
  Conf loaded = SendVetter_loadconf(dir, account);
  fuzz::check(!loaded["stale-queue-time"].empty() && (loaded["froms"] == account || !loaded["froms"].empty()),
              "stale-queue-time or froms empty", conf);
  for (const auto& [key, value] : loaded)  // (froms falls back to the account text, which may hold anything)
    fuzz::check(!key.empty() && key.find('\n') == std::string::npos &&
                    (value.find('\n') == std::string::npos || (key == "froms" && value == account)),
                "empty key or line feed inside a setting", conf);

  const std::string path = dir + "/.sendvetter/loopprotect", key = loopprotect_key(email);
  fuzz::write_file(path, loop);
  fuzz::check(key.find_first_of("=\n") == std::string::npos, "key that the file cannot hold", key);
  loopprotect_at(email, dir, now);
  auto first = parse_written(read_file(path));
  fuzz::check(first.count(key) == 1 && first[key].first == now, "sender entry not stored", key);
  const bool second = loopprotect_at(email, dir, now);
  auto after = parse_written(read_file(path))[key];
  fuzz::check(after.first == now, "sender entry not refreshed", key);
  // Counts are read through a double: exact up to 2^53, far beyond any burst.
  fuzz::check(first[key].second >= (1LL << 53) || after.second == first[key].second + 1,
              "second call did not count exactly once", key);
  // Within the window the decision follows the count alone.
  fuzz::check(second == (after.second <= kLoopBurstLimit), "second decision disagrees with the count");
  fuzz::check(!path_exists(path + ".lock"), "lock file left behind");
  return 0;
}
