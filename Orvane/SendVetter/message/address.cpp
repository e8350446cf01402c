// Address extraction: header values reduced to bare, lower-cased addresses,
// and the return address chosen among the owner's configured addresses.
// Plain text rules, no address-syntax parser.
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/regex.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/message/message.h"
#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

std::string SendVetter_extractaddress(const std::string& value) {
  static const Regex address("([^\"\\s\\t<]+\\@[^\">\\t\\s]+)");
  std::vector<std::string> captures;
  if (!address.search(ascii_lower(value), captures)) return {};
  return remove_dot_pairs(captures[1]);
}

Lines SendVetter_splitaddresses(const std::string& value) {
  static const Regex space("[\\s\\t]*");
  static const Regex separators("[;,]+");
  std::string squeezed = space.replace_all(value, "");
  if (squeezed.empty()) return {};
  return split_dropping_trailing_empty(separators.replace_all(squeezed, ","), ',');
}

Lines SendVetter_extractaddresses(const Lines& pieces) {
  Lines addresses;
  addresses.reserve(pieces.size());
  for (const std::string& piece : pieces) addresses.push_back(SendVetter_extractaddress(piece));
  return addresses;
}

std::string SendVetter_findreturnaddy(const std::string& account, const std::string& froms,
                                      const PackedLines& recipients, const PackedLines& more) {
  // An empty entry would pair with the empty element of a recipient piece
  // that held no address and give an empty return address.
  for (const std::string& entry : split_dropping_trailing_empty(froms, ',')) {
    if (entry.empty()) continue;
    for (const PackedLines* list : {&recipients, &more})
      for (std::string_view recipient : *list)
        if (entry == recipient) return entry;
  }
  return account;
}

}  // namespace Orvane::SendVetter
