// Signed-in sessions: a random id (the cookie) maps to the mailbox address
// and the session's CSRF token. A session ends after idle seconds without a
// request, or lifetime seconds after sign-in, whichever comes first.
#pragma once

#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace Orvane::SendVetter::Web {

struct Session {
  std::string account;
  std::string csrf;
  std::time_t started = 0;
  std::time_t last_used = 0;
};

// 32 random word characters from the module's random source; nullopt when
// none could be read.
std::optional<std::string> random_token();

// true when the texts are equal, compared in time independent of where they
// first differ.
bool same_token(const std::string& a, const std::string& b);

class SessionStore {
 public:
  SessionStore(std::time_t idle, std::time_t lifetime) : idle_(idle), lifetime_(lifetime) {}

  // A new session for the account; its id, or nullopt without random data.
  std::optional<std::string> create(const std::string& account, std::time_t now);
  // The live session of that id, its last use set to now; nullopt (and the
  // session forgotten) when unknown or expired.
  std::optional<Session> find(const std::string& id, std::time_t now);
  void erase(const std::string& id);

 private:
  void drop_expired(std::time_t now);
  std::time_t idle_, lifetime_;
  std::mutex mutex_;
  std::map<std::string, Session> sessions_;
};

}  // namespace Orvane::SendVetter::Web
