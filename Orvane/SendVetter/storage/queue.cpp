// The queue store: fresh queue ids, and the per-sender verifications record
// listing the ids held for that sender.
#include "Orvane/SendVetter/storage/queue.h"

#include <cassert>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "Orvane/SendVetter/account/account.h"
#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/kill_point.h"
#include "Orvane/SendVetter/storage/delivery.h"
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

Status store_held_message(const std::string& emaildir, const std::string& email, const PackedLines& headers,
                          const std::string& queuefile) {
  const Mailbox mailbox = Mailbox::at(emaildir);
  const std::string temp = mailbox.queue_temp_file(queuefile);
  const std::string path = mailbox.queue_file(queuefile);
  // The record's intent names both names of the queue file before either
  // exists, so cutting the record back also removes the file.
  MailFileAppend record;
  if (!record.open(mailbox.verifications_file(email)) || !record.will_create(temp) ||
      !record.will_create(path))
    return record.status();
  MailFileAppend held;
  if (!held.create(temp)) return held.status();
  // Keeps the flock past the commit below: while this run lives, the panel
  // leaves the message alone.
  const SafeFile::Handle writing(::fcntl(held.fd(), F_DUPFD_CLOEXEC, 0));
  if (Status written = write_message(held, headers, nullptr); !written.ok()) return written;
  if (!held.commit()) return held.status();
  if (!record.write(held_message_id(queuefile) + "\n") || !record.sync()) return record.status();
  // link, unlike rename, never replaces a message that drew the same id.
  if (::link(temp.c_str(), path.c_str()) != 0) return Status::failure("name", path, errno);
  ::unlink(temp.c_str());
  sync_directory_of(path);
  SENDVETTER_KILL_POINT("queue-file-placed");
  record.commit();
  return record.status();
}

Status record_held_message(const std::string& emaildir, const std::string& email,
                           const std::string& queuefile) {
  MailFileAppend record;
  if (record.open(Mailbox::at(emaildir).verifications_file(email))) {
    record.write(held_message_id(queuefile) + "\n");
    record.commit();
  }
  return record.status();
}

bool SendVetter_queuemessage(const std::string& emaildir, const std::string& email,
                             const std::string& queuefile) {
  return record_held_message(emaildir, email, queuefile).ok();
}

}  // namespace Orvane::SendVetter
