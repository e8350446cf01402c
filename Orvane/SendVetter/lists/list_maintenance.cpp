// List maintenance and self-detection: appending a "from" rule for one
// address, removing a rule, and recognising the mailbox owner's own
// addresses.
//
// The appended rule is the address with every regular-expression
// metacharacter escaped, so it matches that address literally ("/" stays:
// rule matching escapes it).
#include <cerrno>
#include <sys/file.h>
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

// Appending a rule and rewriting a list both hold an exclusive flock on the
// list file; a list replaced while we waited is opened again, so no append
// lands in a file that is no longer the list.
bool lock_list(const std::string& path, const std::string& mode, SafeFile::Handle& file) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!file.open(path, mode)) return false;
    struct stat held, named;
    while (::flock(file.fd(), LOCK_EX) != 0)
      if (errno != EINTR) return false;
    if (::fstat(file.fd(), &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
        held.st_ino == named.st_ino && held.st_dev == named.st_dev)
      return true;
    file.close();
  }
  return false;
}

}  // namespace

bool SendVetter_addaddytolist(const std::string& list, const std::string& address,
                              const std::string& emaildir) {
  const std::string rule = trim_white_space(remove_char(escape_metacharacters(address), '\n'));
  if (rule.empty()) return true;
  if (!is_single_name(remove_dot_pairs(list))) return false;
  const std::string path = Mailbox::at(emaildir).list_file(list);
  SafeFile::Handle file;
  if (!lock_list(path, "+<", file)) return false;
  // A last rule without its line feed (a hand-edited file) would run on
  // into the new one and both would stop matching.
  char last = '\n';
  struct stat st;
  if (::fstat(file.fd(), &st) != 0 ||
      (st.st_size > 0 && ::pread(file.fd(), &last, 1, st.st_size - 1) != 1) ||
      ::lseek(file.fd(), 0, SEEK_END) < 0)
    return false;
  const std::string line = (last == '\n' ? "from " : "\nfrom ") + rule + "\n";
  const bool written = file.write_all(line);
  return file.close() && written;
}

int SendVetter_removerule(const std::string& list, const std::string& rule,
                          const std::string& emaildir) {
  const std::string path = Mailbox::at(emaildir).list_file(list);
  SafeFile::Handle file;
  if (!lock_list(path, "<", file)) return 0;
  std::string kept;
  bool removed = false;
  for (const std::string& line : split_lines(read_file(path))) {
    if (line == rule)
      removed = true;
    else
      kept += line + "\n";
  }
  // Replaced while still locked: an append waiting for the lock then finds
  // the new file and writes there.
  return removed && replace_file(path, kept) ? 1 : 0;
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
