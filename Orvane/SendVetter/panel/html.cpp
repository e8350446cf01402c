// Escaping of request values for links and for HTML text and attributes.
#include "Orvane/SendVetter/panel/html.h"

#include "Orvane/SendVetter/base/text.h"

namespace Orvane::SendVetter {

namespace {

bool kept_in_url(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '@' ||
         c == '.' || c == '_' || c == '-' || c == '/' || c == ':' || c == ',';
}

}  // namespace

std::string url_escape(std::string_view value) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (kept_in_url(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 0x0F]);
    }
  }
  return out;
}

std::string url_target(std::string_view value) {
  std::string target = url_escape(value);
  // A scheme is whatever precedes the first ":" that comes before any "/".
  const std::size_t colon = target.find(':');
  if (colon != std::string::npos && colon < target.find('/')) {
    const std::string scheme = ascii_lower(target.substr(0, colon));
    if (scheme != "http" && scheme != "https") return {};
  }
  return target;
}

std::string html_escape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

}  // namespace Orvane::SendVetter
