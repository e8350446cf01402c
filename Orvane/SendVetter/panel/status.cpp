// The filter's on/off state for the panel (the enable flag file), and the
// list of accounts the panel user manages, from the panel's handoff program.
#include <cerrno>
#include <unistd.h>

#include <iostream>

#include "Orvane/SendVetter/account/account.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/spawn.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/panel/html.h"
#include "Orvane/SendVetter/panel/panel.h"
#include "Orvane/SendVetter/panel/support.h"
#include "Orvane/SendVetter/types.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

namespace {

const char* state_word(const std::string& account) {
  return SendVetter_isenabled(account) ? "enabled" : "disabled";
}

}  // namespace

void SendVetter_status(const std::string& account) { std::cout << state_word(account); }

void SendVetter_statusbutton(const std::string& account) {
  std::cout << (SendVetter_isenabled(account) ? "<input type=submit name=action value=Disable>"
                                              : "<input type=submit name=action value=Enable>");
}

bool SendVetter_changestatus(const std::string& account, const std::string& action) {
  // Only the two values of the button: a mistyped value must not switch the
  // filter off.
  if (action != "Enable" && action != "Disable") {
    std::cout << "Unknown action &quot;" << html_escape(action) << "&quot;; the state is unchanged.";
    return false;
  }
  // Without the account's directories the flag path would start at "/".
  auto mailbox = panel_account(account);
  if (!mailbox) return false;
  const std::string flag = mailbox->enable_flag();
  const bool enable = action == "Enable";
  SafeFile::Handle file;
  const bool changed = enable ? file.open(flag, ">") && file.close()
                              : ::unlink(flag.c_str()) == 0 || errno == ENOENT;
  if (changed)
    std::cout << (enable ? "enabled" : "disabled");
  else
    std::cout << "Change failed; the filter stays " << state_word(account) << ".";
  return changed;
}

void SendVetter_accountmanagelist(const std::string& link) {
  Lines names = SendVetter_listpops();
  names.insert(names.begin(), Orvane::user);
  const std::string target = url_target(link);
  for (const std::string& name : names) {
    std::cout << "<tr><td>" << html_escape(name) << "</td><td>" << state_word(name)
              << "</td><td><a href=\"" << target << "?account=" << url_escape(name)
              << "\">Manage</a></td></tr>\n";
  }
}

Lines SendVetter_listpops() {
  std::string program = Orvane::root + "/orvane-email.pl";
  if (!path_exists(program)) program = Orvane::root + "/orvane-email";
  return split_lines(run_and_read(program, {program, "listpops"}));
}

}  // namespace Orvane::SendVetter
