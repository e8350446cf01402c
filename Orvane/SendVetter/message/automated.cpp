// Automated-mail classification. Header names and the values compared are
// case-insensitive; a value is compared by its first word, so parameters
// and comments ("auto-replied; x=1", "bulk (newsletter)") do not hide it.
#include "Orvane/SendVetter/message/automated.h"

#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/message/header_block.h"

namespace Orvane::SendVetter {

namespace {

std::string first_word(const std::string& value) {
  return ascii_lower(value.substr(0, value.find_first_of(" \t;(")));
}

bool is_null_sender(const Lines& headers, const std::string& sender) {
  if (sender == "<>" || ascii_lower(sender) == "mailer-daemon") return true;
  for (const std::string& path : header_values("return-path", headers)) {
    std::string bare;
    for (char c : path)
      if (c != ' ' && c != '\t') bare += c;
    if (bare == "<>") return true;
  }
  return false;
}

}  // namespace

std::string automated_reason(const Lines& headers, const std::string& sender) {
  if (is_null_sender(headers, sender)) return "null envelope sender";
  for (const std::string& value : header_values("auto-submitted", headers))
    if (first_word(value) != "no") return "Auto-Submitted";
  for (const std::string& value : header_values("precedence", headers)) {
    const std::string word = first_word(value);
    if (word == "bulk" || word == "junk" || word == "list") return "Precedence: " + word;
  }
  for (const char* name : {"List-Id", "List-Unsubscribe", "List-Post"})
    if (!header_values(name, headers).empty()) return name;
  const Lines type = header_values("content-type", headers);
  if (!type.empty() && first_word(type[0]) == "multipart/report") return "multipart/report";
  return {};
}

}  // namespace Orvane::SendVetter
