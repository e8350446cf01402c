// What the management functions share: the account checks with the
// request's account escaped for the page, and the reading of queue files.
#pragma once

#include <optional>
#include <string>

#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

// Resolves the account; when its directories are not found, prints the
// matching account-check message (account HTML-escaped) to standard output.
// Queries pass Directories::kExisting and so never create a directory.
std::optional<Mailbox> panel_account(const std::string& account,
                                     Directories directories = Directories::kMake);

// Form file name with every "/" and then every ".." removed; empty when
// nothing usable is left or it cannot name a file.
std::string clean_form_name(const std::string& form);

// The header lines of a stored message, each with its line end, up to the
// first line made only of "\r" and "\n". Empty when it cannot be read.
Lines read_queue_header(const std::string& path);

// The sender as the listing shows it: display name or address, escaped.
std::string listed_sender(const Lines& header);

}  // namespace Orvane::SendVetter
