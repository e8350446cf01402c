// Sandbox implementation: fixture host files and child processes.
#include "sandbox.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

namespace fs = std::filesystem;

namespace sandbox {

std::string read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
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
  const struct utimbuf times{static_cast<time_t>(mtime), static_cast<time_t>(mtime)};
  ::utime(path.c_str(), &times);
}

std::vector<std::string> tree(const std::string& dir) {
  std::vector<std::string> paths;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    paths.push_back(fs::relative(it->path(), dir, ec).string() + (it->is_directory() && !it->is_symlink() ? "/" : ""));
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::function<void()> file_size_limit(long long bytes) {
  return [bytes] {
    const struct rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  };
}

std::function<void()> remount(const std::string& path, bool null) {
  return [path, null] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(null ? "/dev/null" : path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        (!null && ::mount(nullptr, path.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0))
      ::_exit(99);
  };
}

namespace {

void write_executable(const std::string& path, const std::string& content) {
  write(path, content);
  ::chmod(path.c_str(), 0755);
}

int temp_file(std::string& name) {
  char path[] = "/tmp/sendvetter-io-XXXXXX";
  int fd = ::mkstemp(path);
  name = path;
  return fd;
}

// Reaps pid and takes its output from the files out and err (then removed).
Result collect(pid_t pid, const std::string& out, const std::string& err) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  Result result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read(out), read(err)};
  ::unlink(out.c_str());
  ::unlink(err.c_str());
  return result;
}

}  // namespace

TempDir::TempDir(const std::string& path) : path_(path) {
  char tmpl[] = "/tmp/sendvetter-test-XXXXXX";
  if (path_.empty()) path_ = ::mkdtemp(tmpl);
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!std::getenv("SENDVETTER_KEEP_SANDBOX")) fs::remove_all(path_, ec);
}

Result run_in_child(const std::string& input, const std::function<int()>& body) {
  std::string in, out;
  int fds[] = {temp_file(in), temp_file(out)};
  write(in, input);
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[0], 0);
    ::dup2(fds[1], 1);
    int status = body();
    std::fflush(stdout);
    ::_exit(status);
  }
  for (int fd : fds) ::close(fd);
  ::unlink(in.c_str());
  return collect(pid, out, in);
}

Sandbox::Sandbox(const std::string& where) : dir_(where) {
  const char* forms = "/usr/local/orvane/etc/sendvetter/forms";
  for (const char* dir : {"/etc", "/home", "/bin", "/usr/sbin", "/sent", "/dev", forms})
    fs::create_directories(root() + dir);
  write(root() + "/etc/passwd", "root:x:0:0:root:/root:/bin/bash\n");
  write(root() + "/etc/userdomains", "");
  write_executable(root() + "/bin/hostname", "#!/bin/sh\necho host.example.test\n");
  use_sendmail("");
  // The system logger: a datagram socket the programs write to as they would
  // to /dev/log; what they sent waits in it until syslog() reads it.
  syslog_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s/dev/log", root().c_str());
  ::unlink(address.sun_path);  // left by an earlier host in the same root
  ::bind(syslog_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::chmod(address.sun_path, 0666);
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(std::string(SENDVETTER_SOURCE_DIR) + "/forms", ec))
    if (entry.path().extension() == ".txt")
      fs::copy_file(entry.path(), root() + forms + "/" + entry.path().filename().string(), ec);
}

Sandbox::~Sandbox() { ::close(syslog_); }

std::string Sandbox::add_user(const std::string& name) {
  std::string home = root() + "/home/" + name;
  fs::create_directories(home);
  // The test's own ids: started as root, the filter becomes this owner, and
  // the sandbox stays writable for it.
  add_passwd_line(name + ":x:" + std::to_string(::getuid()) + ":" + std::to_string(::getgid()) + ":" +
                  name + ":" + home + ":/bin/sh");
  return home;
}

void Sandbox::add_passwd_line(const std::string& line) {
  std::ofstream(root() + "/etc/passwd", std::ios::app) << line << "\n";
}

void Sandbox::add_userdomains_line(const std::string& line) {
  std::ofstream(root() + "/etc/userdomains", std::ios::app) << line << "\n";
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
  for (const std::string& name : list(root() + "/sent"))
    if (name.ends_with(".eml")) messages.push_back(read(root() + "/sent/" + name));
  return messages;
}

void Sandbox::use_sendmail(const std::string& program) {
  const std::string path = root() + "/usr/sbin/sendmail";
  ::unlink(path.c_str());
  std::error_code ec;
  if (!program.empty()) return fs::create_symlink(program, path, ec);
  // Captures each submission as sent/<n>.eml: its arguments, then its input.
  write_executable(path,
                   "#!/bin/sh\n"
                   "dir=\"" + root() + "/sent\"\n"
                   "n=$(ls \"$dir\" | wc -l)\n"
                   "f=\"$dir/$(printf %06d $n).eml\"\n"
                   "{ echo \"ARGS: $*\"; cat; } > \"$f.tmp\" && mv \"$f.tmp\" \"$f\"\n");
}

void Sandbox::break_sendmail(bool missing) {
  const std::string path = root() + "/usr/sbin/sendmail";
  ::unlink(path.c_str());
  if (!missing) write_executable(path, "#!/bin/sh\ncat >/dev/null\nexit 1\n");
}

pid_t Sandbox::spawn(const std::string& program, const std::vector<std::string>& argv, int in, int out, int err,
                     const std::map<std::string, std::string>& env) const {
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::dup2(in, 0);
  ::dup2(out, 1);
  ::dup2(err, 2);
  ::setenv("SENDVETTER_HOST_ROOT", root().c_str(), 1);
  const char* path = std::getenv("PATH");
  ::setenv("PATH", (root() + "/bin:" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
  ::unsetenv("SCRIPT_URI");
  for (const auto& [key, value] : env) ::setenv(key.c_str(), value.c_str(), 1);
  if (child_setup_) child_setup_();
  std::vector<char*> args{const_cast<char*>(program.c_str())};
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ::execv(program.c_str(), args.data());
  ::_exit(127);
}

Result Sandbox::run_killed(bool panel, const std::vector<std::string>& argv, const std::string& input,
                           const std::map<std::string, std::string>& env, long kill_after_us) const {
  std::string in, out, err;
  int fds[] = {temp_file(in), temp_file(out), temp_file(err)};
  write(in, input);
  pid_t pid = spawn(panel ? SENDVETTER_PANEL_BIN : SENDVETTER_BIN, argv, fds[0], fds[1], fds[2], env);
  for (int fd : fds) ::close(fd);
  if (kill_after_us >= 0) {
    ::usleep(static_cast<useconds_t>(kill_after_us));
    ::kill(pid, SIGKILL);  // an ended child stays a zombie until reaped: never another process
  }
  ::unlink(in.c_str());
  return collect(pid, out, err);
}

}  // namespace sandbox
