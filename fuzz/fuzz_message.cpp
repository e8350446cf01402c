// Fuzz target: a whole message as the mail server pipes it in, which is
// what anyone on the Internet controls. Checked: the header block and the
// body read after it give back the input byte for byte (only the
// header-ending line is consumed), header lines are non-empty and hold no
// line feed, and the lookups and classifications return values that the rest
// of the filter can rely on: addresses are lower-case tokens around "@"
// without white space, quotes or ".."; split pieces hold no white space or
// separators. The sender, subject and recipients then meet rules that
// backtrack hard (libFuzzer's -timeout catches a hang), and the rule the
// panel writes to list the sender matches the sender.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/message/authresults.h"
#include "Orvane/SendVetter/message/automated.h"
#include "Orvane/SendVetter/message/header_block.h"

using namespace Orvane::SendVetter;

// A broken invariant aborts, so that libFuzzer keeps the input.
static void check(bool ok, const std::string& what, const std::string& detail = "") {
  if (ok) return;
  std::fprintf(stderr, "INVARIANT BROKEN: %s\n---- detail:\n%s\n----\n", what.c_str(), detail.c_str());
  std::abort();
}

// A mailbox of this process, removed at exit, whose white list holds plain
// rules and rules that backtrack hard on long texts. In memory where there
// is /dev/shm: every run writes and locks list files.
static const std::string& mailbox() {
  static const std::string dir = [] {
    char shm[] = "/dev/shm/sendvetter-fuzz-XXXXXX", tmp[] = "/tmp/sendvetter-fuzz-XXXXXX";
    const char* const made_here = ::mkdtemp(shm);
    static const std::string made = made_here ? made_here : ::mkdtemp(tmp);
    std::atexit([] { std::filesystem::remove_all(made); });
    std::filesystem::create_directory(made + "/.sendvetter");
    std::ofstream(made + "/.sendvetter/white-list.txt")
        << "subject ^(re:\\s*)*\\[list\\]\nto (x+x+)+y\n"
           "from friend@example.org\ncc @example\\.com$\nfrom @\\S+\\.test$\n";
    return made;
  }();
  return dir;
}

// A descriptor at offset 0 whose content is data (a memfd reused per call).
static int input_fd(const std::string& data) {
  static const int fd = ::memfd_create("fuzz-input", MFD_CLOEXEC);
  check(::ftruncate(fd, 0) == 0 && ::pwrite(fd, data.data(), data.size(), 0) == ssize_t(data.size()), "memfd");
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

static bool has_space(const std::string& text) { return text.find_first_of(" \t\n\v\f\r") != std::string::npos; }

static void check_address(const std::string& a) {
  check(a.empty() || (a.find('@') != std::string::npos && a.find_first_of(" \t\n\v\f\r\"") == std::string::npos &&
                      a.find("..") == std::string::npos &&
                      std::none_of(a.begin(), a.end(), [](char c) { return c >= 'A' && c <= 'Z'; })),
        "address not a lower-case token around @ without blanks, quotes or \"..\"", a);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  LineReader reader(input_fd(input));
  const PackedLines headers = read_header_block(reader);

  std::string rebuilt;
  for (std::string_view line : headers) {
    check(!line.empty() && line.find('\n') == std::string_view::npos && !is_header_end(line),
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
    check(end_line.find_first_not_of("\r\n") == std::string::npos && rest == end_line + body,
          "between header and body not exactly the one consumed end line", input);
  } else {
    // Only at end of input may the last header line lack its line feed.
    check(!rebuilt.empty() && rebuilt.substr(0, rebuilt.size() - 1) == input && body.empty(),
          "header lines are not the start of the input", input);
  }

  for (const char* name : {"from", "subject", "x-sendvetter", "received", "to", "cc"}) {
    const std::string value = SendVetter_getheader(name, headers);
    check(value.find('\n') == std::string::npos, "line feed in a header value", value);
  }
  // The filter's recipient lists, built in place, against the composition
  // they stand for.
  const PackedLines to = recipient_addresses("to", headers), cc = recipient_addresses("cc", headers);
  for (const char* name : {"to", "cc"}) {
    const Lines pieces = SendVetter_splitaddresses(SendVetter_getheader(name, headers));
    for (const std::string& piece : pieces)
      check(piece.find_first_of(" \t\n\v\f\r;,") == std::string::npos, "blank or separator in a split piece", piece);
    check(pieces.empty() || !pieces.back().empty(), "trailing empty piece kept", input);
    const Lines addresses = SendVetter_extractaddresses(pieces);
    check(addresses.size() == pieces.size(), "one address per piece");
    std::for_each(addresses.begin(), addresses.end(), check_address);
    check((name[0] == 't' ? to : cc).to_vector() == addresses, "recipient list differs from split and extract", input);
  }
  const std::string from = SendVetter_getheader("from", headers), address = SendVetter_extractaddress(from);
  check_address(address);
  const std::string shown = SendVetter_cleanfield(SendVetter_extractfrom(from));
  check(shown.find_first_of("<>\"") == std::string::npos, "cleanfield left markup", shown);
  const std::string sender = SendVetter_getsender(headers);
  check(!has_space(sender), "white space in the envelope sender", sender);
  // The transport rule on the raw input too: values can be any text.
  check(!has_space(SendVetter_gettransportmethod(SendVetter_getheader("received", headers))) &&
            !has_space(SendVetter_gettransportmethod(input)),
        "white space in the transport word");
  // The automated-mail reason goes into a log line; the Authentication-Results
  // reader meets any text as a header value.
  const std::string reason = automated_reason(headers, sender);
  check(reason.find_first_of("\r\n") == std::string::npos, "line end in the automated reason", reason);
  from_domain_failed(headers, "mx.example.com", "example.com");

  const std::string& dir = mailbox();
  const int matched = SendVetter_checklist("white", dir, address, to, cc, SendVetter_getheader("subject", headers));
  check(matched == 0 || matched == 1, "checklist answers 1 or 0");
  ::unlink((dir + "/.sendvetter/black-list.txt").c_str());
  if (!address.empty() && SendVetter_addaddytolist("black", address, dir))
    check(SendVetter_checklist("black", dir, address, {}, {}, "") == 1, "a listed sender does not match its own rule",
          address);
  std::filesystem::remove_all(dir + "/sendvetter");  // the log grows with every match
  return 0;
}
