// Mailbox: every file of one account's mailbox, named in this one place, and
// the resolver that finds an account's mailbox.
//
// An account has two directories (SendVetter_getemaildirs makes them):
//   email directory E     system account: home/etc;   address account
//                         local@domain: owner's home/etc/domain/local
//   delivery directory D  home/mail, or owner's home/mail/domain/local
// Both have every ".." removed before anything is created. Inside them:
//   E/sendvetter.conf                    configuration ("froms", "stale-queue-time")
//   E/.sendvetterenable                  the filter is switched on while it exists
//   E/.sendvetter/                       settings directory
//   E/.sendvetter/id                     the mailbox's identity
//   E/.sendvetter/loopprotect            per-sender challenge bursts
//   E/.sendvetter/loopprotect.new        its next content, before the rename
//   E/.sendvetter/<list>-list.txt        "white", "black", "ignore" rules
//   E/.sendvetter/forms/<form>.txt       the account's own copy of a form
//   E/sendvetter/queue/<id>.msg          a held message
//   E/sendvetter/queue/.<id>.msg.new     a held message still being written
//   E/sendvetter/verifications/<sender>  the ids held for one sender
//   E/sendvetter/verifications/<sender>..releasing
//                                        ids whose release is under way
//   E/sendvetter/log/MM-DD-YYYY.log      the activity log of one day
//   E/sendvetter/expiry-state            what the last expiry scan saw (a cache)
//   D/inbox                              the mail file
// A mail file's lock file lies beside it (name + ".lock"), and so do the
// records of an append that has not finished (name + "..intent", then
// name + "..kept"; see storage/mail_file.h). No record or queue file name
// can be taken for one of these: see verifications_record_name and
// clean_queue_name.
//
// Where a name takes text from a message or a request, its ".." rule is
// stated beside it below. The module's functions that receive only an email
// directory name its files through Mailbox::at().
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace Orvane::SendVetter {

struct Mailbox {
  std::string account;
  std::string homedir;
  std::string domain;      // empty for a system account
  std::string emaildir;    // E
  std::string deliverdir;  // D

  // A mailbox known only by its email directory (D unknown).
  static Mailbox at(const std::string& emaildir);

  std::string conf_file() const;    // E/sendvetter.conf
  std::string enable_flag() const;  // E/.sendvetterenable
  std::string settings_dir() const; // E/.sendvetter
  // E/.sendvetter/id and E/.sendvetter/loopprotect, E with every ".." removed.
  std::string id_file() const;
  std::string loop_protect_file() const;
  std::string loop_protect_temp_file() const;  // loop_protect_file() + ".new"
  // E/.sendvetter/<list>-list.txt, E and list each with every ".." removed.
  std::string list_file(std::string_view list) const;
  std::string forms_dir() const;    // E/.sendvetter/forms
  // forms_dir()/<name>: a panel form name, already cleaned (clean_form_name).
  std::string form_copy(std::string_view name) const;
  // E/.sendvetter/forms/<form>.txt, E and form each with every ".." removed:
  // the private copy a form message prefers to the system form.
  std::string form_file(std::string_view form) const;
  std::string state_dir() const;    // E/sendvetter
  std::string queue_dir() const;    // E/sendvetter/queue
  // queue_dir()/<name>; name is one file name, holding no "/".
  std::string queue_file(std::string_view name) const;
  // queue_dir()/<id>.msg, the id with every ".." and then every "/" removed:
  // the id as a verifications record lists it.
  std::string held_message_file(std::string_view id) const;
  // queue_dir()/.<name>.new: the name a held message is written under;
  // never listed, linked to queue_file(name) once whole.
  std::string queue_temp_file(std::string_view name) const;
  std::string verifications_dir() const;  // E/sendvetter/verifications
  // verifications_dir()/<verifications_record_name(email)>; the ids a record
  // lists are queue file names without ".msg".
  std::string verifications_file(const std::string& email) const;
  // verifications_file(email) + "..releasing": the record's ids while a
  // release of them is under way (left behind, still held, by a killed one).
  std::string releasing_file(const std::string& email) const;
  std::string log_dir() const;      // E/sendvetter/log
  // log_dir()/<day>.log, day as "MM-DD-YYYY".
  std::string log_file(std::string_view day) const;
  // E/sendvetter/expiry-state: the expiry's state record (storage/expiry.h).
  std::string expiry_state_file() const;
  std::string inbox() const;        // D/inbox
};

// The id of a queue file name: the name without its ".msg".
std::string held_message_id(const std::string& queuefile);
// <mail_file>..intent: the size mail_file had before an append that is
// still in progress, and the files that append creates or consumes.
std::string intent_record(const std::string& mail_file);
// <mail_file>..kept: the intent record of an append that is kept, renamed
// while the files it consumed are deleted.
std::string kept_record(const std::string& mail_file);

// The verifications record's file name for a sender: the address as it is,
// unless it holds a byte no file name can carry (NUL, "/"), "%", is "." or
// "..", or ends in a name a record's companion files add (".lock",
// "..intent", "..kept", "..releasing"). Those bytes, and the first dot of
// such an ending or name, are then percent-encoded, so no two addresses
// share a record and no record is another one's lock file or bookkeeping.
std::string verifications_record_name(const std::string& email);

// A queue file name from a request with every ".." removed; nullopt when
// what remains could still name something other than a held message inside
// the queue directory (it is not one file name, starts with "." or is a
// lock file).
std::optional<std::string> clean_queue_name(const std::string& name);

enum class MailboxProblem {
  kNone,
  kNoHome,       // "Unable to locate home dir for account <a>\n"
  kNoEmailDirs,  // "Email homedir for <a> does not exist"
};

// Whether a lookup may make the email and delivery directories (the filter,
// a change from the panel) or only finds them (a query: a status question
// about a mistyped account must not create a mailbox for it).
enum class Directories { kMake, kExisting };

// The account's mailbox, its directories created when missing unless
// directories is kExisting. problem tells which check failed; the mailbox
// then holds what was found before it.
Mailbox resolve_mailbox(const std::string& account, MailboxProblem& problem,
                        Directories directories = Directories::kMake);
// The message of a problem, in the module's fixed words, naming shown_account.
std::string problem_message(MailboxProblem problem, const std::string& shown_account);
// resolve_mailbox; on a problem its message naming shown_account goes to
// out and the result is nullopt.
std::optional<Mailbox> resolve_mailbox(const std::string& account, std::ostream& out,
                                       const std::string& shown_account,
                                       Directories directories = Directories::kMake);

}  // namespace Orvane::SendVetter
