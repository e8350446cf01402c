// The session table, guarded by one mutex (requests run on several threads).
#include "bin/sendvetter-web/sessions.h"

#include "Orvane/SendVetter/account/account.h"

namespace Orvane::SendVetter::Web {

namespace {

constexpr std::size_t kTokenLength = 32;

}  // namespace

std::optional<std::string> random_token() { return SendVetter_getranddata(kTokenLength); }

bool same_token(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

std::optional<std::string> SessionStore::create(const std::string& account, std::time_t now) {
  auto id = random_token();
  auto csrf = random_token();
  if (!id || !csrf) return std::nullopt;
  std::lock_guard lock(mutex_);
  drop_expired(now);
  sessions_[*id] = Session{account, *csrf, now, now};
  return id;
}

std::optional<Session> SessionStore::find(const std::string& id, std::time_t now) {
  std::lock_guard lock(mutex_);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return std::nullopt;
  Session& session = it->second;
  if (now - session.last_used >= idle_ || now - session.started >= lifetime_) {
    sessions_.erase(it);
    return std::nullopt;
  }
  session.last_used = now;
  return session;
}

void SessionStore::erase(const std::string& id) {
  std::lock_guard lock(mutex_);
  sessions_.erase(id);
}

void SessionStore::drop_expired(std::time_t now) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    const Session& s = it->second;
    it = now - s.last_used >= idle_ || now - s.started >= lifetime_ ? sessions_.erase(it)
                                                                    : std::next(it);
  }
}

}  // namespace Orvane::SendVetter::Web
