// The envelope line the filter writes for a message that came without one.
#include "Orvane/SendVetter/message/envelope.h"

#include "Orvane/SendVetter/message/message.h"

namespace Orvane::SendVetter {

namespace {

// The address inside "<...>", without blanks; a blank would end the sender
// field of the envelope line early.
std::string bare_address(const std::string& value) {
  std::string address;
  for (char c : value)
    if (c != '<' && c != '>' && c != ' ' && c != '\t' && c != '\r' && c != '\n') address.push_back(c);
  return address;
}

}  // namespace

bool has_envelope_line(const PackedLines& headers) {
  return headers.text().starts_with("From ");
}

std::string envelope_line(const PackedLines& headers, const std::string& passed_sender, std::time_t now) {
  const std::string return_path = SendVetter_getheader("return-path", headers);
  std::string sender = bare_address(return_path.empty() ? passed_sender : return_path);
  if (sender.empty()) sender = "MAILER-DAEMON";
  char date[64];
  std::tm local{};
  ::localtime_r(&now, &local);
  std::strftime(date, sizeof date, "%a %b %e %H:%M:%S %Y", &local);
  return "From " + sender + " " + date;
}

}  // namespace Orvane::SendVetter
