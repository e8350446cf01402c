// sendvetter-panel — calls one management function by name for the control
// panel:
//
//   sendvetter-panel [--user NAME] [--root DIR] FUNCTION [ARG ...]
//
// Arguments are positional texts (missing ones are empty). What the function
// prints goes to standard output as it is; a function that returns a value
// has it printed (a list one element per line, a text as it is). An unknown
// function is reported on standard error with status 2.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "bin/exit_status.h"
#include "bin/sendvetter-panel/functions.h"

int main(int argc, char** argv) {
  // A write past the file size limit fails instead of killing the request.
  std::signal(SIGXFSZ, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  std::size_t i = 0;
  while (i + 1 < args.size() && (args[i] == "--user" || args[i] == "--root")) {
    (args[i] == "--user" ? Orvane::user : Orvane::root) = args[i + 1];
    i += 2;
  }
  if (i >= args.size()) {
    std::cerr << "usage: sendvetter-panel [--user NAME] [--root DIR] FUNCTION [ARG ...]\n";
    return Orvane::SendVetter::kExitUnknownFunction;
  }
  const std::string name = args[i];
  const auto& table = Orvane::SendVetter::panel_functions();
  auto found = table.find(name);
  if (found == table.end()) {
    std::cerr << "sendvetter-panel: unknown function " << name << "\n";
    return Orvane::SendVetter::kExitUnknownFunction;
  }
  Orvane::SendVetter::PanelArgs call(args.begin() + static_cast<long>(i) + 1, args.end());
  found->second(call);
  std::cout.flush();
  return Orvane::SendVetter::kExitPanelDone;
}
