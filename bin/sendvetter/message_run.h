// One message's run: the values derived before the decision chain, and the
// chain's outcomes.
#pragma once

#include <optional>
#include <string>

#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/status.h"
#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

struct MessageRun {
  Mailbox mailbox;
  // The web domain is needed only by form messages; for a system account it
  // costs a run of the hostname command, so it is looked up on first use.
  const std::string& webdomain();
  std::string id;
  Conf conf;
  PackedLines headers;
  std::string sender;       // envelope sender
  std::string email;        // the sender address every decision uses
  std::string subject;
  std::string sendvetter;   // the message's own "X-Sendvetter:" value
  std::string received;      // the first Received value
  std::string transportmethod;
  PackedLines to, cc;  // addresses
  std::string returnaddy;
  Status failure;           // why the message could not be stored (kTempFail)
  // This host's mail server found the From domain forged (Authentication-Results).
  bool from_forged = false;
  // What became of a handled message, for the system log: "delivered", "held
  // as <queue file>", "dropped: <why>"; a deferral logs failure's reason.
  std::string decision;

 private:
  std::optional<std::string> webdomain_;
};

// What a row of the chain leaves the run to do.
enum class Outcome {
  kContinue,   // handled; the stale-queue expiry runs, then exit 0
  kEndRun,     // handled; exit 0 at once, no expiry
  kTempFail,   // not stored: exit 75 so the mail server retries; the
               // reason is in MessageRun::failure
};

// Appends text to the mailbox's activity log.
void log3(const MessageRun& run, const std::string& text);

// Walks the decision chain; the first row whose test holds acts.
Outcome run_decision_chain(MessageRun& run);

}  // namespace Orvane::SendVetter
