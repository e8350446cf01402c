// Mailbox owner lookup: the module's account lookup names the owner, the
// passwd file (the module's host path) gives its ids.
#include "bin/sendvetter-web/owner.h"

#include <charconv>
#include <fstream>

#include "Orvane/SendVetter/account/account.h"
#include "Orvane/SendVetter/base/host_paths.h"

namespace Orvane::SendVetter::Web {

namespace {

template <typename Id>
bool parse_id(const std::string& text, Id& id) {
  unsigned long value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value != static_cast<Id>(value))
    return false;
  id = static_cast<Id>(value);
  return true;
}

}  // namespace

std::optional<MailboxOwner> mailbox_owner(const std::string& account) {
  const auto [home, domain] = SendVetter_getaccountinfo(account);
  if (home.empty()) return std::nullopt;
  MailboxOwner owner;
  owner.name = domain.empty() ? account : SendVetter_getdomainowner(domain);
  if (owner.name.empty()) return std::nullopt;
  std::ifstream passwd(host_paths().passwd);
  std::string line;
  while (std::getline(passwd, line)) {
    // name:password:uid:gid:...
    if (line.compare(0, owner.name.size() + 1, owner.name + ":") != 0) continue;
    const std::size_t uid_at = line.find(':', owner.name.size() + 1);
    const std::size_t gid_at = uid_at == std::string::npos ? uid_at : line.find(':', uid_at + 1);
    const std::size_t gid_end = gid_at == std::string::npos ? gid_at : line.find(':', gid_at + 1);
    if (gid_end == std::string::npos) return std::nullopt;
    if (!parse_id(line.substr(uid_at + 1, gid_at - uid_at - 1), owner.uid) ||
        !parse_id(line.substr(gid_at + 1, gid_end - gid_at - 1), owner.gid))
      return std::nullopt;
    return owner;
  }
  return std::nullopt;
}

}  // namespace Orvane::SendVetter::Web
