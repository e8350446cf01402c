// Header intake: the header block from standard input, and lookups on it.
//
// HEADERS holds the physical header lines in order, each without its "\n"
// (a "\r" before it stays); continuation lines are separate elements. The
// empty line ending the block is consumed; the body stays on standard input.
//
// The lookups read the lines in place and copy only what they return: a
// header block of hundreds of megabytes in one line, in millions of lines
// or in one deeply folded header costs its size once more at most.
#include <optional>

#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/regex.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/message/header_block.h"
#include "Orvane/SendVetter/message/message.h"
#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

namespace {

// PCRE2's \s: what "^[\t\s]+" and "[\s\t]*" take.
constexpr std::string_view kSpace = " \t\n\v\f\r";

bool is_space(char c) { return kSpace.find(c) != std::string_view::npos; }

bool starts_without_case(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (ascii_lower(text[i]) != ascii_lower(prefix[i])) return false;
  return true;
}

// Names of letters, digits and hyphens (all the callers pass) are compared
// as text; anything else goes into the pattern as it is.
bool is_plain_name(std::string_view name) {
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'))
      return false;
  return true;
}

// The value of the first header named name, handed to take in pieces: the
// rest of its first line ("^name: (.*)" without case), then for each
// continuation line one blank and what follows its leading white space.
// A continuation counts only while the value so far is not empty.
template <typename LineRange, typename Take>
void header_value_pieces(const std::string& name, const LineRange& lines, Take take) {
  const bool plain = is_plain_name(name);
  std::optional<Regex> header;
  if (!plain) header.emplace("^" + name + ": (.*)", Regex::kCaseless);
  std::vector<std::string> captures;
  bool found = false, nonempty = false;
  for (std::string_view line : lines) {
    if (found) {
      if (!nonempty || line.empty() || !is_space(line[0])) return;
      const std::size_t rest = line.find_first_not_of(kSpace);
      take(std::string_view(" "));
      if (rest != std::string_view::npos) take(line.substr(rest));
      continue;
    }
    std::string_view value;
    if (plain) {
      if (!starts_without_case(line, name) || line.substr(name.size(), 2) != ": ") continue;
      value = line.substr(name.size() + 2);
      value = value.substr(0, value.find('\n'));  // "." stops at a line feed
    } else {
      if (!header->search(line, captures)) continue;
      value = captures[1];
    }
    found = true;
    nonempty = !value.empty();
    take(value);
  }
}

// Sized first: growing a value of hundreds of megabytes by appending would
// hold the old and the new buffer at once.
template <typename LineRange>
std::string header_value(const std::string& name, const LineRange& lines) {
  std::size_t size = 0;
  header_value_pieces(name, lines, [&](std::string_view piece) { size += piece.size(); });
  std::string result;
  result.reserve(size);
  header_value_pieces(name, lines, [&](std::string_view piece) { result.append(piece); });
  return result;
}

}  // namespace

bool is_header_end(std::string_view line) {
  return line.find_first_not_of("\r\n") == std::string_view::npos;
}

PackedLines read_header_block(LineReader& reader) {
  std::string text;
  for (;;) {
    const std::size_t start = text.size();
    if (!reader.append_line(text)) break;
    if (is_header_end(std::string_view(text).substr(start))) {
      text.resize(start);
      break;
    }
    if (text.back() != '\n') text.push_back('\n');
  }
  return PackedLines::from_text(std::move(text));
}

namespace {

std::string_view trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The value after "name:" when the line starts that header.
std::optional<std::string_view> value_of(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || !starts_without_case(line, name)) return std::nullopt;
  const std::size_t colon = line.find_first_not_of(" \t", name.size());
  if (colon == std::string_view::npos || line[colon] != ':') return std::nullopt;
  return line.substr(colon + 1);
}

// The values of header_values handed to take in parts, each value ended by
// end_value(): the first line's value, then a blank and the text of each
// continuation line that has any.
template <typename Take, typename EndValue>
void header_value_parts(std::string_view name, const PackedLines& headers, Take take,
                        EndValue end_value) {
  bool in_match = false, nonempty = false;
  for (std::string_view line : headers) {
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      const std::string_view more = trim(line);
      if (in_match && !more.empty()) {
        if (nonempty) take(std::string_view(" "));
        take(more);
        nonempty = true;
      }
      continue;
    }
    if (in_match) end_value();
    const auto value = value_of(line, name);
    in_match = value.has_value();
    if (!in_match) continue;
    const std::string_view first = trim(*value);
    take(first);
    nonempty = !first.empty();
  }
  if (in_match) end_value();
}

}  // namespace

PackedLines header_values(std::string_view name, const PackedLines& headers) {
  // Sized first, so that the buffer is never held twice while it grows.
  std::size_t size = 0;
  const auto count = [&](std::string_view part) { size += part.size(); };
  header_value_parts(name, headers, count, [&] { ++size; });
  std::string text;
  text.reserve(size);
  const auto append = [&](std::string_view part) { text.append(part); };
  header_value_parts(name, headers, append, [&] { text.push_back('\n'); });
  return PackedLines::from_text(std::move(text));
}

PackedLines SendVetter_getheaders() { return read_header_block(standard_input()); }

std::string SendVetter_getheader(const std::string& name, const PackedLines& headers) {
  return header_value(name, headers);
}

std::string SendVetter_getheader(const std::string& name, const Lines& headers) {
  return header_value(name, headers);
}

PackedLines recipient_addresses(const std::string& name, const PackedLines& headers) {
  // The value with every white-space character removed, split at each run
  // of "," and ";": a piece ends at a separator; an empty first piece (the
  // value starts with one) counts only when a later piece follows, and an
  // empty last one never.
  // Each address is at most its piece and a line feed, so the value's size
  // bounds the list: reserved (not touched) up front, it never has to grow.
  std::size_t bound = 1;
  header_value_pieces(name, headers, [&](std::string_view text) { bound += text.size(); });
  PackedLines addresses;
  addresses.reserve(bound);
  std::string piece;
  bool in_separators = false, empty_first = false, any = false;
  auto emit = [&] {
    if (empty_first) addresses.push_back("");
    empty_first = false;
    addresses.push_back(SendVetter_extractaddress(piece));
    piece.clear();
  };
  header_value_pieces(name, headers, [&](std::string_view text) {
    for (char c : text) {
      if (is_space(c)) continue;
      if (c == ',' || c == ';') {
        if (!in_separators) {
          if (piece.empty())
            empty_first = !any;
          else
            emit();
        }
        in_separators = true;
      } else {
        piece.push_back(c);
        in_separators = false;
      }
      any = true;
    }
  });
  if (!piece.empty()) emit();
  return addresses;
}

std::string SendVetter_getsender(const PackedLines& headers) {
  // "^From\s(\S+)" without case: exactly one white-space character after
  // the word, then the sender.
  for (std::string_view line : headers) {
    if (line.size() < 6 || !starts_without_case(line, "from") || !is_space(line[4]) || is_space(line[5]))
      continue;
    const std::string_view rest = line.substr(5);
    return std::string(rest.substr(0, rest.find_first_of(kSpace)));
  }
  return {};
}

std::string SendVetter_gettransportmethod(const std::string& value) {
  static const Regex received("^from\\s+.*\\s+by\\s+\\S+\\s+with\\s+(\\S+)");
  std::vector<std::string> captures;
  if (received.search(value, captures)) return captures[1];
  return {};
}

}  // namespace Orvane::SendVetter
