// Account lookup, the mailbox configuration and enable flag, the mailbox
// identity and random data.
// One part of the module header Orvane/SendVetter.h, whose opening comment
// states the rules every function keeps.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include <sys/types.h>

#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

// ---- account lookup --------------------------------------------------------

// (home directory, domain) of an account; both empty when it cannot be resolved.
std::pair<std::string, std::string> SendVetter_getaccountinfo(const std::string& account);
// Owner of a domain from the host's userdomains file, or empty.
std::string SendVetter_getdomainowner(const std::string& domain);
// Home directory of a user from the host's passwd file, links followed, or empty.
std::string SendVetter_gethomedir(const std::string& user);
// (email directory, delivery directory) of an account below homedir, every
// ".." removed, whether they exist or not.
std::pair<std::string, std::string> email_dir_paths(const std::string& account,
                                                    const std::string& homedir);
// (email directory, delivery directory), creating them when missing; both
// empty when either is not a directory afterwards.
std::pair<std::string, std::string> SendVetter_getemaildirs(const std::string& account,
                                                            const std::string& homedir);
// "mail." + domain, or the host's name for an empty domain.
std::string SendVetter_getwebdomain(const std::string& domain);
// 1 when text begins with prefix, ASCII letters compared without case.
int SendVetter_beginmatch(const std::string& text, const std::string& prefix);
// The system user whose home holds the account: the account itself, or the
// owner of an address account's domain (empty when the domain has none).
std::string account_owner(const std::string& account);

// The passwd entry of a system user; valid is false when its uid or gid is
// not a number. nullopt when the user has no entry.
struct OwnerIds {
  std::string name;
  uid_t uid;
  gid_t gid;
  bool valid;
};
std::optional<OwnerIds> owner_ids(const std::string& owner);

// ---- configuration ---------------------------------------------------------

// The mailbox configuration with "froms" and "stale-queue-time" always set.
Conf SendVetter_loadconf(const std::string& emaildir, const std::string& account);
// Rewrites the configuration file with the two values; prints only on
// failure, and then returns false.
bool SendVetter_saveconf(const std::string& account, const std::string& froms,
                         const std::string& staletime);
// 1 when the filter is switched on for the account.
int SendVetter_isenabled(const std::string& account);
// Prints the account's settings directory, creating it first.
void SendVetter_getboxconfdir(const std::string& account);
// Module initialisation: no effect, returns 1.
int SendVetter_init();
// ---- identity and random data ----------------------------------------------

// The mailbox's identity, made on first use. nullopt: no random data could be
// had (the message is already printed; the run ends with status 75).
std::optional<std::string> SendVetter_getourid(const std::string& emaildir);
// length word characters ([A-Za-z0-9_]) from the random device. nullopt: the
// device could not be read (message printed; the run ends with status 75).
std::optional<std::string> SendVetter_getranddata(std::size_t length = 10, int flag = 1);

}  // namespace Orvane::SendVetter
