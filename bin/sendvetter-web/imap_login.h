// Checks a mailbox password by logging in to the host's IMAP server, as a
// webmail does: no password store of our own.
#pragma once

#include <string>

namespace Orvane::SendVetter::Web {

struct ImapServer {
  // "imap://host:port" (STARTTLS, required unless plain is set) or
  // "imaps://host:port" (TLS from the start).
  std::string url = "imap://127.0.0.1:143";
  std::string ca_file;  // certificates to trust; empty: the system's
  bool plain = false;   // allow imap:// without STARTTLS (loopback servers only)
};

enum class LoginResult { accepted, refused, unavailable };

// accepted: the server took the address and password; refused: it said no;
// unavailable: it could not be reached or the TLS handshake failed (the
// reason goes to standard error). Call curl_global_init once before.
LoginResult imap_login(const ImapServer& server, const std::string& address,
                       const std::string& password);

}  // namespace Orvane::SendVetter::Web
