// Shared pieces of the management functions: account checks printed into
// the page, queue file names and queue file headers.
#include "Orvane/SendVetter/panel/support.h"

#include <iostream>

#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/message/header_block.h"
#include "Orvane/SendVetter/panel/html.h"

namespace Orvane::SendVetter {

std::optional<AccountDirs> panel_account(const std::string& account) {
  AccountProblem problem;
  AccountDirs dirs = lookup_account(account, problem);
  if (problem == AccountProblem::no_home) {
    std::cout << no_home_message(html_escape(account));
    return std::nullopt;
  }
  if (problem == AccountProblem::no_email_dirs) {
    std::cout << no_email_dirs_message(html_escape(account));
    return std::nullopt;
  }
  return dirs;
}

std::string queue_directory(const AccountDirs& dirs) { return dirs.emaildir + "/sendvetter/queue"; }

std::optional<std::string> clean_queue_name(const std::string& name) {
  std::string cleaned = remove_dot_pairs(name);
  if (cleaned.empty() || cleaned == "." || cleaned.find('/') != std::string::npos)
    return std::nullopt;
  // A lock file lies beside a queue file while it is written; acting on it
  // would put a process id into the inbox.
  const std::string lock_suffix = ".lock";
  if (cleaned.size() >= lock_suffix.size() &&
      cleaned.compare(cleaned.size() - lock_suffix.size(), lock_suffix.size(), lock_suffix) == 0)
    return std::nullopt;
  return cleaned;
}

Lines read_queue_header(const std::string& path) {
  Lines header;
  SafeFile::Handle file;
  if (!file.open(path, "<")) return header;
  LineReader reader(file.fd());
  std::string line;
  while (reader.getline(line) && !is_header_end(line)) header.push_back(line);
  return header;
}

std::string listed_sender(const Lines& header) {
  return SendVetter_cleanfield(SendVetter_extractfrom(SendVetter_getheader("from", header)));
}

}  // namespace Orvane::SendVetter
