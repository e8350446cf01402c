// List maintenance and self-detection: appending a "from" rule for one
// address, removing a rule, and recognising the mailbox owner's own
// addresses.
//
// The appended rule is the address with every regular-expression
// metacharacter escaped, so it matches that address literally ("/" stays:
// rule matching escapes it).
#include <sys/stat.h>
#include <unistd.h>

#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/lists/lists.h"
#include "Orvane/SendVetter/types.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

namespace {

std::string escape_metacharacters(const std::string& address) {
  std::string escaped;
  escaped.reserve(address.size() * 2);
  for (char c : address) {
    switch (c) {
      case '\\': case '^': case '$': case '.': case '|': case '?': case '*': case '+':
      case '(': case ')': case '[': case ']': case '{': case '}':
        escaped += '\\';
        break;
      default:
        break;
    }
    escaped += c;
  }
  return escaped;
}

std::string trim_white_space(const std::string& text) {
  static const char kWhite[] = " \t\n\r\f\v";
  const std::size_t first = text.find_first_not_of(kWhite);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(kWhite) - first + 1);
}

}  // namespace

bool SendVetter_addaddytolist(const std::string& list, const std::string& address,
                              const std::string& emaildir) {
  const std::string rule = trim_white_space(remove_char(escape_metacharacters(address), '\n'));
  if (rule.empty()) return true;
  if (!is_single_name(remove_dot_pairs(list))) return false;
  const std::string path = Mailbox::at(emaildir).list_file(list);
  // A last rule without its line feed (a hand-edited file) would run on
  // into the new one and both would stop matching.
  char last = '\n';
  SafeFile::Handle current;
  struct stat st;
  if (current.open(path, "<") && ::fstat(current.fd(), &st) == 0 && st.st_size > 0 &&
      ::pread(current.fd(), &last, 1, st.st_size - 1) != 1)
    return false;
  SafeFile::Handle file;
  if (!file.open(path, ">>")) return false;
  // One write in append mode: concurrent appends do not interleave.
  const std::string line = (last == '\n' ? "from " : "\nfrom ") + rule + "\n";
  const bool written = file.write_all(line);
  return file.close() && written;
}

int SendVetter_removerule(const std::string& list, const std::string& rule,
                          const std::string& emaildir) {
  const std::string path = Mailbox::at(emaildir).list_file(list);
  // The filter appends without a lock while the file is rewritten; a list
  // that grew meanwhile is read again rather than replaced without the
  // new line.
  constexpr int kAttempts = 3;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const std::string old = read_file(path);
    std::string kept;
    bool removed = false;
    for (const std::string& line : split_lines(old)) {
      if (line == rule)
        removed = true;
      else
        kept += line + "\n";
    }
    if (!removed) return 0;
    if (replace_file(path, kept, static_cast<long long>(old.size()))) return 1;
  }
  return 0;
}

int SendVetter_islistname(const std::string& list) {
  return list == "white" || list == "black" || list == "ignore" ? 1 : 0;
}

int SendVetter_isfromself(const std::string& email, const std::string& account,
                          const std::string& froms) {
  Lines own = split_dropping_trailing_empty(froms, ',');
  own.push_back(account);
  return SendVetter_isinarray(email, own);
}

int SendVetter_isinarray(const std::string& text, const Lines& list) {
  for (const std::string& element : list)
    if (element == text) return 1;
  return 0;
}

}  // namespace Orvane::SendVetter
