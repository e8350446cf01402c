// sendvetter — the filter program. The mail server pipes one message into it
// with the receiving account as the only argument; see filter_run.cpp.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "bin/exit_status.h"

namespace Orvane::SendVetter {
int filter_run(const std::string& account);
}

int main(int argc, char** argv) {
  // A file that reaches the size limit must fail its write (the store is
  // then cut back and answered 75), not kill the run half-way.
  std::signal(SIGXFSZ, SIG_IGN);
  // Child programs (sendmail) inherit the extended PATH.
  const char* path = std::getenv("PATH");
  std::string extended = std::string(path ? path : "") + ":/bin";
  ::setenv("PATH", extended.c_str(), 1);

  if (argc > 1 && std::strcmp(argv[1], "--bincheck") == 0) {
    std::cout << "BinCheck ok\n";
    return Orvane::SendVetter::kExitHandled;
  }
  return Orvane::SendVetter::filter_run(argc > 1 ? argv[1] : "");
}
