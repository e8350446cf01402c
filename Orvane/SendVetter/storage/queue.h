// The queue store's inner functions: queue-id drawing with an explicit time
// bound, so the bound can be tested without waiting the filter's full 50
// seconds, and the verifications record append with its failure reason.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "Orvane/SendVetter/base/status.h"
#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

// A queue file name (32 word characters + ".msg") not yet present in the
// queue directory; nullopt when random data failed or no free name was
// drawn within bound.
std::optional<std::string> draw_queue_id(const std::string& emaildir,
                                         std::chrono::steady_clock::duration bound);

// Holds the message whose header lines are given and whose body is on
// standard input under the fresh queue file name, and records it for the
// sender. The queue file appears under its name only once it is whole and
// named by the record, which is kept last: a run killed before that leaves
// no trace once the next run takes the record's lock.
Status store_held_message(const std::string& emaildir, const std::string& email, const PackedLines& headers,
                          const std::string& queuefile);

// SendVetter_queuemessage, saying why the record could not be written.
Status record_held_message(const std::string& emaildir, const std::string& email,
                           const std::string& queuefile);

}  // namespace Orvane::SendVetter
