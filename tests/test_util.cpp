// Unit-test helpers: temporary directories and forked children with stdin.
#include "test_util.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox.h"

namespace testutil {

TempDir::TempDir() {
  char tmpl[] = "/tmp/sendvetter-unit-XXXXXX";
  path_ = ::mkdtemp(tmpl);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ChildResult run_in_child(const std::string& input, const std::function<int()>& body) {
  TempDir io;
  sandbox::write(io / "in", input);
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid == 0) {
    std::freopen((io / "in").c_str(), "r", stdin);
    std::freopen((io / "out").c_str(), "w", stdout);
    int status = body();
    std::fflush(stdout);
    ::_exit(status);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), sandbox::read(io / "out")};
}

}  // namespace testutil
