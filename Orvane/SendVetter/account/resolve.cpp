// The two account checks shared by the filter and every management function.
#include "Orvane/SendVetter/account/resolve.h"

#include "Orvane/SendVetter.h"

namespace Orvane::SendVetter {

AccountDirs lookup_account(const std::string& account, AccountProblem& problem) {
  AccountDirs dirs;
  std::tie(dirs.homedir, dirs.domain) = SendVetter_getaccountinfo(account);
  if (dirs.homedir.empty()) {
    problem = AccountProblem::no_home;
    return dirs;
  }
  std::tie(dirs.emaildir, dirs.deliverdir) = SendVetter_getemaildirs(account, dirs.homedir);
  problem = dirs.emaildir.empty() ? AccountProblem::no_email_dirs : AccountProblem::none;
  return dirs;
}

std::string no_home_message(const std::string& account) {
  return "Unable to locate home dir for account " + account + "\n";
}

std::string no_email_dirs_message(const std::string& account) {
  return "Email homedir for " + account + " does not exist";
}

std::optional<AccountDirs> resolve_account(const std::string& account, std::ostream& out) {
  AccountProblem problem;
  AccountDirs dirs = lookup_account(account, problem);
  if (problem == AccountProblem::no_home) {
    out << no_home_message(account);
    return std::nullopt;
  }
  if (problem == AccountProblem::no_email_dirs) {
    out << no_email_dirs_message(account);
    return std::nullopt;
  }
  return dirs;
}

}  // namespace Orvane::SendVetter
