// The sender lists' rule matching: a list file holds lines "keyword pattern"
// (keywords from, subject, to, cc); the first rule whose pattern matches,
// case-insensitively and anywhere in its text, decides and is logged.
//
// Lists grow by one escaped "from" rule per verified sender, so most rules
// are plain text. A pattern without metacharacters (escapes of punctuation
// such as "\." and "\/" read as the character) is matched as a literal,
// case-folded substring search, which finds exactly what PCRE2 would find
// for it without compiling it; every other pattern goes to PCRE2.
#include <set>
#include <tuple>

#include "Orvane/SendVetter/account/account.h"
#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/regex.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/lists/lists.h"
#include "Orvane/SendVetter/log/log.h"
#include "Orvane/SendVetter/types.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

namespace {

std::string quoted_rule(const std::string& keyword, const std::string& pattern, int lineno,
                        const std::string& list) {
  return "\"" + keyword + " " + pattern + "\" Line " + std::to_string(lineno) + " in " + list +
         "list";
}

// A broken rule (does not compile, or a match ran into the limits) is
// logged once per run, however often the list is read.
void log_broken_rule(const std::string& emaildir, const std::string& list,
                     const std::string& keyword, const std::string& pattern, int lineno) {
  static std::set<std::tuple<std::string, std::string, int, std::string>> logged;
  if (!logged.emplace(emaildir, list, lineno, keyword + " " + pattern).second) return;
  SendVetter_clog(3, emaildir, "Skipping invalid rule " + quoted_rule(keyword, pattern, lineno, list));
}

// Empty, or only the white space of "^[\s\t]+$" (the pattern holds no "\n").
bool is_blank_pattern(std::string_view pattern) {
  return pattern.find_first_not_of(" \t\n\v\f\r") == std::string_view::npos;
}

// The text a pattern stands for when it has no metacharacter, ASCII capitals
// lowered; false when PCRE2 must decide. A backslash before punctuation
// makes it literal, as in PCRE2; before anything else ("\d", "\Q", a byte
// above 127) the pattern is left to PCRE2, as is every byte above 127.
bool literal_text(std::string_view pattern, std::string& literal) {
  literal.clear();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(pattern[i]);
    switch (c) {
      case '^': case '$': case '.': case '[': case ']': case '|': case '(': case ')':
      case '?': case '*': case '+': case '{': case '}':
        return false;
      case '\\': {
        if (i + 1 == pattern.size()) return false;
        const unsigned char next = static_cast<unsigned char>(pattern[++i]);
        const bool punctuation = (next >= '!' && next <= '/') || (next >= ':' && next <= '@') ||
                                 (next >= '[' && next <= '`') || (next >= '{' && next <= '~');
        if (!punctuation) return false;
        literal.push_back(static_cast<char>(next));
        break;
      }
      default:
        if (c >= 0x80) return false;
        literal.push_back(ascii_lower(static_cast<char>(c)));
    }
  }
  return true;
}

// Whether text holds literal (already folded), ASCII capitals of text
// compared lowered: in place, since a subject may be hundreds of megabytes.
bool contains_folded(std::string_view text, std::string_view literal) {
  if (literal.empty()) return true;
  for (std::size_t i = 0; i + literal.size() <= text.size(); ++i) {
    std::size_t k = 0;
    while (k < literal.size() && ascii_lower(text[i + k]) == literal[k]) ++k;
    if (k == literal.size()) return true;
  }
  return false;
}

}  // namespace

int SendVetter_checklist(const std::string& list, const std::string& emaildir,
                         const std::string& email, const PackedLines& to,
                         const PackedLines& cc, const std::string& subject) {
  const std::string dir = remove_dot_pairs(emaildir);
  const std::string name = remove_dot_pairs(list);
  SafeFile::Handle file;
  if (!is_single_name(name) || !file.open(Mailbox::at(emaildir).list_file(list), "<")) return 0;


  LineReader reader(file.fd());
  std::string line, escaped, literal;
  int lineno = 0;
  while (reader.getline(line)) {
    ++lineno;
    if (SendVetter_beginmatch(line, "#")) continue;
    std::string_view text = line;
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    const std::size_t space = text.find(' ');
    if (space == std::string_view::npos) continue;
    const std::string_view keyword = text.substr(0, space);
    // A rule names one text, or a list of addresses of which one match
    // suffices; all are read in place.
    std::string_view single;
    const PackedLines* addresses = nullptr;
    if (keyword == "from")
      single = email;
    else if (keyword == "subject")
      single = subject;
    else if (keyword == "to")
      addresses = &to;
    else if (keyword == "cc")
      addresses = &cc;
    else
      continue;
    if (addresses && addresses->empty()) continue;
    auto any_matches = [&](auto&& test) {
      if (!addresses) return test(single);
      for (std::string_view candidate : *addresses)
        if (test(candidate)) return true;
      return false;
    };
    // The pattern as it is matched and logged: every "/" written "\/".
    std::string_view pattern = text.substr(space + 1);
    if (pattern.find('/') != std::string_view::npos) {
      escaped.clear();
      for (char c : pattern) {
        if (c == '/') escaped.push_back('\\');
        escaped.push_back(c);
      }
      pattern = escaped;
    }
    if (is_blank_pattern(pattern)) continue;

    if (literal_text(pattern, literal)) {
      if (any_matches([&](std::string_view candidate) { return contains_folded(candidate, literal); })) {
        SendVetter_logmatch(dir, name, std::string(keyword), std::string(pattern), lineno);
        return 1;
      }
      continue;
    }
    // Compiled once for the rule and reused for every address.
    const Regex rule(pattern, Regex::kCaseless);
    if (!rule.valid()) {
      log_broken_rule(dir, name, std::string(keyword), std::string(pattern), lineno);
      continue;
    }
    if (any_matches([&](std::string_view candidate) {
          if (rule.search(candidate)) return true;
          if (rule.last_match_failed())
            log_broken_rule(dir, name, std::string(keyword), std::string(pattern), lineno);
          return false;
        })) {
      SendVetter_logmatch(dir, name, std::string(keyword), std::string(pattern), lineno);
      return 1;
    }
  }
  return 0;
}

void SendVetter_logmatch(const std::string& emaildir, const std::string& list,
                         const std::string& keyword, const std::string& pattern, int lineno) {
  SendVetter_clog(3, emaildir, "Email matches rule " + quoted_rule(keyword, pattern, lineno, list));
}

}  // namespace Orvane::SendVetter
