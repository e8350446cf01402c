// Fuzz target: list files, rule matching and the PCRE2 gateway under them.
// A fuzzed list file is matched against a fuzzed sender, subject and
// recipients (hostile patterns must end within the matching limits:
// libFuzzer's -timeout catches a hang), and a fuzzed address added by the
// list maintenance must then match itself and only its own rule line. The
// gateway, given the subject as a pattern against a long text: a limit hit
// is "no match", and replacement never changes a text without a match.
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/regex.h"
#include "fuzz_common.h"

using namespace Orvane::SendVetter;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = std::filesystem::path(fuzz::scratch("mailbox/.sendvetter")).parent_path();
  FuzzedDataProvider in(data, size);
  auto lines = [&in] {
    Lines made(in.ConsumeIntegralInRange(0, 4));
    for (std::string& line : made) line = in.ConsumeRandomLengthString(128);
    return made;
  };
  const std::string email = in.ConsumeRandomLengthString(128);
  const std::string subject = in.ConsumeRandomLengthString(256);
  const Lines to = lines(), cc = lines();
  const unsigned flags = in.ConsumeIntegralInRange<unsigned>(0, 3);
  // Long subjects are where backtracking hurts: repeat the sender.
  const std::size_t repeat = in.ConsumeIntegralInRange<std::size_t>(1, 2000);
  const std::string address = in.ConsumeRandomLengthString(128);
  fuzz::write_file(dir + "/.sendvetter/white-list.txt", in.ConsumeRemainingBytesAsString());
  const int matched = SendVetter_checklist("white", dir, email, to, cc, subject);
  fuzz::check(matched == 0 || matched == 1, "checklist answers 1 or 0");

  // The rule the maintenance writes for an address is one "from" line that matches that address.
  ::unlink((dir + "/.sendvetter/black-list.txt").c_str());
  SendVetter_addaddytolist("black", address, dir);
  const std::string written = read_file(dir + "/.sendvetter/black-list.txt");
  fuzz::check(written.empty() || (written.compare(0, 5, "from ") == 0 && written.find('\n') == written.size() - 1),
              "added rule is not one \"from\" line", written);
  const std::string blanks = " \t\r\f\v";
  if (!address.empty() && address.find('\n') == std::string::npos && blanks.find(address.front()) == std::string::npos &&
      blanks.find(address.back()) == std::string::npos)
    fuzz::check(!written.empty() && SendVetter_checklist("black", dir, address, {}, {}, "") == 1,
                "an added address does not match its own rule", written);
  const Regex regex(subject, flags);
  std::string text;
  for (std::size_t i = 0; i < repeat && text.size() < 100000; ++i) text += email;
  std::vector<std::string> captures;
  const bool found = regex.search(text, captures);
  fuzz::check(!found || (regex.valid() && !captures.empty()), "a match of an invalid pattern or without its captures");
  fuzz::check(!found || !regex.last_match_failed(), "a limit hit counted as a match");
  fuzz::check(regex.search(text) == found, "search with and without captures disagree");
  fuzz::check(found || regex.replace_all(text, "") == text, "replacement changed a text without a match");

  // The log grows with every match; keep the scratch directory small.
  std::filesystem::remove_all(dir + "/sendvetter");
  return 0;
}
