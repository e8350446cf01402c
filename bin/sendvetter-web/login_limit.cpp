// Fixed windows per key; keys are "address:" or "client:" plus the value, so
// an address cannot be mistaken for a client. The table forgets finished
// windows when it grows, so a flood of made-up addresses cannot fill memory.
#include "bin/sendvetter-web/login_limit.h"

namespace Orvane::SendVetter::Web {

namespace {

constexpr std::size_t kTidyAbove = 10000;

}  // namespace

bool LoginLimiter::allowed(const std::string& address, const std::string& client, std::time_t now) {
  std::lock_guard lock(mutex_);
  return !exhausted("address:" + address, now) && !exhausted("client:" + client, now);
}

void LoginLimiter::failed(const std::string& address, const std::string& client, std::time_t now) {
  std::lock_guard lock(mutex_);
  if (counts_.size() > kTidyAbove)
    for (auto it = counts_.begin(); it != counts_.end();)
      it = now - it->second.first >= window_ ? counts_.erase(it) : std::next(it);
  count("address:" + address, now);
  count("client:" + client, now);
}

bool LoginLimiter::exhausted(const std::string& key, std::time_t now) {
  auto it = counts_.find(key);
  return it != counts_.end() && now - it->second.first < window_ && it->second.failures >= max_;
}

void LoginLimiter::count(const std::string& key, std::time_t now) {
  Count& c = counts_[key];
  if (c.failures == 0 || now - c.first >= window_) c = Count{0, now};
  ++c.failures;
}

}  // namespace Orvane::SendVetter::Web
