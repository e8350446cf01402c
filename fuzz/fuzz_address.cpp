// Fuzz target: address extraction, splitting of recipient lists, the return
// address choice, and the display sender of the listings. Checked: addresses
// are lower-case tokens around "@" without white space, quotes or "..";
// split pieces hold no white space or separators; the return address is the
// account or a configured entry that is among the recipients.
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/text.h"
#include "fuzz_common.h"

using namespace Orvane::SendVetter;

namespace {

void check_address(const std::string& address) {
  if (address.empty()) return;
  fuzz::check(address.find('@') != std::string::npos, "address without @", address);
  fuzz::check(address.find_first_of(" \t\n\v\f\r\"") == std::string::npos,
              "white space or quote in an address", address);
  fuzz::check(address.find("..") == std::string::npos, "\"..\" left in an address", address);
  for (char c : address) fuzz::check(!(c >= 'A' && c <= 'Z'), "capital in an address", address);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string account = in.ConsumeRandomLengthString(64);
  const std::string froms = in.ConsumeRandomLengthString(256);
  const std::string value = in.ConsumeRemainingBytesAsString();

  check_address(SendVetter_extractaddress(value));

  const Lines pieces = SendVetter_splitaddresses(value);
  for (const std::string& piece : pieces)
    fuzz::check(piece.find_first_of(" \t\n\v\f\r;,") == std::string::npos,
                "white space or separator in a split piece", piece);
  fuzz::check(pieces.empty() || !pieces.back().empty(), "trailing empty piece kept", value);
  const Lines addresses = SendVetter_extractaddresses(pieces);
  fuzz::check(addresses.size() == pieces.size(), "one address per piece");
  for (const std::string& address : addresses) check_address(address);

  const std::string chosen = SendVetter_findreturnaddy(account, froms, addresses);
  if (chosen != account) {
    bool configured = false, recipient = false;
    for (const std::string& entry : split_dropping_trailing_empty(froms, ',')) configured |= entry == chosen;
    for (const std::string& address : addresses) recipient |= address == chosen;
    fuzz::check(configured && recipient && !chosen.empty(), "return address neither account nor a listed own address", chosen);
  }

  const std::string shown = SendVetter_cleanfield(SendVetter_extractfrom(value));
  fuzz::check(shown.find_first_of("<>\"") == std::string::npos, "cleanfield left markup", shown);
  return 0;
}
