// Sandbox: a throw-away host for end-to-end tests and the benchmarks. It
// holds fixture host files (passwd, userdomains), home directories, a
// capturing sendmail, a fixed hostname, the system forms, and runs the real
// programs against them through SENDVETTER_HOST_ROOT. Unit tests take the
// temporary directory and the forked child from here too.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sandbox {

// A fresh directory under /tmp, or path (made if missing), removed with
// everything in it at the end unless SENDVETTER_KEEP_SANDBOX is set.
class TempDir {
 public:
  explicit TempDir(const std::string& path = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs body in a forked child whose standard input is input and whose
// standard output is captured; the child's exit status is body's return value.
Result run_in_child(const std::string& input, const std::function<int()>& body);

class Sandbox {
 public:
  // The host is built in a fresh directory, or in root (made if missing).
  explicit Sandbox(const std::string& root = "");
  ~Sandbox();

  const std::string& root() const { return dir_.path(); }
  // Adds a system user with a home directory below the sandbox; returns it.
  std::string add_user(const std::string& name);
  // Appends a raw line to passwd / userdomains.
  void add_passwd_line(const std::string& line);
  void add_userdomains_line(const std::string& line);

  // The filter with argv (account or --bincheck) and the message on stdin.
  Result filter(const std::vector<std::string>& argv, const std::string& input) const {
    return run_killed(false, argv, input, {}, -1);
  }
  // sendvetter-panel with argv; extra environment variables may be given.
  Result panel(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {}) const {
    return run_killed(true, argv, "", env, -1);
  }
  // The filter (or, with panel, sendvetter-panel) as filter() and panel()
  // run it, killed with SIGKILL kill_after_us microseconds after the start
  // unless it ended first (a negative delay never kills).
  Result run_killed(bool panel, const std::vector<std::string>& argv, const std::string& input,
                    const std::map<std::string, std::string>& env, long kill_after_us) const;

  // Lines sent to the system logger since the last call, in order, each as
  // "<priority>sendvetter: text" (time and process id left out).
  std::vector<std::string> syslog() const;
  // Messages the fixture sendmail received, in order (argv line first).
  std::vector<std::string> sent() const;
  // Makes the fixture sendmail fail (exit 1) or disappear.
  void break_sendmail(bool missing);
  // Puts program (a symbolic link to it) in the place of the capturing
  // sendmail; an empty name brings the capture back.
  void use_sendmail(const std::string& program);

  // Runs in every child between fork and exec (file_size_limit, remount,
  // ...); an empty function removes it.
  void set_child_setup(std::function<void()> setup) { child_setup_ = std::move(setup); }

 private:
  // Forks the program with the given standard descriptors, in this host.
  pid_t spawn(const std::string& program, const std::vector<std::string>& argv, int in, int out, int err,
              const std::map<std::string, std::string>& env) const;
  TempDir dir_;
  int syslog_ = -1;
  std::function<void()> child_setup_;
};

// File helpers for assertions.
std::string read(const std::string& path);
// false when the file could not be written whole
bool write(const std::string& path, const std::string& content);
bool exists(const std::string& path);
std::vector<std::string> list(const std::string& dir);  // sorted
// Sets a file's modification time.
void touch(const std::string& path, long long mtime);
// Every path below dir, relative to it, directories with a trailing "/",
// sorted; symbolic links are listed, not followed.
std::vector<std::string> tree(const std::string& dir);

// Child setups for fault injection: no file may grow past bytes (SIGXFSZ
// left as it is: the program must turn it into a failed write); path
// read-only, or with /dev/null in its place, in a private mount namespace
// (the child exits 99 when the host refuses one).
std::function<void()> file_size_limit(long long bytes);
std::function<void()> remount(const std::string& path, bool null);

}  // namespace sandbox
