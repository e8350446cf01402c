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

Lines folded(const Lines& texts) {
  Lines out;
  out.reserve(texts.size());
  for (const std::string& text : texts) out.push_back(ascii_lower(text));
  return out;
}

}  // namespace

int SendVetter_checklist(const std::string& list, const std::string& emaildir,
                         const std::string& email, const Lines& to, const Lines& cc,
                         const std::string& subject) {
  const std::string dir = remove_dot_pairs(emaildir);
  const std::string name = remove_dot_pairs(list);
  SafeFile::Handle file;
  if (!is_single_name(name) || !file.open(Mailbox::at(emaildir).list_file(list), "<")) return 0;

  // Each rule names one subject text, or a list of addresses of which one
  // match suffices; their case-folded copies serve the literal rules.
  const Lines from_text{email}, subject_text{subject};
  const Lines from_folded = folded(from_text), subject_folded = folded(subject_text);
  const Lines to_folded = folded(to), cc_folded = folded(cc);

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
    const Lines* subjects;
    const Lines* subjects_folded;
    if (keyword == "from") {
      subjects = &from_text;
      subjects_folded = &from_folded;
    } else if (keyword == "subject") {
      subjects = &subject_text;
      subjects_folded = &subject_folded;
    } else if (keyword == "to") {
      subjects = &to;
      subjects_folded = &to_folded;
    } else if (keyword == "cc") {
      subjects = &cc;
      subjects_folded = &cc_folded;
    } else {
      continue;
    }
    if (subjects->empty()) continue;
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
      for (const std::string& folded_text : *subjects_folded) {
        if (folded_text.find(literal) != std::string::npos) {
          SendVetter_logmatch(dir, name, std::string(keyword), std::string(pattern), lineno);
          return 1;
        }
      }
      continue;
    }
    // Compiled once for the rule and reused for every address.
    const Regex rule(pattern, Regex::kCaseless);
    if (!rule.valid()) {
      log_broken_rule(dir, name, std::string(keyword), std::string(pattern), lineno);
      continue;
    }
    for (const std::string& candidate : *subjects) {
      if (rule.search(candidate)) {
        SendVetter_logmatch(dir, name, std::string(keyword), std::string(pattern), lineno);
        return 1;
      }
      if (rule.last_match_failed())
        log_broken_rule(dir, name, std::string(keyword), std::string(pattern), lineno);
    }
  }
  return 0;
}

void SendVetter_logmatch(const std::string& emaildir, const std::string& list,
                         const std::string& keyword, const std::string& pattern, int lineno) {
  SendVetter_clog(3, emaildir, "Email matches rule " + quoted_rule(keyword, pattern, lineno, list));
}

}  // namespace Orvane::SendVetter
