// The sender lists on a page of their own: the rules of one list, a rule
// added for an address, a rule removed. Only the three list names are
// accepted, so a request can name no other file.
#include <iostream>

#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/lists/lists.h"
#include "Orvane/SendVetter/panel/html.h"
#include "Orvane/SendVetter/panel/panel.h"
#include "Orvane/SendVetter/panel/support.h"

namespace Orvane::SendVetter {

namespace {

// The account's mailbox when the list name is one of the three; prints why
// not otherwise.
std::optional<Mailbox> list_mailbox(const std::string& account, const std::string& list,
                                    Directories directories = Directories::kMake) {
  if (!SendVetter_islistname(list)) {
    std::cout << "Unknown list.";
    return std::nullopt;
  }
  return panel_account(account, directories);
}

}  // namespace

void SendVetter_showlist(const std::string& account, const std::string& list) {
  const auto mailbox = list_mailbox(account, list, Directories::kExisting);
  if (!mailbox) return;
  for (const std::string& line : split_lines(read_file(mailbox->list_file(list)))) {
    if (line.empty()) continue;
    const std::string rule = html_escape(line);
    std::cout << "<tr><td>" << rule << "</td><td><button name=rule value=\"" << rule
              << "\">Remove</button></td></tr>\n";
  }
}

bool SendVetter_listadd(const std::string& account, const std::string& list,
                        const std::string& address) {
  const auto mailbox = list_mailbox(account, list);
  if (!mailbox) return false;
  // The same white space the rule loses when it is written.
  if (address.find_first_not_of(" \t\n\r\f\v") == std::string::npos) {
    std::cout << "There was no address to add.";
    return false;
  }
  if (SendVetter_addaddytolist(list, address, mailbox->emaildir)) return true;
  std::cout << "Adding failed; the list is unchanged.";
  return false;
}

bool SendVetter_listremove(const std::string& account, const std::string& list,
                           const std::string& rule) {
  const auto mailbox = list_mailbox(account, list);
  if (!mailbox) return false;
  if (rule.empty() || SendVetter_removerule(list, rule, mailbox->emaildir)) return true;
  std::cout << "The rule was not found; nothing was removed.";
  return false;
}

}  // namespace Orvane::SendVetter
