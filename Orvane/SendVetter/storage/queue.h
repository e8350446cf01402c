// Queue-id drawing with an explicit time bound, so the bound can be tested
// without waiting the filter's full 50 seconds.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace Orvane::SendVetter {

// A queue file name (32 word characters + ".msg") not yet present in the
// queue directory; nullopt when random data failed or no free name was
// drawn within bound.
std::optional<std::string> draw_queue_id(const std::string& emaildir,
                                         std::chrono::steady_clock::duration bound);

}  // namespace Orvane::SendVetter
