// The child per request. The server has threads, so between fork and exec
// the child makes only async-signal-safe system calls; everything it needs
// (argument and environment vectors) is built before the fork.
#include "bin/sendvetter-web/run_as_owner.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace Orvane::SendVetter::Web {

namespace {

constexpr std::size_t kMaxOutput = 16u << 20;
constexpr int kSwitchFailed = 126;

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

std::vector<std::string> child_environment(const std::string& script_uri) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry)
    if (std::strncmp(*entry, "SCRIPT_URI=", 11) != 0) env.emplace_back(*entry);
  if (!script_uri.empty()) env.push_back("SCRIPT_URI=" + script_uri);
  return env;
}

[[noreturn]] void become_owner_and_exec(const MailboxOwner& owner, int out_fd, int null_fd,
                                        char* const* argv, char* const* envp) {
  if (::dup2(null_fd, 0) < 0 || ::dup2(out_fd, 1) < 0) ::_exit(kSwitchFailed);
  const gid_t groups[] = {owner.gid};
  // Group first: once the uid is the owner's, the group can no longer change.
  if (::setgroups(1, groups) != 0 && ::geteuid() == 0) ::_exit(kSwitchFailed);
  if (::setgid(owner.gid) != 0 || ::setuid(owner.uid) != 0) ::_exit(kSwitchFailed);
  if (::getuid() != owner.uid || ::geteuid() != owner.uid || ::getegid() != owner.gid ||
      ::geteuid() == 0)
    ::_exit(kSwitchFailed);
  ::execve(argv[0], argv, envp);
  ::_exit(kSwitchFailed + 1);
}

}  // namespace

std::optional<std::string> run_as_owner(const MailboxOwner& owner, const std::string& panel_program,
                                        const PanelCall& call) {
  if (owner.uid == 0) return std::nullopt;
  std::vector<std::string> args{panel_program, call.function};
  args.insert(args.end(), call.args.begin(), call.args.end());
  std::vector<std::string> env = child_environment(call.script_uri);
  std::vector<char*> argv = pointers(args), envp = pointers(env);

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = null_fd < 0 ? -1 : ::fork();
  if (pid == 0) become_owner_and_exec(owner, out[1], null_fd, argv.data(), envp.data());
  ::close(out[1]);
  if (null_fd >= 0) ::close(null_fd);
  if (pid < 0) {
    ::close(out[0]);
    return std::nullopt;
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (text.size() < kMaxOutput) text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) >= kSwitchFailed) return std::nullopt;
  if (text.size() > kMaxOutput) text.resize(kMaxOutput);
  return text;
}

}  // namespace Orvane::SendVetter::Web
