// Fuzz target: header intake and lookups. The input is a whole message as
// the mail server pipes it in. Checked: the header block and the body read
// after it give back the input byte for byte (only the header-ending line is
// consumed), header lines are non-empty and hold no line feed, and the
// lookups and classifications return values that the rest of the filter can
// rely on: addresses are lower-case tokens around "@" without white space,
// quotes or ".."; split pieces hold no white space or separators; the return
// address is the account or a configured entry that is among the recipients.
#include <algorithm>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/message/authresults.h"
#include "Orvane/SendVetter/message/automated.h"
#include "Orvane/SendVetter/message/header_block.h"
#include "fuzz_common.h"

using namespace Orvane::SendVetter;

// A descriptor at offset 0 whose content is data (a memfd reused per call).
static int input_fd(const std::string& data) {
  static const int fd = ::memfd_create("fuzz-input", MFD_CLOEXEC);
  fuzz::check(::ftruncate(fd, 0) == 0 && ::pwrite(fd, data.data(), data.size(), 0) == ssize_t(data.size()), "memfd");
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

static bool has_space(const std::string& text) { return text.find_first_of(" \t\n\v\f\r") != std::string::npos; }

static void check_address(const std::string& a) {
  fuzz::check(a.empty() || (a.find('@') != std::string::npos && a.find_first_of(" \t\n\v\f\r\"") == std::string::npos &&
                            a.find("..") == std::string::npos && std::none_of(a.begin(), a.end(), [](char c) { return c >= 'A' && c <= 'Z'; })),
              "address not a lower-case token around @ without blanks, quotes or \"..\"", a);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  LineReader reader(input_fd(input));
  const PackedLines headers = read_header_block(reader);

  std::string rebuilt;
  for (std::string_view line : headers) {
    fuzz::check(!line.empty() && line.find('\n') == std::string_view::npos && !is_header_end(line),
                "header line empty, with a line feed or the header's end", std::string(line));
    rebuilt.append(line).push_back('\n');
  }
  std::string body, chunk;
  while (reader.read_chunk(chunk, 4096)) body += chunk;

  if (input.compare(0, rebuilt.size(), rebuilt) == 0) {
    // After the header lines: exactly the consumed end line, then the body.
    const std::string rest = input.substr(rebuilt.size());
    const std::size_t eol = rest.find('\n');
    const std::string end_line = eol == std::string::npos ? rest : rest.substr(0, eol + 1);
    fuzz::check(end_line.find_first_not_of("\r\n") == std::string::npos && rest == end_line + body,
                "between header and body not exactly the one consumed end line", input);
  } else {
    // Only at end of input may the last header line lack its line feed.
    fuzz::check(!rebuilt.empty() && rebuilt.substr(0, rebuilt.size() - 1) == input && body.empty(),
                "header lines are not the start of the input", input);
  }

  for (const char* name : {"from", "subject", "x-sendvetter", "received", "to", "cc"}) {
    const std::string value = SendVetter_getheader(name, headers);
    fuzz::check(value.find('\n') == std::string::npos, "line feed in a header value", value);
  }
  // The filter's recipient lists, built in place, against the composition
  // they stand for.
  for (const char* name : {"to", "cc"}) {
    const Lines pieces = SendVetter_splitaddresses(SendVetter_getheader(name, headers));
    for (const std::string& piece : pieces)
      fuzz::check(piece.find_first_of(" \t\n\v\f\r;,") == std::string::npos, "blank or separator in a split piece", piece);
    fuzz::check(pieces.empty() || !pieces.back().empty(), "trailing empty piece kept", input);
    const Lines addresses = SendVetter_extractaddresses(pieces);
    fuzz::check(addresses.size() == pieces.size(), "one address per piece");
    std::for_each(addresses.begin(), addresses.end(), check_address);
    fuzz::check(recipient_addresses(name, headers).to_vector() == addresses, "recipient list differs from split and extract",
                input);
    // The account and the configured own addresses, here taken from two more headers.
    const std::string account = SendVetter_getheader("delivered-to", headers), froms = SendVetter_getheader("reply-to", headers);
    const std::string chosen = SendVetter_findreturnaddy(account, froms, addresses);
    const Lines configured = split_dropping_trailing_empty(froms, ',');
    auto has = [&chosen](const Lines& lines) { return std::find(lines.begin(), lines.end(), chosen) != lines.end(); };
    fuzz::check(chosen == account || (!chosen.empty() && has(configured) && has(addresses)),
                "return address neither account nor a listed own address", chosen);
  }
  const std::string from = SendVetter_getheader("from", headers);
  check_address(SendVetter_extractaddress(from));
  const std::string shown = SendVetter_cleanfield(SendVetter_extractfrom(from));
  fuzz::check(shown.find_first_of("<>\"") == std::string::npos, "cleanfield left markup", shown);
  const std::string sender = SendVetter_getsender(headers);
  fuzz::check(!has_space(sender), "white space in the envelope sender", sender);
  // The transport rule on the raw input too: values can be any text.
  fuzz::check(!has_space(SendVetter_gettransportmethod(SendVetter_getheader("received", headers))) &&
                  !has_space(SendVetter_gettransportmethod(input)),
              "white space in the transport word");
  // The automated-mail reason goes into a log line; the Authentication-Results
  // reader meets any text as a header value.
  const std::string reason = automated_reason(headers, sender);
  fuzz::check(reason.find_first_of("\r\n") == std::string::npos, "line end in the automated reason", reason);
  from_domain_failed(headers, "mx.example.com", "example.com");
  return 0;
}
