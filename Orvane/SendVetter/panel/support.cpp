// Shared pieces of the management functions: account checks printed into
// the page and queue file headers.
#include "Orvane/SendVetter/panel/support.h"

#include <iostream>

#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/message/header_block.h"
#include "Orvane/SendVetter/message/message.h"
#include "Orvane/SendVetter/panel/html.h"
#include "Orvane/SendVetter/panel/panel.h"
#include "Orvane/SendVetter/types.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

std::optional<Mailbox> panel_account(const std::string& account, Directories directories) {
  return resolve_mailbox(account, std::cout, html_escape(account), directories);
}

std::string clean_form_name(const std::string& form) {
  std::string name = remove_dot_pairs(remove_char(form, '/'));
  return is_single_name(name) ? name : std::string();
}

Lines read_queue_header(const std::string& path) {
  Lines header;
  SafeFile::Handle file;
  if (!open_regular_file(file, path)) return header;
  LineReader reader(file.fd());
  std::string line;
  while (reader.getline(line) && !is_header_end(line)) header.push_back(line);
  return header;
}

std::string listed_sender(const Lines& header) {
  return SendVetter_cleanfield(SendVetter_extractfrom(SendVetter_getheader("from", header)));
}

}  // namespace Orvane::SendVetter
