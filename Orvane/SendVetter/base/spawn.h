// Child programs, started without a shell (the one place that spawns).
//
// run_and_read starts program (looked up through PATH when it holds no "/")
// with argv and returns what it wrote on standard output. run_with_input
// starts it with input written to its standard input. Both wait for the
// child. A program that cannot be started gives empty output / status -1;
// nothing of the caller runs in a child that failed to exec.
#pragma once

#include <string>
#include <vector>

namespace Orvane::SendVetter {

std::string run_and_read(const std::string& program, const std::vector<std::string>& argv);
// The child's exit status (0-255), or -1 when it could not be started or
// did not exit normally.
int run_with_input(const std::string& program, const std::vector<std::string>& argv,
                   const std::string& input);

}  // namespace Orvane::SendVetter
