// The panel-output invariant shared by the panel fuzz target and the tests:
// the output is text and tags of the panel's own small vocabulary only, every
// attribute value is well formed (a double-quoted value holds no angle
// bracket, an unquoted one no quote, bracket or "="), text holds no raw ">"
// or double quote, and a link's query names each known parameter at most
// once. A request value that breaks out of its attribute or its text cell
// shows up as a broken rule here.
#pragma once

#include <set>
#include <string>

namespace htmlcheck {

// Empty when the output keeps the rules, else what is wrong and where.
inline std::string problem(const std::string& html) {
  static const std::set<std::string> tags = {"tr", "td", "a", "form", "input"};
  static const std::set<std::string> attributes = {"href", "align", "action", "type", "name", "value"};
  static const std::set<std::string> query_keys = {"t", "account", "q", "bxaction", "action", "logdate"};
  auto where = [&](std::size_t at) {
    const std::size_t from = at < 40 ? 0 : at - 40;
    return " at " + std::to_string(at) + ": ..." + html.substr(from, 80) + "...";
  };
  auto is_alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };

  std::size_t i = 0;
  const std::size_t n = html.size();
  while (i < n) {
    const char c = html[i];
    if (c == '>' || c == '"') return std::string("raw ") + c + " in text" + where(i);
    if (c != '<') {
      ++i;
      continue;
    }
    const std::size_t tag_start = i++;
    if (i < n && html[i] == '/') ++i;
    std::size_t name_start = i;
    while (i < n && is_alpha(html[i])) ++i;
    const std::string tag = html.substr(name_start, i - name_start);
    if (tags.count(tag) == 0) return "unknown tag \"" + tag + "\"" + where(tag_start);
    for (;;) {
      while (i < n && html[i] == ' ') ++i;
      if (i >= n) return "unterminated tag" + where(tag_start);
      if (html[i] == '>') {
        ++i;
        break;
      }
      const std::size_t attr_start = i;
      while (i < n && is_alpha(html[i])) ++i;
      const std::string attr = html.substr(attr_start, i - attr_start);
      if (attributes.count(attr) == 0) return "unknown attribute \"" + attr + "\"" + where(attr_start);
      if (i >= n || html[i] != '=') continue;
      ++i;
      std::string value;
      if (i < n && html[i] == '"') {
        const std::size_t close = html.find('"', i + 1);
        if (close == std::string::npos) return "unterminated attribute value" + where(attr_start);
        value = html.substr(i + 1, close - i - 1);
        i = close + 1;
        if (value.find_first_of("<>") != std::string::npos)
          return "angle bracket inside attribute " + attr + where(attr_start);
        if (i < n && html[i] != ' ' && html[i] != '>')
          return "text glued to a quoted value (quote broke out)" + where(i);
      } else {
        const std::size_t start = i;
        while (i < n && html[i] != ' ' && html[i] != '>') ++i;
        value = html.substr(start, i - start);
        // An empty value (attr=>) is harmless: the ">" still ends the tag.
        if (value.find_first_of("\"'<=`\t\n\r") != std::string::npos)
          return "unsafe character in unquoted attribute " + attr + where(attr_start);
      }
      if (attr == "href") {
        const std::size_t q = value.find('?');
        if (q != std::string::npos) {
          std::set<std::string> seen;
          std::size_t pos = q + 1;
          while (pos <= value.size()) {
            std::size_t amp = value.find('&', pos);
            if (amp == std::string::npos) amp = value.size();
            const std::string pair = value.substr(pos, amp - pos);
            const std::string key = pair.substr(0, pair.find('='));
            if (query_keys.count(key) == 0) return "unknown query parameter \"" + key + "\"" + where(attr_start);
            if (!seen.insert(key).second) return "query parameter \"" + key + "\" twice" + where(attr_start);
            pos = amp + 1;
          }
        }
      }
    }
  }
  return {};
}

}  // namespace htmlcheck
