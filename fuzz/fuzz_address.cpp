// Fuzz target: address extraction, splitting of recipient lists, the return
// address choice, and the display sender of the listings. Checked: addresses
// are lower-case tokens around "@" without white space, quotes or "..";
// split pieces hold no white space or separators; the return address is the
// account or a configured entry that is among the recipients.
#include <algorithm>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/text.h"
#include "fuzz_common.h"

using namespace Orvane::SendVetter;

static void check_address(const std::string& a) {
  fuzz::check(a.empty() || (a.find('@') != std::string::npos && a.find_first_of(" \t\n\v\f\r\"") == std::string::npos &&
                            a.find("..") == std::string::npos && std::none_of(a.begin(), a.end(), [](char c) { return c >= 'A' && c <= 'Z'; })),
              "address not a lower-case token around @ without blanks, quotes or \"..\"", a);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string account = in.ConsumeRandomLengthString(64);
  const std::string froms = in.ConsumeRandomLengthString(256);
  const std::string value = in.ConsumeRemainingBytesAsString();
  check_address(SendVetter_extractaddress(value));

  const Lines pieces = SendVetter_splitaddresses(value);
  for (const std::string& piece : pieces)
    fuzz::check(piece.find_first_of(" \t\n\v\f\r;,") == std::string::npos, "blank or separator in a split piece", piece);
  fuzz::check(pieces.empty() || !pieces.back().empty(), "trailing empty piece kept", value);
  const Lines addresses = SendVetter_extractaddresses(pieces);
  fuzz::check(addresses.size() == pieces.size(), "one address per piece");
  std::for_each(addresses.begin(), addresses.end(), check_address);

  const std::string chosen = SendVetter_findreturnaddy(account, froms, addresses);
  const Lines configured = split_dropping_trailing_empty(froms, ',');
  auto has = [&chosen](const Lines& lines) { return std::find(lines.begin(), lines.end(), chosen) != lines.end(); };
  fuzz::check(chosen == account || (!chosen.empty() && has(configured) && has(addresses)),
              "return address neither account nor a listed own address", chosen);

  const std::string shown = SendVetter_cleanfield(SendVetter_extractfrom(value));
  fuzz::check(shown.find_first_of("<>\"") == std::string::npos, "cleanfield left markup", shown);
  return 0;
}
