// The panel-output invariant shared by the panel fuzz target and the tests:
// the output is text and tags of the panel's own small vocabulary only, every
// attribute value is well formed (a double-quoted value holds no angle
// bracket, an unquoted one no quote, bracket or "="), text holds no raw ">"
// or double quote, and a link's query names each known parameter at most
// once. A request value that breaks out of its attribute or its text cell
// shows up as a broken rule here.
#pragma once

#include <algorithm>
#include <cctype>
#include <set>
#include <string>

namespace htmlcheck {

// Empty when the output keeps the rules, else what is wrong and where.
inline std::string problem(const std::string& html) {
  static const std::set<std::string> tags = {"tr", "td", "a", "form", "input"};
  static const std::set<std::string> attributes = {"href", "align", "action", "type", "name", "value"};
  static const std::set<std::string> query_keys = {"t", "account", "q", "bxaction", "action", "logdate"};
  const std::size_t n = html.size();
  std::size_t i = 0;
  auto where = [&](std::size_t at) {
    return " at " + std::to_string(at) + ": ..." + html.substr(at - std::min<std::size_t>(at, 40), 80) + "...";
  };
  auto word = [&] {
    const std::size_t start = i;
    while (i < n && std::isalpha(static_cast<unsigned char>(html[i]))) ++i;
    return html.substr(start, i - start);
  };
  while (i < n) {
    if (html[i] == '>' || html[i] == '"') return std::string("raw ") + html[i] + " in text" + where(i);
    if (html[i++] != '<') continue;
    const std::size_t tag_start = i - 1;
    if (i < n && html[i] == '/') ++i;
    if (const std::string tag = word(); !tags.count(tag)) return "unknown tag \"" + tag + "\"" + where(tag_start);
    for (;;) {
      while (i < n && html[i] == ' ') ++i;
      if (i >= n) return "unterminated tag" + where(tag_start);
      if (html[i] == '>') { ++i; break; }
      const std::size_t attr_start = i;
      const std::string attr = word();
      if (!attributes.count(attr)) return "unknown attribute \"" + attr + "\"" + where(attr_start);
      if (i >= n || html[i] != '=') continue;
      std::string value;
      if (++i < n && html[i] == '"') {
        const std::size_t close = html.find('"', i + 1);
        if (close == std::string::npos) return "unterminated attribute value" + where(attr_start);
        value = html.substr(i + 1, close - i - 1);
        i = close + 1;
        if (value.find_first_of("<>") != std::string::npos) return "angle bracket inside attribute " + attr + where(attr_start);
        if (i < n && html[i] != ' ' && html[i] != '>') return "text glued to a quoted value (quote broke out)" + where(i);
      } else {
        const std::size_t start = i;
        while (i < n && html[i] != ' ' && html[i] != '>') ++i;
        // An empty value (attr=>) is harmless: the ">" still ends the tag.
        value = html.substr(start, i - start);
        if (value.find_first_of("\"'<=`\t\n\r") != std::string::npos)
          return "unsafe character in unquoted attribute " + attr + where(attr_start);
      }
      if (attr != "href" || value.find('?') == std::string::npos) continue;
      std::set<std::string> seen;
      for (std::size_t pos = value.find('?') + 1; pos <= value.size();) {
        const std::size_t amp = std::min(value.find('&', pos), value.size());
        const std::string key = value.substr(pos, std::min(value.find('=', pos), amp) - pos);
        if (!query_keys.count(key)) return "unknown query parameter \"" + key + "\"" + where(attr_start);
        if (!seen.insert(key).second) return "query parameter \"" + key + "\" twice" + where(attr_start);
        pos = amp + 1;
      }
    }
  }
  return {};
}

}  // namespace htmlcheck
