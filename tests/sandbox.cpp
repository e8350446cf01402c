// Sandbox implementation: fixture host files and child processes.
#include "sandbox.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

extern char** environ;

namespace fs = std::filesystem;

namespace sandbox {

std::string read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool write(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  return !out.fail();
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

void touch(const std::string& path, long long mtime) {
  struct utimbuf times;
  times.actime = static_cast<time_t>(mtime);
  times.modtime = static_cast<time_t>(mtime);
  ::utime(path.c_str(), &times);
}

namespace {

[[noreturn]] void exec_program(const std::string& program, const std::vector<std::string>& argv) {
  std::vector<char*> args;
  args.push_back(const_cast<char*>(program.c_str()));
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ::execv(program.c_str(), args.data());
  ::_exit(127);
}

void write_executable(const std::string& path, const std::string& content) {
  write(path, content);
  ::chmod(path.c_str(), 0755);
}

}  // namespace

Sandbox::Sandbox(const std::string& root) : root_(root) {
  if (root_.empty()) {
    char tmpl[] = "/tmp/sendvetter-test-XXXXXX";
    root_ = ::mkdtemp(tmpl);
  }
  for (const char* dir : {"/etc", "/home", "/bin", "/usr/sbin", "/sent", "/dev",
                          "/usr/local/orvane/etc/sendvetter/forms"})
    fs::create_directories(root_ + dir);
  write(root_ + "/etc/passwd", "root:x:0:0:root:/root:/bin/bash\n");
  write(root_ + "/etc/userdomains", "");
  write_executable(root_ + "/bin/hostname", "#!/bin/sh\necho host.example.test\n");
  use_sendmail("");
  // The system logger: a datagram socket the programs write to as they would
  // to /dev/log; what they sent waits in it until syslog() reads it.
  syslog_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s/dev/log", root_.c_str());
  ::unlink(address.sun_path);  // left by an earlier host in the same root
  ::bind(syslog_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::chmod(address.sun_path, 0666);
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(std::string(SENDVETTER_SOURCE_DIR) + "/forms", ec))
    if (entry.path().extension() == ".txt")
      fs::copy_file(entry.path(), system_form_dir() + "/" + entry.path().filename().string(), ec);
}

Sandbox::~Sandbox() {
  ::close(syslog_);
  if (!std::getenv("SENDVETTER_KEEP_SANDBOX")) {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
}

std::string Sandbox::system_form_dir() const { return root_ + "/usr/local/orvane/etc/sendvetter/forms"; }

std::string Sandbox::add_user(const std::string& name) {
  std::string home = root_ + "/home/" + name;
  fs::create_directories(home);
  // The test's own ids: started as root, the filter becomes this owner, and
  // the sandbox stays writable for it.
  add_passwd_line(name + ":x:" + std::to_string(::getuid()) + ":" + std::to_string(::getgid()) + ":" +
                  name + ":" + home + ":/bin/sh");
  return home;
}

void Sandbox::add_domain(const std::string& domain, const std::string& owner) {
  add_userdomains_line(domain + ": " + owner);
}

void Sandbox::add_passwd_line(const std::string& line) {
  std::ofstream(root_ + "/etc/passwd", std::ios::app) << line << "\n";
}

void Sandbox::add_userdomains_line(const std::string& line) {
  std::ofstream(root_ + "/etc/userdomains", std::ios::app) << line << "\n";
}

std::vector<std::string> Sandbox::syslog() const {
  std::vector<std::string> lines;
  char buffer[4096];
  ssize_t n;
  while ((n = ::recv(syslog_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0) {
    std::string line(buffer, static_cast<std::size_t>(n));
    // "<22>Dec  7 02:19:20 sendvetter[123]: text" -> "<22>sendvetter: text"
    std::size_t ident = line.find(" sendvetter[");
    std::size_t text = line.find("]: ");
    if (ident != std::string::npos && text != std::string::npos)
      line = line.substr(0, line.find('>') + 1) + "sendvetter: " + line.substr(text + 3);
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> Sandbox::sent() const {
  std::vector<std::string> messages;
  for (const std::string& name : list(root_ + "/sent"))
    if (name.size() > 4 && name.substr(name.size() - 4) == ".eml")
      messages.push_back(read(root_ + "/sent/" + name));
  return messages;
}

void Sandbox::use_sendmail(const std::string& program) {
  const std::string path = root_ + "/usr/sbin/sendmail";
  ::unlink(path.c_str());
  if (!program.empty()) {
    std::error_code ec;
    fs::create_symlink(program, path, ec);
    return;
  }
  // Captures each submission as sent/<n>.eml: its arguments, then its input.
  write_executable(path,
                   "#!/bin/sh\n"
                   "dir=\"" + root_ + "/sent\"\n"
                   "n=$(ls \"$dir\" | wc -l)\n"
                   "f=\"$dir/$(printf %06d $n).eml\"\n"
                   "{ echo \"ARGS: $*\"; cat; } > \"$f.tmp\" && mv \"$f.tmp\" \"$f\"\n");
}

void Sandbox::break_sendmail(bool missing) {
  const std::string path = root_ + "/usr/sbin/sendmail";
  ::unlink(path.c_str());
  if (!missing) write_executable(path, "#!/bin/sh\ncat >/dev/null\nexit 1\n");
}

Result Sandbox::filter(const std::vector<std::string>& argv, const std::string& input) const {
  return run(SENDVETTER_BIN, argv, input, {});
}

Result Sandbox::panel(const std::vector<std::string>& argv,
                      const std::map<std::string, std::string>& env) const {
  return run(SENDVETTER_PANEL_BIN, argv, "", env);
}

void Sandbox::enter_child(const std::map<std::string, std::string>& env) const {
  ::setenv("SENDVETTER_HOST_ROOT", root_.c_str(), 1);
  const char* path = std::getenv("PATH");
  std::string newpath = root_ + "/bin:" + (path ? path : "/usr/bin:/bin");
  ::setenv("PATH", newpath.c_str(), 1);
  ::unsetenv("SCRIPT_URI");
  for (const auto& [key, value] : env) ::setenv(key.c_str(), value.c_str(), 1);
  if (child_setup_) child_setup_();
}

Result Sandbox::run_killed(bool panel, const std::vector<std::string>& argv, const std::string& input,
                           const std::map<std::string, std::string>& env, long kill_after_us) const {
  return run(panel ? SENDVETTER_PANEL_BIN : SENDVETTER_BIN, argv, input, env, kill_after_us);
}

Result Sandbox::run(const std::string& program, const std::vector<std::string>& argv,
                    const std::string& input, const std::map<std::string, std::string>& env,
                    long kill_after_us) const {
  char in_tmpl[] = "/tmp/sendvetter-in-XXXXXX";
  char out_tmpl[] = "/tmp/sendvetter-out-XXXXXX";
  char err_tmpl[] = "/tmp/sendvetter-err-XXXXXX";
  int in_fd = ::mkstemp(in_tmpl), out_fd = ::mkstemp(out_tmpl), err_fd = ::mkstemp(err_tmpl);
  write(in_tmpl, input);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    enter_child(env);
    exec_program(program, argv);
  }
  int status = 0;
  if (kill_after_us >= 0) {
    ::usleep(static_cast<useconds_t>(kill_after_us));
    ::kill(pid, SIGKILL);  // an ended child stays a zombie until reaped: never another process
  }
  ::waitpid(pid, &status, 0);
  Result result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = read(out_tmpl);
  result.err = read(err_tmpl);
  for (int fd : {in_fd, out_fd, err_fd}) ::close(fd);
  for (const char* name : {in_tmpl, out_tmpl, err_tmpl}) ::unlink(name);
  return result;
}

// ---- reliability-test additions ----

std::string stored_form(const std::string& message) {
  std::string stored;
  std::size_t pos = 0;
  while (pos < message.size()) {
    std::size_t end = message.find('\n', pos);
    std::size_t next = end == std::string::npos ? message.size() : end + 1;
    std::string line = message.substr(pos, next - pos);
    pos = next;
    if (line.find_first_not_of("\r\n") == std::string::npos) break;
    if (line.back() == '\n') line.pop_back();
    stored += line + "\n";
  }
  std::string body = message.substr(pos);
  if (!body.empty() && body.back() != '\n') body += "\n";
  return stored + "\n" + body;
}

std::vector<std::string> tree(const std::string& dir) {
  std::vector<std::string> paths;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::string rel = fs::relative(it->path(), dir, ec).string();
    if (it->is_directory() && !it->is_symlink()) rel += "/";
    paths.push_back(rel);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::unique_ptr<Sandbox::Running> Sandbox::start_filter(const std::vector<std::string>& argv) const {
  std::unique_ptr<Running> running(new Running());
  char out_tmpl[] = "/tmp/sendvetter-out-XXXXXX";
  char err_tmpl[] = "/tmp/sendvetter-err-XXXXXX";
  int out_fd = ::mkstemp(out_tmpl), err_fd = ::mkstemp(err_tmpl);
  running->out_path_ = out_tmpl;
  running->err_path_ = err_tmpl;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return running;
  const std::string program = SENDVETTER_BIN;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipe_fds[0], 0);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    enter_child({});
    exec_program(program, argv);
  }
  ::close(pipe_fds[0]);
  ::close(out_fd);
  ::close(err_fd);
  running->pid_ = pid;
  running->input_ = pipe_fds[1];
  return running;
}

bool Sandbox::Running::write_input(const std::string& data) {
  // A run that stopped reading must not take the test down with SIGPIPE.
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old);
  std::size_t done = 0;
  bool ok = input_ >= 0;
  while (ok && done < data.size()) {
    ssize_t n = ::write(input_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  ::sigaction(SIGPIPE, &old, nullptr);
  return ok;
}

void Sandbox::Running::close_input() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

void Sandbox::Running::kill(int signal) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

Result Sandbox::Running::wait() {
  close_input();
  if (pid_ > 0 && !reaped_) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result_.out = read(out_path_);
    result_.err = read(err_path_);
  }
  return result_;
}

Sandbox::Running::~Running() {
  kill(SIGKILL);
  wait();
  ::unlink(out_path_.c_str());
  ::unlink(err_path_.c_str());
}

}  // namespace sandbox
