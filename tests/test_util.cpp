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
  char in_tmpl[] = "/tmp/sendvetter-cin-XXXXXX";
  char out_tmpl[] = "/tmp/sendvetter-cout-XXXXXX";
  int in_fd = ::mkstemp(in_tmpl), out_fd = ::mkstemp(out_tmpl);
  sandbox::write(in_tmpl, input);
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in_fd, 0);
    ::dup2(out_fd, 1);
    int status = body();
    std::fflush(stdout);
    ::_exit(status);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ChildResult result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                     sandbox::read(out_tmpl)};
  ::close(in_fd);
  ::close(out_fd);
  ::unlink(in_tmpl);
  ::unlink(out_tmpl);
  return result;
}

}  // namespace testutil
