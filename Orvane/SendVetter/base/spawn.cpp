// Child programs through posix_spawnp: no shell, and a failed exec ends the
// child at once.
#include "Orvane/SendVetter/base/spawn.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Orvane::SendVetter {

namespace {

// Starts the child with child_fd (one end of a pipe) as its descriptor
// target_fd: its standard input or standard output.
pid_t start(const std::string& program, const std::vector<std::string>& argv, int child_fd,
            int target_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, child_fd, target_fd);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string run_and_read(const std::string& program, const std::vector<std::string>& argv) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  pid_t pid = start(program, argv, fds[1], STDOUT_FILENO);
  ::close(fds[1]);
  std::string out;
  if (pid > 0) {
    char buffer[4096];
    for (;;) {
      ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fds[0]);
  if (pid > 0) wait_for(pid);
  return out;
}

int run_with_input(const std::string& program, const std::vector<std::string>& argv,
                   const std::string& input) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  pid_t pid = start(program, argv, fds[0], STDIN_FILENO);
  ::close(fds[0]);
  if (pid <= 0) {
    ::close(fds[1]);
    return -1;
  }
  // A child that stops reading must not kill us with SIGPIPE.
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old);
  std::size_t done = 0;
  while (done < input.size()) {
    ssize_t n = ::write(fds[1], input.data() + done, input.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fds[1]);
  ::sigaction(SIGPIPE, &old, nullptr);
  return wait_for(pid);
}

}  // namespace Orvane::SendVetter
