// sendvetter — the filter program. The mail server pipes one message into it
// with the receiving account as the only argument; see filter_run.cpp.
//
//   sendvetter ACCOUNT            filter the message on standard input
//   sendvetter -- ACCOUNT         the same, for an account that looks like an option
//   sendvetter --bincheck | --help | --version
//
// Only those exact first words are options: any other first argument is the
// account, so no account name is ever taken for an option.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "bin/exit_status.h"

namespace Orvane::SendVetter {
int filter_run(const std::string& account);
}

namespace {

const char kUsage[] = "usage: sendvetter ACCOUNT < MESSAGE\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace Orvane::SendVetter;
  // A file that reaches the size limit must fail its write (the store is
  // then cut back and answered 75), not kill the run half-way.
  std::signal(SIGXFSZ, SIG_IGN);
  // Child programs (sendmail) inherit the extended PATH.
  const char* path = std::getenv("PATH");
  std::string extended = std::string(path ? path : "") + ":/bin";
  ::setenv("PATH", extended.c_str(), 1);

  if (argc < 2) {
    std::cerr << kUsage;
    return kExitUsage;
  }
  const std::string first = argv[1];
  if (first == "--bincheck") {
    std::cout << "BinCheck ok\n";
    return kExitHandled;
  }
  if (first == "--help") {
    std::cout << kUsage
              << "Filters one message for ACCOUNT (a system user, or an address of a hosted\n"
                 "domain): delivers it, drops it, answers it, or holds it and asks the sender\n"
                 "to confirm. Exit status 0 handled, 75 retry later, 1 unknown account.\n"
                 "See sendvetter(8).\n";
    return kExitHandled;
  }
  if (first == "--version") {
    std::cout << "sendvetter " SENDVETTER_VERSION "\n";
    return kExitHandled;
  }
  if (first == "--") {
    if (argc < 3) {
      std::cerr << kUsage;
      return kExitUsage;
    }
    return filter_run(argv[2]);
  }
  return filter_run(first);
}
