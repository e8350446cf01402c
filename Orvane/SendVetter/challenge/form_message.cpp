// Form messages: a form template with the incoming message's values filled
// in, behind our own two header lines, handed to "sendmail -t" with a null
// envelope sender.
//
// The private copy (Mailbox::form_file) wins
// over the system form. Placeholders are replaced line by line in a fixed
// order, so text inserted by one replacement is seen by the later ones only.
// The whole message is built in memory before sendmail starts.
#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/host_paths.h"
#include "Orvane/SendVetter/base/spawn.h"
#include "Orvane/SendVetter/challenge/challenge.h"
#include "Orvane/SendVetter/types.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

namespace {

// Recipients from the header. The null envelope sender ("-f <>", which the
// mail server accepts from any local user) means a form sent to a dead or
// forged address can never bounce into anyone's mailbox; replies still go
// to the From header.
const std::vector<std::string> kSendmailArgs = {"sendmail", "-t", "-f", "<>"};

// Every occurrence of a literal placeholder, scanning left to right; the
// inserted text is not scanned again for the same placeholder.
std::string replace_literal(const std::string& line, const std::string& placeholder,
                            const std::string& value) {
  std::string out;
  std::size_t start = 0;
  for (std::size_t at; (at = line.find(placeholder, start)) != std::string::npos;
       start = at + placeholder.size()) {
    out.append(line, start, at - start);
    out += value;
  }
  out.append(line, start, std::string::npos);
  return out;
}

// The form goes to the sender address only: a value that could name further
// recipients or add header lines to the "To:" line is refused.
bool is_single_recipient(const std::string& email) {
  return !email.empty() && email.find_first_of(",;\r\n") == std::string::npos;
}

std::string join_lines(const Lines& lines) {
  std::string joined;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) joined += '\n';
    joined += lines[i];
  }
  return joined;
}

}  // namespace

void SendVetter_sendformmessage(const std::string& form, const std::string& emaildir,
                                const std::string& email, const std::string& subject,
                                const std::string& queuefile, const Lines& headers,
                                const std::string& webdomain, const std::string& account,
                                const std::string& id, const std::string& returnaddy) {
  if (!is_single_recipient(email)) return;

  const std::string kind = remove_dot_pairs(form);
  const std::string msgid = held_message_id(queuefile);
  const std::string header_block = join_lines(headers);

  const std::string private_copy = Mailbox::at(emaildir).form_file(form);
  const std::string template_path =
      path_exists(private_copy) ? private_copy : host_paths().formdir + "/" + kind + ".txt";

  std::string message = "X-Sendvetter: " + id + "\n" + "From: " + returnaddy + "\n";
  // A form that cannot be read leaves the two header lines alone; without a
  // recipient header sendmail sends nothing.
  SafeFile::Handle file;
  if (file.open(template_path, "<")) {
    LineReader reader(file.fd());
    std::string line;
    while (reader.getline(line)) {
      line = replace_literal(line, "%acct%", account);
      line = replace_literal(line, "%msgid%", msgid);
      line = replace_literal(line, "%subject%", subject);
      line = replace_literal(line, "%email%", email);
      line = replace_literal(line, "%headers%", header_block);
      line = replace_literal(line, "%webdomain%", webdomain);
      message += line;
    }
  }

  run_with_input(host_paths().sendmail, kSendmailArgs, message);
}

}  // namespace Orvane::SendVetter
