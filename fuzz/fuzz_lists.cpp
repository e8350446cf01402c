// Fuzz target: list files and rule matching. A fuzzed list file is matched
// against a fuzzed sender, subject and recipients (hostile patterns must
// end within the matching limits: libFuzzer's -timeout catches a hang), and
// a fuzzed address added by the list maintenance must then match itself and
// only its own rule line.
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/regex.h"
#include "fuzz_common.h"

using namespace Orvane::SendVetter;

namespace {

Lines consume_lines(FuzzedDataProvider& in) {
  Lines lines;
  const int count = in.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < count; ++i) lines.push_back(in.ConsumeRandomLengthString(128));
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = [] {
    fuzz::make_dirs(fuzz::scratch() + "/mailbox/.sendvetter");
    return fuzz::scratch() + "/mailbox";
  }();
  FuzzedDataProvider in(data, size);
  const std::string email = in.ConsumeRandomLengthString(128);
  const std::string subject = in.ConsumeRandomLengthString(256);
  const Lines to = consume_lines(in);
  const Lines cc = consume_lines(in);
  const std::string address = in.ConsumeRandomLengthString(128);
  const std::string list = in.ConsumeRemainingBytesAsString();

  fuzz::write_file(dir + "/.sendvetter/white-list.txt", list);
  const int matched = SendVetter_checklist("white", dir, email, to, cc, subject);
  fuzz::check(matched == 0 || matched == 1, "checklist answers 1 or 0");

  // The rule the maintenance writes for an address matches that address.
  ::unlink((dir + "/.sendvetter/black-list.txt").c_str());
  SendVetter_addaddytolist("black", address, dir);
  const std::string written = fuzz::read_file(dir + "/.sendvetter/black-list.txt");
  if (!written.empty()) {
    fuzz::check(written.compare(0, 5, "from ") == 0 && written.back() == '\n' &&
                    written.find('\n') == written.size() - 1,
                "added rule is not one \"from\" line", written);
  }
  const bool plain = !address.empty() && address.find('\n') == std::string::npos &&
                     address.find_first_of(" \t\r\f\v") != 0 &&
                     std::string(" \t\r\f\v").find(address.back()) == std::string::npos;
  if (plain) {
    fuzz::check(!written.empty(), "no rule written for an address", address);
    fuzz::check(SendVetter_checklist("black", dir, address, {}, {}, "") == 1,
                "an added address does not match its own rule", written);
  }

  // The log grows with every match; keep the scratch directory small.
  fuzz::remove_tree(dir + "/sendvetter");
  return 0;
}
