// Loop protection with an explicit clock, so tests can walk a sender's burst
// through time; SendVetter_loopprotect calls it with the current time.
#pragma once

#include <string>

namespace Orvane::SendVetter {

// Seconds a burst stays open after a sender's last counted message.
inline constexpr long long kLoopBurstWindow = 1800;
// Messages counted within one burst before runs are ended.
inline constexpr long long kLoopBurstLimit = 5;
// Entries not refreshed for longer than this are dropped at the next rewrite.
inline constexpr long long kLoopEntryLifetime = 86400;

// SendVetter_loopprotect at time now (seconds since the epoch).
bool loopprotect_at(const std::string& email, const std::string& emaildir, long long now);

// Takes back the count of a message that could not be stored, so the mail
// server's retries of it do not use up the sender's burst.
void loopprotect_uncount(const std::string& email, const std::string& emaildir);

// The key under which an address is stored: the address itself, or, when it
// holds "=", "%" or a line break, the address with those bytes as "%XX".
std::string loopprotect_key(const std::string& email);

}  // namespace Orvane::SendVetter
