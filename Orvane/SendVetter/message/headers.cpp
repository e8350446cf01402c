// Header intake: the header block from standard input, and lookups on it.
//
// HEADERS holds the physical header lines in order, each without its "\n"
// (a "\r" before it stays); continuation lines are separate elements. The
// empty line ending the block is consumed; the body stays on standard input.
#include <cassert>
#include <optional>

#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/regex.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/message/header_block.h"
#include "Orvane/SendVetter/message/message.h"
#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

bool is_header_end(std::string_view line) {
  return line.find_first_not_of("\r\n") == std::string_view::npos;
}

Lines read_header_block(LineReader& reader) {
  Lines headers;
  std::string line;
  while (reader.getline(line)) {
    if (is_header_end(line)) break;
    // A line holds at most one "\n" (its end); splitting at it drops the end.
    assert(line.find('\n') == std::string::npos || line.find('\n') + 1 == line.size());
    line = chomp(line);
    headers.push_back(line);
  }
  return headers;
}

namespace {

std::string_view trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The value after "name:" when the line starts that header.
std::optional<std::string_view> value_of(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() ||
      ascii_lower(std::string(line.substr(0, name.size()))) != ascii_lower(std::string(name)))
    return std::nullopt;
  const std::size_t colon = line.find_first_not_of(" \t", name.size());
  if (colon == std::string_view::npos || line[colon] != ':') return std::nullopt;
  return line.substr(colon + 1);
}

}  // namespace

Lines header_values(std::string_view name, const Lines& headers) {
  Lines values;
  bool in_match = false;
  for (const std::string& line : headers) {
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      if (in_match && !trim(line).empty()) {
        if (!values.back().empty()) values.back() += ' ';
        values.back() += trim(line);
      }
      continue;
    }
    auto value = value_of(line, name);
    in_match = value.has_value();
    if (in_match) values.emplace_back(trim(*value));
  }
  return values;
}

Lines SendVetter_getheaders() { return read_header_block(standard_input()); }

std::string SendVetter_getheader(const std::string& name, const Lines& headers) {
  const Regex header("^" + name + ": (.*)", Regex::kCaseless);
  static const Regex continuation("^[\\t\\s]+");
  std::string result;
  bool found = false;
  std::vector<std::string> captures;
  for (const std::string& line : headers) {
    if (found && !result.empty() && continuation.search(line, captures)) {
      result.push_back(' ');
      result.append(line, captures[0].size(), std::string::npos);
    } else if (!found && header.search(line, captures)) {
      result = captures[1];
      found = true;
    } else if (found) {
      break;
    }
  }
  return result;
}

std::string SendVetter_getsender(const Lines& headers) {
  static const Regex envelope("^From\\s(\\S+)", Regex::kCaseless);
  std::vector<std::string> captures;
  for (const std::string& line : headers)
    if (envelope.search(line, captures)) return captures[1];
  return {};
}

std::string SendVetter_gettransportmethod(const std::string& value) {
  static const Regex received("^from\\s+.*\\s+by\\s+\\S+\\s+with\\s+(\\S+)");
  std::vector<std::string> captures;
  if (received.search(value, captures)) return captures[1];
  return {};
}

}  // namespace Orvane::SendVetter
