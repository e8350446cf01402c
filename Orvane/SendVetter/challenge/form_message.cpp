// Form messages: a form template with the incoming message's values filled
// in, behind our own two header lines, handed to "sendmail -t -i" with a null
// envelope sender.
//
// The private copy (Mailbox::form_file) wins over the system form. Every
// value comes from a stranger, and "sendmail -t" mails whoever the header
// names, so:
//   - placeholders are replaced in the form's own text, in one pass: text a
//     value brings in is never expanded again;
//   - in the header part (the lines before the form's first empty line) a
//     value loses CR, LF and NUL and "%headers%" stays empty, so no value
//     can start a header line of its own;
//   - the recipient must be one plain address, or nothing is sent.
// Header lines are then encoded and folded, and a body that would not
// travel as it is goes quoted-printable (mail_format.h), so that every mail
// server takes the message. The whole message is built in memory before
// sendmail starts.
#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/host_paths.h"
#include "Orvane/SendVetter/base/regex.h"
#include "Orvane/SendVetter/base/spawn.h"
#include "Orvane/SendVetter/challenge/challenge.h"
#include "Orvane/SendVetter/challenge/mail_format.h"
#include "Orvane/SendVetter/types.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

namespace {

// Recipients from the header; a line holding a single "." is text, not the
// end of the message (-i). The null envelope sender ("-f <>", which the
// mail server accepts from any local user) means a form sent to a dead or
// forged address can never bounce into anyone's mailbox; replies still go
// to the From header.
const std::vector<std::string> kSendmailArgs = {"sendmail", "-t", "-i", "-f", "<>"};

// The value is a view: the header block it may name is the message's own,
// not a copy.
struct Placeholder {
  std::string_view name;
  std::string_view value;
};

// Each placeholder of the form line replaced by its value in one left-to-
// right pass; the values are copied, never scanned.
std::string fill_in(const std::string& line, const std::vector<Placeholder>& placeholders) {
  std::string out;
  std::size_t done = 0;
  for (std::size_t at; (at = line.find('%', done)) != std::string::npos;) {
    out.append(line, done, at - done);
    const Placeholder* found = nullptr;
    for (const Placeholder& p : placeholders)
      if (line.compare(at, p.name.size(), p.name) == 0) found = &p;
    out += found ? found->value : "%";
    done = at + (found ? found->name.size() : 1);
  }
  out.append(line, done, std::string::npos);
  return out;
}

std::string without_line_breaks(std::string_view text) {
  std::string value(text);
  std::erase_if(value, [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
  return value;
}

// One address in dot-atom form, of a length mail servers take: the only
// recipient "sendmail -t" can read from the form's "To: %email%". Blanks,
// quotes, angle brackets, commas, semicolons, colons, parentheses or line
// breaks could name others.
bool is_single_recipient(const std::string& email) {
  static const Regex address(
      "^[A-Za-z0-9!#$%&'*+/=?^_`{|}~.-]+@[A-Za-z0-9-]+(?:\\.[A-Za-z0-9-]+)*\\z");
  return email.size() <= 254 && address.search(email);
}

std::string without_line_end(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

void SendVetter_sendformmessage(const std::string& form, const std::string& emaildir,
                                const std::string& email, const std::string& subject,
                                const std::string& queuefile, const PackedLines& headers,
                                const std::string& webdomain, const std::string& account,
                                const std::string& id, const std::string& returnaddy) {
  if (!is_single_recipient(email)) return;

  const std::string kind = remove_dot_pairs(form);
  if (!is_single_name(kind)) return;
  const std::string msgid = held_message_id(queuefile);
  // The header lines joined by line feeds: the block without its last one.
  std::string_view header_block = headers.text();
  if (!header_block.empty()) header_block.remove_suffix(1);

  const std::string private_copy = Mailbox::at(emaildir).form_file(form);
  const std::string template_path =
      path_exists(private_copy) ? private_copy : host_paths().formdir + "/" + kind + ".txt";

  std::string header = "X-Sendvetter: " + id + "\n" + "From: " + returnaddy + "\n";
  std::string body;
  bool in_header_part = true;  // until the form's first empty line
  // A form that cannot be read leaves the two header lines alone; without a
  // recipient header sendmail sends nothing.
  SafeFile::Handle file;
  if (file.open(template_path, "<")) {
    const std::vector<Placeholder> in_body = {
        {"%acct%", account},   {"%msgid%", msgid},
        {"%subject%", subject}, {"%email%", email},
        {"%headers%", header_block}, {"%webdomain%", webdomain}};
    std::vector<std::string> cleaned;  // the header part's values, owned here
    cleaned.reserve(in_body.size());
    std::vector<Placeholder> in_header;
    for (const Placeholder& p : in_body) {
      cleaned.push_back(p.name == "%headers%" ? std::string() : without_line_breaks(p.value));
      in_header.push_back({p.name, cleaned.back()});
    }
    LineReader reader(file.fd());
    std::string line;
    while (reader.getline(line)) {
      if (!in_header_part) {
        body += fill_in(line, in_body);
      } else if (without_line_end(line).empty()) {
        in_header_part = false;
      } else {
        header += header_for_sending(fill_in(without_line_end(line), in_header));
        if (line.back() == '\n') header += '\n';
      }
    }
  }

  const BodyForSending sent = body_for_sending(body);
  const std::string separator = in_header_part ? "" : "\n";
  run_with_input(host_paths().sendmail, kSendmailArgs, header + sent.mime_headers + separator + sent.text);
}

}  // namespace Orvane::SendVetter
