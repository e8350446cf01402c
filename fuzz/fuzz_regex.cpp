// Fuzz target: the PCRE2 gateway with user-written patterns (list rules,
// panel search strings) against any subject. Every call must end within the
// match limits (libFuzzer's -timeout catches a hang); a limit hit is "no
// match"; replacement never loses or invents text when nothing matches.
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

#include "Orvane/SendVetter/base/regex.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const unsigned flags = in.ConsumeIntegralInRange<unsigned>(0, 3);
  const std::string pattern = in.ConsumeRandomLengthString(256);
  // Long subjects are where backtracking hurts: repeat a fuzzed piece.
  const std::string piece = in.ConsumeRandomLengthString(64);
  const std::size_t repeat = in.ConsumeIntegralInRange<std::size_t>(1, 2000);
  std::string subject = in.ConsumeRemainingBytesAsString();
  for (std::size_t i = 0; i < repeat && subject.size() < 100000; ++i) subject += piece;

  const Orvane::SendVetter::Regex regex(pattern, flags);
  std::vector<std::string> captures;
  const bool found = regex.search(subject, captures);
  fuzz::check(!found || (regex.valid() && !captures.empty()), "a match of an invalid pattern or without its captures");
  fuzz::check(!found || !regex.last_match_failed(), "a limit hit counted as a match");
  fuzz::check(regex.search(subject) == found, "search with and without captures disagree");
  const std::string replaced = regex.replace_all(subject, "");
  fuzz::check(found || replaced == subject, "replacement changed a text without a match");
  return 0;
}
