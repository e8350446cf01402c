// The queue store: fresh queue ids, and the per-sender verifications record
// listing the ids held for that sender.
#include "Orvane/SendVetter/storage/queue.h"

#include <cassert>

#include "Orvane/SendVetter/account/account.h"
#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/storage/mail_file.h"
#include "Orvane/SendVetter/storage/release.h"
#include "Orvane/SendVetter/storage/storage.h"

namespace Orvane::SendVetter {

namespace {

constexpr std::size_t kQueueIdLength = 32;
constexpr auto kQueueIdBound = std::chrono::seconds(50);
const std::string kMsgSuffix = ".msg";

}  // namespace

std::optional<std::string> draw_queue_id(const std::string& emaildir,
                                         std::chrono::steady_clock::duration bound) {
  const Mailbox mailbox = Mailbox::at(emaildir);
  const auto deadline = std::chrono::steady_clock::now() + bound;
  std::string candidate;
  while (candidate.empty() || path_exists(mailbox.queue_file(candidate + kMsgSuffix))) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::optional<std::string> drawn = SendVetter_getranddata(kQueueIdLength, 1);
    if (!drawn) return std::nullopt;
    candidate = *drawn;
  }
  assert(candidate.size() == kQueueIdLength);
  return candidate + kMsgSuffix;
}

std::optional<std::string> SendVetter_getqueueid(const std::string& emaildir) {
  return draw_queue_id(emaildir, kQueueIdBound);
}

Status record_held_message(const std::string& emaildir, const std::string& email,
                           const std::string& queuefile) {
  const std::string id = held_message_id(queuefile);
  MailFileAppend record;
  if (record.open(Mailbox::at(emaildir).verifications_file(email))) {
    record.write(id + "\n");
    record.commit();
  }
  return record.status();
}

bool SendVetter_queuemessage(const std::string& emaildir, const std::string& email,
                             const std::string& queuefile) {
  return record_held_message(emaildir, email, queuefile).ok();
}

}  // namespace Orvane::SendVetter
