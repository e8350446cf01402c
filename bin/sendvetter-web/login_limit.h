// Failed-login limit: after max failures within window seconds for one
// mailbox address, or from one client, further attempts for it are refused
// without asking the IMAP server until the window has passed.
#pragma once

#include <ctime>
#include <map>
#include <mutex>
#include <string>

namespace Orvane::SendVetter::Web {

class LoginLimiter {
 public:
  LoginLimiter(int max_failures, std::time_t window) : max_(max_failures), window_(window) {}

  // false when the address or the client has used up its failures.
  bool allowed(const std::string& address, const std::string& client, std::time_t now);
  // Counts one failure against both.
  void failed(const std::string& address, const std::string& client, std::time_t now);

 private:
  struct Count {
    int failures = 0;
    std::time_t first = 0;
  };
  bool exhausted(const std::string& key, std::time_t now);
  void count(const std::string& key, std::time_t now);
  int max_;
  std::time_t window_;
  std::mutex mutex_;
  std::map<std::string, Count> counts_;
};

}  // namespace Orvane::SendVetter::Web
