// The sender lists' rule matching: a list file holds lines "keyword pattern"
// (keywords from, subject, to, cc); the first rule whose pattern matches,
// case-insensitively and anywhere in its text, decides and is logged.
#include <set>
#include <tuple>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/files.h"
#include "Orvane/SendVetter/regex.h"
#include "Orvane/SendVetter/text.h"

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

bool is_blank_pattern(const std::string& pattern) {
  static const Regex blank("^[\\s\\t]+$");
  return pattern.empty() || blank.search(pattern);
}

}  // namespace

int SendVetter_checklist(const std::string& list, const std::string& emaildir,
                         const std::string& email, const Lines& to, const Lines& cc,
                         const std::string& subject) {
  const std::string dir = remove_dot_pairs(emaildir);
  const std::string name = remove_dot_pairs(list);
  SafeFile::Handle file;
  if (!file.open(dir + "/.sendvetter/" + name + "-list.txt", "<")) return 0;
  LineReader reader(file.fd());
  std::string line;
  int lineno = 0;
  while (reader.getline(line)) {
    ++lineno;
    if (SendVetter_beginmatch(line, "#")) continue;
    line = chomp(line);
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    const std::string keyword = line.substr(0, space);
    std::string pattern;
    for (char c : std::string_view(line).substr(space + 1)) {
      if (c == '/') pattern.push_back('\\');
      pattern.push_back(c);
    }
    if (is_blank_pattern(pattern)) continue;

    // Each rule names one subject text, or a list of addresses of which
    // one match suffices.
    const Lines* subjects;
    Lines single;
    if (keyword == "from") {
      single = {email};
      subjects = &single;
    } else if (keyword == "subject") {
      single = {subject};
      subjects = &single;
    } else if (keyword == "to") {
      subjects = &to;
    } else if (keyword == "cc") {
      subjects = &cc;
    } else {
      continue;
    }
    if (subjects->empty()) continue;
    // Compiled once for the rule and reused for every address.
    const Regex rule(pattern, Regex::kCaseless);
    if (!rule.valid()) {
      log_broken_rule(dir, name, keyword, pattern, lineno);
      continue;
    }
    for (const std::string& text : *subjects) {
      if (rule.search(text)) {
        SendVetter_logmatch(dir, name, keyword, pattern, lineno);
        return 1;
      }
      if (rule.last_match_failed()) log_broken_rule(dir, name, keyword, pattern, lineno);
    }
  }
  return 0;
}

void SendVetter_logmatch(const std::string& emaildir, const std::string& list,
                         const std::string& keyword, const std::string& pattern, int lineno) {
  SendVetter_clog(3, emaildir, "Email matches rule " + quoted_rule(keyword, pattern, lineno, list));
}

}  // namespace Orvane::SendVetter
