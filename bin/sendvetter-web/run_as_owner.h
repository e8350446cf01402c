// Runs one management function of sendvetter-panel as a mailbox's owner.
//
// Every page action touches the mailbox only through this: a child process
// takes the owner's gid and uid (no supplementary groups) and only then
// executes the panel program, so the mailbox's files are read and written
// with the owner's rights, never root's and never another owner's. An owner
// with uid 0 is refused.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bin/sendvetter-web/owner.h"

namespace Orvane::SendVetter::Web {

struct PanelCall {
  std::string function;           // full name, e.g. "SendVetter_showqueue"
  std::vector<std::string> args;  // positional texts
  std::string script_uri;         // SCRIPT_URI for links the function builds; empty: unset
};

// What the panel program printed on standard output (at most 16 MiB). nullopt
// when the owner is root, the switch to the owner failed, or the program
// could not be run or was killed.
std::optional<std::string> run_as_owner(const MailboxOwner& owner, const std::string& panel_program,
                                        const PanelCall& call);

}  // namespace Orvane::SendVetter::Web
