// The system user a mailbox belongs to, as the account lookup finds it: the
// account itself for a system account ("bob"), the domain's owner from the
// userdomains file for an address ("info@example.com"); its uid and gid
// from the host's passwd file.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace Orvane::SendVetter::Web {

struct MailboxOwner {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};

// The owner of the account's mailbox; nullopt when the account has no owner,
// the owner no passwd entry, or the entry's uid or gid is not a number.
std::optional<MailboxOwner> mailbox_owner(const std::string& account);

}  // namespace Orvane::SendVetter::Web
