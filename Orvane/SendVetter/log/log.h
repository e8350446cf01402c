// The activity log and the dates it is kept by.
// One part of the module header Orvane/SendVetter.h, whose opening comment
// states the rules every function keeps.
#pragma once

#include <string>

#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

// ---- activity log ---------------------------------------------------------------

// Appends one line to the mailbox's log of the day.
void SendVetter_clog(int level, const std::string& emaildir, const std::string& text);
// month, day, year, hour, minute, second of a time, in local time.
Lines SendVetter_nicedate(long long time);
// Prints month-day-year of a time (empty: now), no line end.
void SendVetter_logdate(const std::string& time);

}  // namespace Orvane::SendVetter
