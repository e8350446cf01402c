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

// What is being counted for an address: verification requests (row 9 of the
// chain) or automatic answers ("returnverify", "blacklist"). Each has its own
// count, so answers to an address never use up its requests or the reverse.
enum class LoopCount { kRequest, kAnswer };

// SendVetter_loopprotect at time now (seconds since the epoch): counts one
// more for the address; false once the burst is over the limit.
bool loopprotect_at(const std::string& email, const std::string& emaildir, long long now,
                    LoopCount what = LoopCount::kRequest);

// Counts one automatic answer to the address at the current time; false when
// it would exceed the burst and must not be sent.
bool may_answer(const std::string& email, const std::string& emaildir);

// Takes back the count of a message that could not be stored, so the mail
// server's retries of it do not use up the sender's burst.
void loopprotect_uncount(const std::string& email, const std::string& emaildir);

// The key under which an address is stored: the address itself, or, when it
// holds "=", "%" or a line break, the address with those bytes as "%XX".
std::string loopprotect_key(const std::string& email);

}  // namespace Orvane::SendVetter
