// The command line of sendvetter-web:
//
//   sendvetter-web [--listen HOST:PORT] [--imap URL] [--imap-ca FILE]
//                  [--imap-plain] [--secure-cookie] [--client-header NAME]
//                  [--session-minutes N] [--panel PATH]
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bin/sendvetter-web/imap_login.h"

namespace Orvane::SendVetter::Web {

struct WebOptions {
  std::string host = "127.0.0.1";
  int port = 8480;
  ImapServer imap;
  // Set when the front end serves the pages over HTTPS: cookies get Secure.
  bool secure_cookie = false;
  // Header carrying the client's address from the front end (e.g.
  // "X-Real-IP"); empty: the peer address, which behind a proxy is the proxy.
  std::string client_header;
  int session_minutes = 30;
  // The sendvetter-panel program; empty: the one beside this program.
  std::string panel;
};

// The options, or nullopt (with the reason on standard error) when the
// command line is not understood.
std::optional<WebOptions> parse_options(const std::vector<std::string>& args);

}  // namespace Orvane::SendVetter::Web
