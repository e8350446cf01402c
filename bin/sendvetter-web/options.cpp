// Command-line parsing; every option with a value takes it as the next word.
#include "bin/sendvetter-web/options.h"

#include <charconv>
#include <iostream>

namespace Orvane::SendVetter::Web {

namespace {

bool to_int(const std::string& text, int low, int high, int& out) {
  int value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || ptr != text.data() + text.size() || value < low ||
      value > high)
    return false;
  out = value;
  return true;
}

bool set_listen(const std::string& text, WebOptions& o) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  o.host = text.substr(0, colon);
  return to_int(text.substr(colon + 1), 1, 65535, o.port);
}

}  // namespace

std::optional<WebOptions> parse_options(const std::vector<std::string>& args) {
  WebOptions o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name == "--imap-plain") {
      o.imap.plain = true;
      continue;
    }
    if (name == "--secure-cookie") {
      o.secure_cookie = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      std::cerr << "sendvetter-web: " << name << ": unknown option or missing value\n";
      return std::nullopt;
    }
    const std::string& value = args[++i];
    bool good = true;
    if (name == "--listen")
      good = set_listen(value, o);
    else if (name == "--imap") {
      o.imap.url = value;
      good = value.rfind("imap://", 0) == 0 || value.rfind("imaps://", 0) == 0;
    } else if (name == "--imap-ca")
      o.imap.ca_file = value;
    else if (name == "--client-header")
      o.client_header = value;
    else if (name == "--session-minutes")
      good = to_int(value, 1, 24 * 60, o.session_minutes);
    else if (name == "--panel")
      o.panel = value;
    else
      good = false;
    if (!good) {
      std::cerr << "sendvetter-web: " << name << " " << value << ": not understood\n";
      return std::nullopt;
    }
  }
  return o;
}

}  // namespace Orvane::SendVetter::Web
