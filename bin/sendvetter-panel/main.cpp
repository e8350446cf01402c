// sendvetter-panel — calls one management function by name for the control
// panel:
//
//   sendvetter-panel [--user NAME] [--root DIR] FUNCTION [ARG ...]
//   sendvetter-panel --list | --help | --version
//
// Arguments are positional texts (missing ones are empty); options are read
// only before the function name, so an account name is never taken for one.
// What the function prints goes to standard output as it is; a function that
// returns a value has it printed (a list one element per line, a text as it
// is). A call that changes an account's state is written to the system log
// with the panel user. Statuses (exit_status.h): 0 done, 1 refused or failed
// (the output says why), 2 usage error or unknown function.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "Orvane/SendVetter/log/syslog.h"
#include "bin/exit_status.h"
#include "bin/sendvetter-panel/functions.h"

namespace {

const char kUsage[] =
    "usage: sendvetter-panel [--user NAME] [--root DIR] FUNCTION [ARG ...]\n"
    "       sendvetter-panel --list | --help | --version\n";

void log_change(const std::string& name, const std::vector<std::string>& args, bool done) {
  std::string text = "panel user=" + Orvane::user + ": " + name;
  for (const std::string& arg : args) text += " \"" + arg + "\"";
  if (!done) text += ": refused or failed";
  Orvane::SendVetter::system_log(text);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace Orvane::SendVetter;
  // A write past the file size limit fails instead of killing the request.
  std::signal(SIGXFSZ, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  const auto& table = panel_functions();
  if (args.size() == 1 && args[0] == "--help") {
    std::cout << kUsage
              << "Calls the named management function (see --list) for the control panel and\n"
                 "prints what it prints. See sendvetter-panel(8).\n";
    return kExitPanelDone;
  }
  if (args.size() == 1 && args[0] == "--version") {
    std::cout << "sendvetter-panel " SENDVETTER_VERSION "\n";
    return kExitPanelDone;
  }
  if (args.size() == 1 && args[0] == "--list") {
    for (const auto& entry : table) std::cout << entry.first << "\n";
    return kExitPanelDone;
  }
  std::size_t i = 0;
  while (i + 1 < args.size() && (args[i] == "--user" || args[i] == "--root")) {
    (args[i] == "--user" ? Orvane::user : Orvane::root) = args[i + 1];
    i += 2;
  }
  if (i >= args.size()) {
    std::cerr << kUsage;
    return kExitPanelUsage;
  }
  const std::string name = args[i];
  auto found = table.find(name);
  if (found == table.end()) {
    std::cerr << "sendvetter-panel: unknown function " << name << "\n";
    return kExitPanelUsage;
  }
  const std::vector<std::string> call_args(args.begin() + static_cast<long>(i) + 1, args.end());
  const bool done = found->second(PanelArgs(call_args.begin(), call_args.end()));
  std::cout.flush();
  if (changes_state(name)) log_change(name, call_args, done);
  return done ? kExitPanelDone : kExitPanelFailed;
}
