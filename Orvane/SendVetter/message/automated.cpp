// Automated-mail classification. Header names and the values compared are
// case-insensitive; a value is compared by its first word, so parameters
// and comments ("auto-replied; x=1", "bulk (newsletter)") do not hide it.
#include "Orvane/SendVetter/message/automated.h"

#include <algorithm>

#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/message/header_block.h"

namespace Orvane::SendVetter {

namespace {

// Lower-cased, and cut at 17 bytes (longer than any word compared) so that a
// stranger's long value is not copied.
std::string first_word(std::string_view value) {
  return ascii_lower(std::string(value.substr(0, std::min<std::size_t>(17, value.find_first_of(" \t;(")))));
}

bool is_null_sender(const PackedLines& headers, const std::string& sender) {
  if (sender == "<>" || ascii_lower(sender) == "mailer-daemon") return true;
  for (std::string_view path : header_values("return-path", headers)) {
    std::string bare;  // at most "<>" and one more byte: longer never matches
    for (char c : path)
      if ((c != ' ' && c != '\t') && (bare += c).size() > 2) break;
    if (bare == "<>") return true;
  }
  return false;
}

}  // namespace

std::string automated_reason(const PackedLines& headers, const std::string& sender) {
  if (is_null_sender(headers, sender)) return "null envelope sender";
  for (std::string_view value : header_values("auto-submitted", headers))
    if (first_word(value) != "no") return "Auto-Submitted";
  for (std::string_view value : header_values("precedence", headers)) {
    const std::string word = first_word(value);
    if (word == "bulk" || word == "junk" || word == "list") return "Precedence: " + word;
  }
  for (const char* name : {"List-Id", "List-Unsubscribe", "List-Post"})
    if (!header_values(name, headers).empty()) return name;
  const PackedLines type = header_values("content-type", headers);
  if (!type.empty() && first_word(*type.begin()) == "multipart/report") return "multipart/report";
  return {};
}

}  // namespace Orvane::SendVetter
