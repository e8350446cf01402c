// One held message for the panel: its view, and the actions on it (put the
// sender on a list, deliver it or everything held for the sender, delete).
//
// Deliveries go through the shared release code, which appends under the
// inbox's mail-file lock and deletes a queue file only once its append is
// on disk. A queue file name is used only when it names a file inside the
// queue directory; otherwise the message counts as missing.
#include <cerrno>
#include <unistd.h>

#include <iostream>

#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/lists/lists.h"
#include "Orvane/SendVetter/message/message.h"
#include "Orvane/SendVetter/panel/html.h"
#include "Orvane/SendVetter/panel/panel.h"
#include "Orvane/SendVetter/panel/support.h"
#include "Orvane/SendVetter/storage/release.h"
#include "Orvane/SendVetter/types.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

namespace {

constexpr int kShownLines = 200;

}  // namespace

void SendVetter_showmessage(const std::string& account, const std::string& /*logdate*/,
                            const std::string& queuefile) {
  const auto name = clean_queue_name(queuefile);
  auto mailbox = panel_account(account);
  if (!mailbox || !name) return;
  SafeFile::Handle file;
  if (!open_regular_file(file, mailbox->queue_file(*name))) return;
  LineReader reader(file.fd());
  std::string line;
  for (int shown = 0; shown < kShownLines && reader.getline(line); ++shown)
    std::cout << SendVetter_cleanfield(chomp(line)) << "\n";
}

void SendVetter_messageaction(const std::string& account, const std::string& /*logdate*/,
                              const std::string& queuefile, const std::string& actions) {
  // Without the account's directories every path would start at "/".
  auto mailbox = panel_account(account);
  if (!mailbox) return;
  const auto name = clean_queue_name(queuefile);
  const std::string path = name ? mailbox->queue_file(*name) : std::string();
  const Lines header = name ? read_queue_header(path) : Lines();
  // The address as the filter took it (records and rules are made from it);
  // escaped only where it is shown.
  const std::string email =
      remove_dot_pairs(SendVetter_extractaddress(SendVetter_getheader("from", header)));
  const std::string shown = html_escape(email);
  const std::string inbox = mailbox->inbox();

  for (const std::string& action : split_dropping_trailing_empty(actions, ',')) {
    if (action == "whitelist" || action == "blacklist" || action == "ignorelist") {
      const std::string list = action.substr(0, action.size() - 4);
      std::cout << shown << " was added to your " << list << " list. ";
      if (!SendVetter_addaddytolist(list, email, mailbox->emaildir))
        std::cout << "Adding failed; the list is unchanged. ";
    } else if (action == "deliverall") {
      std::cout << "queued messages from " << shown << " delivered. ";
      // No record is ever kept under an empty name.
      if (!verifications_record_name(email).empty() &&
          !release_held_mail(mailbox->emaildir, inbox, email))
        std::cout << "Delivery failed; the undelivered messages stay queued. ";
    } else if (action == "deliver") {
      std::cout << "queued message from " << shown << " delivered. ";
      if (name && !deliver_queue_file(inbox, path))
        std::cout << "Delivery failed; the message stays queued. ";
    } else if (action == "delete") {
      std::cout << "queued message from " << shown << " deleted. ";
      if (name && ::unlink(path.c_str()) != 0 && errno != ENOENT)
        std::cout << "Deleting failed; the message stays queued. ";
    }
  }
}

}  // namespace Orvane::SendVetter
