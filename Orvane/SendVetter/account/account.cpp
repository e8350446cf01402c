// Account lookup: account name -> home, email and delivery directories.
//
// A system account ("bob") lives under its own home: email directory
// home/etc, delivery directory home/mail. An address account
// ("info@example.com") lives under the domain owner's home (owner from the
// userdomains file): home/etc/<domain>/<local>, home/mail/<domain>/<local>.
// Nothing is cached; the host files are read again on every call.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Orvane/SendVetter/account/account.h"
#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/host_paths.h"
#include "Orvane/SendVetter/base/regex.h"
#include "Orvane/SendVetter/base/spawn.h"
#include "Orvane/SendVetter/base/text.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

namespace {

// Links followed for a home directory before it counts as unresolvable.
constexpr int kMaxHomeLinks = 40;

// local part and domain: the first two pieces of the account split at "@".
std::pair<std::string, std::string> split_account(const std::string& account) {
  std::size_t at = account.find('@');
  std::string local = account.substr(0, at);
  std::string rest = account.substr(at + 1);
  return {local, rest.substr(0, rest.find('@'))};
}

}  // namespace

int SendVetter_beginmatch(const std::string& text, const std::string& prefix) {
  if (prefix.size() > text.size()) return 0;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (ascii_lower(text[i]) != ascii_lower(prefix[i])) return 0;
  return 1;
}

std::pair<std::string, std::string> SendVetter_getaccountinfo(const std::string& account) {
  const std::string owner = account_owner(account);
  if (owner.empty()) return {};
  const std::string domain =
      account.find('@') != std::string::npos ? split_account(account).second : std::string();
  return {SendVetter_gethomedir(owner), domain};
}

std::string SendVetter_getdomainowner(const std::string& domain) {
  SafeFile::Handle file;
  if (!file.open(host_paths().userdomains, "<")) return {};
  LineReader reader(file.fd());
  static const Regex owner_field("\\S+\\s*(\\S+)");
  const std::string prefix = domain + ": ";
  std::string line;
  while (reader.getline(line)) {
    line = chomp(line);
    if (!SendVetter_beginmatch(line, prefix)) continue;
    std::vector<std::string> captures;
    if (owner_field.search(line, captures)) return captures[1];
    return {};
  }
  return {};
}

namespace {

// name:password:uid:gid:comment:home:shell, split at the colons; empty when
// user has no line or its line has fewer than six fields.
std::vector<std::string> passwd_fields(const std::string& user) {
  SafeFile::Handle file;
  if (!file.open(host_paths().passwd, "<")) return {};
  LineReader reader(file.fd());
  const std::string prefix = user + ":";
  std::string line;
  while (reader.getline(line)) {
    if (!SendVetter_beginmatch(line, prefix)) continue;
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (fields.size() < 7) {
      std::size_t colon = line.find(':', start);
      fields.push_back(line.substr(start, colon == std::string::npos ? colon : colon - start));
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
    if (fields.size() < 6) return {};
    // Without a seventh field the newline would end the sixth.
    fields[5] = chomp(fields[5]);
    return fields;
  }
  return {};
}

}  // namespace

std::string SendVetter_gethomedir(const std::string& user) {
  const std::vector<std::string> fields = passwd_fields(user);
  if (fields.empty()) return {};
  std::string home = fields[5];
  for (int links = 0;; ++links) {
    struct stat st;
    if (::lstat(home.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    if (links == kMaxHomeLinks) return {};
    char target[PATH_MAX];
    ssize_t n = ::readlink(home.c_str(), target, sizeof target);
    if (n < 0) return {};
    home.assign(target, static_cast<std::size_t>(n));
  }
  return home;
}

std::string account_owner(const std::string& account) {
  if (account.find('@') == std::string::npos) return account;
  return SendVetter_getdomainowner(split_account(account).second);
}

std::optional<OwnerIds> owner_ids(const std::string& owner) {
  const std::vector<std::string> fields = passwd_fields(owner);
  if (fields.empty()) return std::nullopt;
  OwnerIds ids{fields[0], 0, 0, false};
  auto number = [](const std::string& text, unsigned long& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    value = std::strtoul(text.c_str(), nullptr, 10);
    return errno == 0 && value < 0xFFFFFFFFul;
  };
  unsigned long uid = 0, gid = 0;
  ids.valid = number(fields[2], uid) && number(fields[3], gid);
  ids.uid = static_cast<uid_t>(uid);
  ids.gid = static_cast<gid_t>(gid);
  return ids;
}

std::pair<std::string, std::string> email_dir_paths(const std::string& account,
                                                    const std::string& homedir) {
  std::string emaildir = homedir + "/etc";
  std::string deliverdir = homedir + "/mail";
  if (account.find('@') != std::string::npos) {
    auto [local, domain] = split_account(account);
    emaildir = homedir + "/etc/" + domain + "/" + local;
    deliverdir = homedir + "/mail/" + domain + "/" + local;
  }
  // ".." goes before anything is created: an account name must not make
  // directories outside the owner's etc and mail directories.
  return {remove_dot_pairs(emaildir), remove_dot_pairs(deliverdir)};
}

std::pair<std::string, std::string> SendVetter_getemaildirs(const std::string& account,
                                                            const std::string& homedir) {
  const auto [emaildir, deliverdir] = email_dir_paths(account, homedir);
  ensure_dir(emaildir);
  ensure_dir(deliverdir);
  ensure_dir(Mailbox::at(emaildir).settings_dir());
  if (!is_directory(emaildir) || !is_directory(deliverdir)) return {};
  return {emaildir, deliverdir};
}

std::string SendVetter_getwebdomain(const std::string& domain) {
  if (!domain.empty()) return "mail." + domain;
  return chomp(run_and_read("hostname", {"hostname"}));
}

}  // namespace Orvane::SendVetter
