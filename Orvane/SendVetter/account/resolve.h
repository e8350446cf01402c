// resolve_account: the account checks every entry point makes, with the two
// messages in the module's fixed words.
//
//   home directory empty   -> "Unable to locate home dir for account <a>\n"
//   email dirs not found   -> "Email homedir for <a> does not exist"
//
// The message goes to the given stream (the filter uses standard output and
// standard error, the panel prints into the page); nullopt then.
#pragma once

#include <optional>
#include <ostream>
#include <string>

namespace Orvane::SendVetter {

struct AccountDirs {
  std::string homedir;
  std::string domain;
  std::string emaildir;
  std::string deliverdir;
};

enum class AccountProblem { none, no_home, no_email_dirs };

// Resolves the account; problem tells which check failed.
AccountDirs lookup_account(const std::string& account, AccountProblem& problem);
std::string no_home_message(const std::string& account);
std::string no_email_dirs_message(const std::string& account);
// lookup_account with both messages written to out.
std::optional<AccountDirs> resolve_account(const std::string& account, std::ostream& out);

}  // namespace Orvane::SendVetter
