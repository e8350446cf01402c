// Sandbox: a throw-away host for end-to-end tests. It holds fixture host
// files (passwd, userdomains), home directories, a capturing sendmail, a
// fixed hostname, the system forms, and runs the real programs against them
// through SENDVETTER_HOST_ROOT.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace sandbox {

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& root() const { return root_; }
  // Adds a system user with a home directory below the sandbox; returns it.
  std::string add_user(const std::string& name);
  // Adds a line "domain: owner" to userdomains.
  void add_domain(const std::string& domain, const std::string& owner);
  // Appends a raw line to passwd / userdomains.
  void add_passwd_line(const std::string& line);
  void add_userdomains_line(const std::string& line);

  // The filter with argv (account or --bincheck) and the message on stdin.
  Result filter(const std::vector<std::string>& argv, const std::string& input) const;
  Result filter(const std::string& account, const std::string& input) const {
    return filter(std::vector<std::string>{account}, input);
  }
  // sendvetter-panel with argv; extra environment variables may be given.
  Result panel(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& env = {}) const;

  // Messages the fixture sendmail received, in order (argv line first).
  std::vector<std::string> sent() const;
  // Makes the fixture sendmail fail (exit 1) or disappear.
  void break_sendmail(bool missing);

  std::string system_form_dir() const;

 private:
  Result run(const std::string& program, const std::vector<std::string>& argv,
             const std::string& input, const std::map<std::string, std::string>& env) const;
  std::string root_;
};

// File helpers for assertions.
std::string read(const std::string& path);
void write(const std::string& path, const std::string& content);
bool exists(const std::string& path);
std::vector<std::string> list(const std::string& dir);  // sorted
// Sets a file's modification time.
void touch(const std::string& path, long long mtime);

}  // namespace sandbox
