// The mailbox layout and the account resolver shared by the filter and every
// management function.
#include "Orvane/SendVetter/account/mailbox.h"

#include <cassert>

#include "Orvane/SendVetter/account/account.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/text.h"

namespace Orvane::SendVetter {

Mailbox Mailbox::at(const std::string& emaildir) {
  Mailbox mailbox;
  mailbox.emaildir = emaildir;
  return mailbox;
}

std::string Mailbox::conf_file() const { return emaildir + "/sendvetter.conf"; }
std::string Mailbox::enable_flag() const { return emaildir + "/.sendvetterenable"; }
std::string Mailbox::settings_dir() const { return emaildir + "/.sendvetter"; }
std::string Mailbox::id_file() const { return remove_dot_pairs(emaildir) + "/.sendvetter/id"; }

std::string Mailbox::loop_protect_file() const {
  return remove_dot_pairs(emaildir) + "/.sendvetter/loopprotect";
}

std::string Mailbox::loop_protect_temp_file() const { return loop_protect_file() + ".new"; }

std::string Mailbox::list_file(std::string_view list) const {
  return remove_dot_pairs(emaildir) + "/.sendvetter/" + remove_dot_pairs(list) + "-list.txt";
}

std::string Mailbox::forms_dir() const { return emaildir + "/.sendvetter/forms"; }
std::string Mailbox::form_copy(std::string_view name) const { return forms_dir() + "/" + std::string(name); }

std::string Mailbox::form_file(std::string_view form) const {
  return remove_dot_pairs(emaildir) + "/.sendvetter/forms/" + remove_dot_pairs(form) + ".txt";
}

std::string Mailbox::state_dir() const { return emaildir + "/sendvetter"; }
std::string Mailbox::queue_dir() const { return emaildir + "/sendvetter/queue"; }

std::string Mailbox::queue_file(std::string_view name) const {
  assert(name.find('/') == std::string_view::npos);
  return queue_dir() + "/" + std::string(name);
}

std::string Mailbox::held_message_file(std::string_view id) const {
  return queue_file(remove_char(remove_dot_pairs(id), '/') + ".msg");
}

std::string Mailbox::queue_temp_file(std::string_view name) const {
  assert(name.find('/') == std::string_view::npos);
  return queue_dir() + "/." + std::string(name) + ".new";
}

std::string Mailbox::verifications_dir() const { return emaildir + "/sendvetter/verifications"; }

std::string Mailbox::verifications_file(const std::string& email) const {
  return verifications_dir() + "/" + verifications_record_name(email);
}

std::string Mailbox::releasing_file(const std::string& email) const {
  return verifications_file(email) + "..releasing";
}

std::string Mailbox::log_dir() const { return emaildir + "/sendvetter/log"; }
std::string Mailbox::log_file(std::string_view day) const { return log_dir() + "/" + std::string(day) + ".log"; }
std::string Mailbox::expiry_state_file() const { return state_dir() + "/expiry-state"; }

std::string Mailbox::inbox() const {
  assert(!deliverdir.empty());
  return deliverdir + "/inbox";
}

std::string held_message_id(const std::string& queuefile) {
  return queuefile.ends_with(".msg") ? queuefile.substr(0, queuefile.size() - 4) : queuefile;
}
std::string intent_record(const std::string& mail_file) { return mail_file + "..intent"; }
std::string kept_record(const std::string& mail_file) { return mail_file + "..kept"; }

std::string verifications_record_name(const std::string& email) {
  // Every name a record's companion files add to the record's own.
  static constexpr std::string_view kCompanions[] = {".lock", "..intent", "..kept", "..releasing"};
  std::size_t suffix_dot = std::string::npos;
  for (std::string_view suffix : kCompanions)
    if (email.ends_with(suffix)) suffix_dot = email.size() - suffix.size();
  const bool dots_only = email == "." || email == "..";
  if (suffix_dot == std::string::npos && !dots_only &&
      email.find_first_of(std::string_view("/%\0", 3)) == std::string::npos)
    return email;
  std::string name;
  for (std::size_t i = 0; i < email.size(); ++i) {
    const char c = email[i];
    if (c == '/' || c == '%' || c == '\0' || i == suffix_dot || dots_only)
      name += percent_encoded(c);
    else
      name += c;
  }
  return name;
}

std::optional<std::string> clean_queue_name(const std::string& name) {
  std::string cleaned = remove_dot_pairs(name);
  // A name with a leading dot is a message still being written, never
  // listed.
  if (!is_single_name(cleaned) || cleaned[0] == '.') return std::nullopt;
  // A lock file lies beside a queue file while it is written; acting on it
  // would put a process id into the inbox.
  if (cleaned.ends_with(".lock")) return std::nullopt;
  return cleaned;
}

Mailbox resolve_mailbox(const std::string& account, MailboxProblem& problem, Directories directories) {
  Mailbox mailbox;
  mailbox.account = account;
  std::tie(mailbox.homedir, mailbox.domain) = SendVetter_getaccountinfo(account);
  if (mailbox.homedir.empty()) {
    problem = MailboxProblem::kNoHome;
    return mailbox;
  }
  if (directories == Directories::kMake) {
    std::tie(mailbox.emaildir, mailbox.deliverdir) = SendVetter_getemaildirs(account, mailbox.homedir);
  } else {
    std::tie(mailbox.emaildir, mailbox.deliverdir) = email_dir_paths(account, mailbox.homedir);
    if (!is_directory(mailbox.emaildir) || !is_directory(mailbox.deliverdir)) mailbox.emaildir.clear();
  }
  problem = mailbox.emaildir.empty() ? MailboxProblem::kNoEmailDirs : MailboxProblem::kNone;
  return mailbox;
}

std::string problem_message(MailboxProblem problem, const std::string& shown_account) {
  switch (problem) {
    case MailboxProblem::kNoHome: return "Unable to locate home dir for account " + shown_account + "\n";
    case MailboxProblem::kNoEmailDirs: return "Email homedir for " + shown_account + " does not exist";
    case MailboxProblem::kNone: break;
  }
  return {};
}

std::optional<Mailbox> resolve_mailbox(const std::string& account, std::ostream& out,
                                       const std::string& shown_account, Directories directories) {
  MailboxProblem problem;
  Mailbox mailbox = resolve_mailbox(account, problem, directories);
  if (problem != MailboxProblem::kNone) {
    out << problem_message(problem, shown_account);
    return std::nullopt;
  }
  return mailbox;
}

}  // namespace Orvane::SendVetter
