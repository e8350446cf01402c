// Fuzz target: list files and rule matching. A fuzzed list file is matched
// against a fuzzed sender, subject and recipients (hostile patterns must
// end within the matching limits: libFuzzer's -timeout catches a hang), and
// a fuzzed address added by the list maintenance must then match itself and
// only its own rule line.
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>

#include "Orvane/SendVetter.h"
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
  const std::string address = in.ConsumeRandomLengthString(128);
  fuzz::write_file(dir + "/.sendvetter/white-list.txt", in.ConsumeRemainingBytesAsString());
  const int matched = SendVetter_checklist("white", dir, email, to, cc, subject);
  fuzz::check(matched == 0 || matched == 1, "checklist answers 1 or 0");

  // The rule the maintenance writes for an address is one "from" line that matches that address.
  ::unlink((dir + "/.sendvetter/black-list.txt").c_str());
  SendVetter_addaddytolist("black", address, dir);
  const std::string written = fuzz::read_file(dir + "/.sendvetter/black-list.txt");
  fuzz::check(written.empty() || (written.compare(0, 5, "from ") == 0 && written.find('\n') == written.size() - 1),
              "added rule is not one \"from\" line", written);
  const std::string blanks = " \t\r\f\v";
  if (!address.empty() && address.find('\n') == std::string::npos && blanks.find(address.front()) == std::string::npos &&
      blanks.find(address.back()) == std::string::npos)
    fuzz::check(!written.empty() && SendVetter_checklist("black", dir, address, {}, {}, "") == 1,
                "an added address does not match its own rule", written);
  // The log grows with every match; keep the scratch directory small.
  std::filesystem::remove_all(dir + "/sendvetter");
  return 0;
}
