// Appending one message to a mail file (the inbox or a queue file): its
// header lines, one empty line, then the body exactly as received, with a
// line feed added when its last line has none, so that the next message's
// envelope line starts a line of its own.
#include "Orvane/SendVetter/storage/delivery.h"

#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/storage/mail_file.h"
#include "Orvane/SendVetter/storage/storage.h"
#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

namespace {

// Bytes of standard input taken per read; the body is streamed, never held.
constexpr std::size_t kBodyChunk = 64 * 1024;

}  // namespace

Status write_message(MailFileAppend& mail, const PackedLines& headers, const Lines* body) {
  mail.write(headers.text());  // every header line followed by "\n"
  mail.write("\n");
  char last = '\n';
  if (body == nullptr || body->empty()) {
    std::string chunk;
    while (standard_input().read_chunk(chunk, kBodyChunk)) {
      if (!chunk.empty()) last = chunk.back();
      if (!mail.write(chunk)) break;
    }
    // A body cut short by a read error must not be stored as if whole.
    if (standard_input().failed()) {
      mail.abandon();
      return mail.status().ok() ? Status::failure("read the message from", "standard input", 0)
                                : mail.status();
    }
  } else {
    for (const std::string& line : *body) {
      if (!line.empty()) last = line.back();
      if (!mail.write(line)) break;
    }
  }
  if (last != '\n') mail.write("\n");
  return mail.status();
}

Status store_message(const std::string& path, const PackedLines& headers, const Lines* body) {
  MailFileAppend mail;
  if (!mail.open(remove_dot_pairs(path))) return mail.status();
  if (Status written = write_message(mail, headers, body); !written.ok()) return written;
  mail.commit();
  return mail.status();
}

bool SendVetter_delivermessage(const std::string& path, const PackedLines& headers, const Lines* body) {
  return store_message(path, headers, body).ok();
}

}  // namespace Orvane::SendVetter
