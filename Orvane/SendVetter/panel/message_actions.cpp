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

bool is_known_action(const std::string& action) {
  for (const char* known : {"whitelist", "blacklist", "ignorelist", "deliverall", "deliver", "delete"})
    if (action == known) return true;
  return false;
}

}  // namespace

void SendVetter_showmessage(const std::string& account, const std::string& /*logdate*/,
                            const std::string& queuefile) {
  const auto name = clean_queue_name(queuefile);
  auto mailbox = panel_account(account, Directories::kExisting);
  if (!mailbox || !name) return;
  SafeFile::Handle file;
  if (!open_regular_file(file, mailbox->queue_file(*name))) return;
  LineReader reader(file.fd());
  std::string line;
  for (int shown = 0; shown < kShownLines && reader.getline(line); ++shown)
    std::cout << SendVetter_cleanfield(chomp(line)) << "\n";
}

bool SendVetter_messageaction(const std::string& account, const std::string& /*logdate*/,
                              const std::string& queuefile, const std::string& actions) {
  // Without the account's directories every path would start at "/".
  auto mailbox = panel_account(account);
  if (!mailbox) return false;
  // The whole request is refused before anything is done when one of its
  // actions is unknown or the message is gone: half a request would leave
  // the owner guessing what happened.
  const Lines requested = split_dropping_trailing_empty(actions, ',');
  for (const std::string& action : requested) {
    if (!is_known_action(action)) {
      std::cout << "Unknown action &quot;" << html_escape(action) << "&quot;; nothing was done. ";
      return false;
    }
  }
  if (requested.empty()) {
    std::cout << "No action given; nothing was done. ";
    return false;
  }
  // A repeat of an action whose run was killed after keeping its append
  // finishes that run's deletions before it looks for the message.
  finish_killed_release(mailbox->inbox());
  const auto name = clean_queue_name(queuefile);
  const std::string path = name ? mailbox->queue_file(*name) : std::string();
  if (!name || !is_regular_file(path)) {
    std::cout << "The queued message does not exist; nothing was done. ";
    return false;
  }
  const Lines header = read_queue_header(path);
  // The address as the filter took it (records and rules are made from it);
  // escaped only where it is shown.
  const std::string email =
      remove_dot_pairs(SendVetter_extractaddress(SendVetter_getheader("from", header)));
  const std::string shown = html_escape(email);
  const std::string inbox = mailbox->inbox();

  bool done = true;
  for (const std::string& action : requested) {
    if (action == "whitelist" || action == "blacklist" || action == "ignorelist") {
      const std::string list = action.substr(0, action.size() - 4);
      std::cout << shown << " was added to your " << list << " list. ";
      if (!SendVetter_addaddytolist(list, email, mailbox->emaildir)) {
        std::cout << "Adding failed; the list is unchanged. ";
        done = false;
      }
    } else if (action == "deliverall") {
      std::cout << "queued messages from " << shown << " delivered. ";
      // No record is ever kept under an empty name.
      if (!verifications_record_name(email).empty() &&
          !release_held_mail(mailbox->emaildir, inbox, email)) {
        std::cout << "Delivery failed; the undelivered messages stay queued. ";
        done = false;
      }
    } else if (action == "deliver") {
      std::cout << "queued message from " << shown << " delivered. ";
      if (!deliver_queue_file(inbox, path)) {
        std::cout << "Delivery failed; the message stays queued. ";
        done = false;
      }
    } else if (action == "delete") {
      std::cout << "queued message from " << shown << " deleted. ";
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        std::cout << "Deleting failed; the message stays queued. ";
        done = false;
      }
    }
  }
  return done;
}

}  // namespace Orvane::SendVetter
