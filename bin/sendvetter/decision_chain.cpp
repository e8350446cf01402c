// The decision chain: one ordered table of rows, each a test and an action;
// the first row whose test holds acts and no later row is tried.
//
//   1 own form message (X-Sendvetter equals our identity)  -> drop, end
//   2 "(conf#id" in the subject: another system's request  -> "returnverify"
//   3 "verify#id" in the subject: a reply to a challenge   -> white-list and
//     release the sender's held mail, or "returnverify" when id is not held
//   4 ignore list                                          -> drop, end
//   5 mailer-daemon / postmaster report                    -> drop if it quotes
//     one of our challenges, else deliver
//   6 mail from the owner                                  -> deliver when
//     submitted locally or authenticated, else hold without a challenge
//   7 white list -> deliver, or hold when the From domain is forged
//   8 black list -> "blacklist" form, drop
//   9 anyone else -> hold; the "verify" form only to a person (not to a
//     forged or automated sender) who passes loop protection
//
// Every automatic answer (the forms of rows 2, 3 and 8) is counted per
// recipient address and not sent past the burst, so two installations that
// answer each other's answers always stop.
// A message that cannot be stored ends the run with kTempFail (exit 75) and
// leaves nothing behind, so the mail server's retry stores it exactly once.
#include <unistd.h>
#include <vector>

#include "Orvane/SendVetter/account/account.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/regex.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/challenge/challenge.h"
#include "Orvane/SendVetter/challenge/loop_protect.h"
#include "Orvane/SendVetter/lists/lists.h"
#include "Orvane/SendVetter/message/encoded_words.h"
#include "Orvane/SendVetter/message/automated.h"
#include "Orvane/SendVetter/storage/delivery.h"
#include "Orvane/SendVetter/storage/queue.h"
#include "Orvane/SendVetter/storage/release.h"
#include "Orvane/SendVetter/storage/storage.h"
#include "Orvane/SendVetter/types.h"
#include "bin/sendvetter/message_run.h"

namespace Orvane::SendVetter {

namespace {

// The subject markers: "(conf#id" of another system's request, "verify#id"
// of a reply to our challenge.
const Regex& foreign_request_marker() {
  static const Regex marker("\\(conf\\#([^\\)\\s]+)", Regex::kCaseless);
  return marker;
}
const Regex& verification_marker() {
  static const Regex marker("verify\\#([^\\)\\s]+)", Regex::kCaseless);
  return marker;
}

// The id after a subject marker, or empty when the marker is absent. Mail
// programs often encode the whole subject of a reply (RFC 2047) once it
// holds one non-ASCII character, so the marker is looked for in the decoded
// bytes. A subject without an encoded word decodes to itself, so it is
// searched in place: a stranger's subject of any size is not copied again.
std::string marker_id(const Regex& marker, const std::string& subject) {
  std::vector<std::string> captures;
  const bool found = subject.find("=?") == std::string::npos
                         ? marker.search(subject, captures)
                         : marker.search(decode_encoded_words(subject), captures);
  return found ? captures[1] : std::string();
}

// Whether a queue id names a message held in this mailbox. An id that is
// not one file name (a "/", a NUL that would cut the path short) names
// nothing, and only a regular file is a held message.
bool is_held(const MessageRun& run, const std::string& id) {
  return is_single_name(id) && is_regular_file(run.mailbox.queue_file(id + ".msg"));
}

void send_form(MessageRun& run, const std::string& form, const std::string& queuefile) {
  SendVetter_sendformmessage(form, run.mailbox.emaildir, run.email, run.subject, queuefile, run.headers,
                             run.webdomain(), run.mailbox.account, run.id, run.returnaddy);
}

// kContinue when status is success; otherwise its reason goes to the run.
Outcome outcome_of(MessageRun& run, Status status) {
  if (status.ok()) return Outcome::kContinue;
  run.failure = std::move(status);
  return Outcome::kTempFail;
}

Outcome deliver_to_inbox(MessageRun& run, const Lines* body = nullptr) {
  Outcome stored = outcome_of(run, store_message(run.mailbox.inbox(), run.headers, body));
  if (stored == Outcome::kContinue) run.decision = "delivered";
  return stored;
}

// Stores the message in the queue and records it for the sender. Sets
// queuefile to the stored name.
Outcome hold(MessageRun& run, std::string& queuefile) {
  const Mailbox& box = run.mailbox;
  for (const std::string& dir : {box.state_dir(), box.queue_dir(), box.verifications_dir()})
    if (!is_directory(dir)) make_dir(dir);
  auto name = SendVetter_getqueueid(run.mailbox.emaildir);
  if (!name) return outcome_of(run, Status::failure("draw a free queue id in", box.queue_dir(), 0));
  Outcome stored = outcome_of(run, store_held_message(box.emaildir, run.email, run.headers, *name));
  if (stored != Outcome::kContinue) return stored;
  queuefile = *name;
  run.decision = "held as " + *name;
  return Outcome::kContinue;
}

// Holds the message for the owner and asks the sender nothing; why goes to the system log.
Outcome hold_without_request(MessageRun& run, const std::string& why, const std::string& log_line) {
  log3(run, log_line);
  std::string queuefile;
  Outcome stored = hold(run, queuefile);
  if (stored == Outcome::kContinue) run.decision += " without a challenge: " + why;
  return stored;
}

std::string sender_email_subject(const MessageRun& run) {
  return run.sender + "/" + run.email + "/" + run.subject;
}

std::string email_subject(const MessageRun& run) { return run.email + "/" + run.subject; }

// An automatic answer, unless the address has had its burst of them.
std::string send_answer(MessageRun& run, const std::string& form, const std::string& queuefile) {
  if (may_answer(run.email, run.mailbox.emaildir)) {
    send_form(run, form, queuefile);
    return "answered";
  }
  log3(run, "Not sending automatic answer (loop protection) " + email_subject(run));
  return "not answered (loop protection)";
}

// ---- rows 1 to 3: the challenge protocol itself ----

bool is_own_form_message(MessageRun& run) {
  // An empty identity must not match every message without the header.
  return !run.id.empty() && run.sendvetter == run.id;
}

Outcome drop_own_form_message(MessageRun& run) {
  run.decision = "dropped: our own form message";
  return Outcome::kEndRun;
}

bool is_foreign_request(MessageRun& run) { return !marker_id(foreign_request_marker(), run.subject).empty(); }

Outcome answer_foreign_request(MessageRun& run) {
  log3(run, "Internal ASK verification " + run.email + "/" + run.subject);
  run.decision = "dropped: verification request of another system, " +
                 send_answer(run, "returnverify", marker_id(foreign_request_marker(), run.subject));
  return Outcome::kContinue;
}

bool is_verification_reply(MessageRun& run) { return !marker_id(verification_marker(), run.subject).empty(); }

Outcome answer_verification_reply(MessageRun& run) {
  const std::string id = marker_id(verification_marker(), run.subject);
  // A retried reply whose first run was killed after its release was kept
  // must find the release finished, whether or not its id is still held.
  finish_killed_release(run.mailbox.inbox());
  if (!is_held(run, id)) {
    // Also another installation's request: its owner waits for this answer.
    log3(run, "Internal verification " + run.email + "/" + run.subject);
    run.decision = "dropped: verification reply naming no held message, " + send_answer(run, "returnverify", id);
    return Outcome::kContinue;
  }
  log3(run, "Auto-Whitelisting " + run.email);
  SendVetter_addaddytolist("white", run.email, run.mailbox.emaildir);
  log3(run, "Releasing queue for " + run.email + "/" + run.subject);
  if (!release_held_mail(run.mailbox.emaildir, run.mailbox.inbox(), run.email)) {
    run.failure = Status::failure("release the held mail of", run.email + " into " + run.mailbox.inbox(), 0);
    return Outcome::kTempFail;
  }
  run.decision = "dropped: verification reply, sender white-listed and held mail released";
  return Outcome::kContinue;
}

// ---- rows 4 to 9: everyone else ----

bool on_list(MessageRun& run, const char* list) {
  return SendVetter_checklist(list, run.mailbox.emaildir, run.email, run.to, run.cc, run.subject) == 1;
}

bool is_ignored(MessageRun& run) { return on_list(run, "ignore"); }

Outcome drop_ignored(MessageRun& run) {
  run.decision = "dropped: ignore list";
  return Outcome::kEndRun;
}

bool is_failure_report(MessageRun& run) {
  return (SendVetter_beginmatch(run.email, "mailer-daemon") &&
          SendVetter_beginmatch(run.sender, "mailer-daemon")) ||
         SendVetter_beginmatch(run.sender, "postmaster@");
}

Outcome handle_failure_report(MessageRun& run) {
  log3(run, "Found user as mailer/postmaster " + sender_email_subject(run));
  static const Regex own_header("^x-sendvetter:", Regex::kCaseless);
  static const Regex ask_header("^x-ask-auth:", Regex::kCaseless);
  static const Regex quoted_subject("subject[^:]+:.*verify\\#([^\\)\\s]+)", Regex::kCaseless);
  Lines body;
  std::string line;
  std::vector<std::string> captures;
  while (standard_input().getline(line)) {
    if (own_header.search(line) || ask_header.search(line) ||
        (quoted_subject.search(decode_encoded_words(line), captures) && is_held(run, captures[1]))) {
      log3(run, "Discarding verify bounce from " + sender_email_subject(run));
      run.decision = "dropped: bounce of a challenge";
      return Outcome::kEndRun;
    }
    body.push_back(line);
  }
  return deliver_to_inbox(run, &body);
}

bool is_from_self(MessageRun& run) {
  if (SendVetter_isfromself(run.email, run.mailbox.account, run.conf["froms"]) == 1) return true;
  for (const PackedLines* recipients : {&run.to, &run.cc})
    for (std::string_view recipient : *recipients)
      if (recipient == run.email) return true;
  return false;
}

// Submitted on this host, or by an authenticated client ("asmtp" and its
// current names "esmtpa" / "esmtpsa"); mail servers write the protocol word
// in either case. Postfix's local pickup records no protocol word at all:
// "by host (Postfix, from userid 1001)".
bool is_local_submission(const MessageRun& run) {
  static const Regex local_pickup("^by\\s+\\S+\\s+\\([^()]*, from userid \\d+\\)");
  const std::string transport = ascii_lower(run.transportmethod);
  return transport.find("local") != std::string::npos || transport == "asmtp" ||
         transport == "esmtpa" || transport == "esmtpsa" || local_pickup.search(run.received);
}

Outcome handle_from_self(MessageRun& run) {
  if (is_local_submission(run)) {
    log3(run, "Processing email from self " + sender_email_subject(run));
    return deliver_to_inbox(run);
  }
  return hold_without_request(run, "possibly forged mail from self",
                              "Queuing possibly forged email from self " + sender_email_subject(run));
}

bool is_white_listed(MessageRun& run) { return on_list(run, "white"); }

// A white list keyed on the From header must not let in whoever forges a
// known sender; the request would reach the person forged, so none is sent.
Outcome deliver_unless_forged(MessageRun& run) {
  if (run.from_forged)
    return hold_without_request(run, "sender authentication failed for a white-listed sender",
                                "Holding possibly forged mail from white-listed sender " + email_subject(run));
  return deliver_to_inbox(run);
}

bool is_black_listed(MessageRun& run) { return on_list(run, "black"); }

Outcome answer_black_listed(MessageRun& run) {
  run.decision = "dropped: black list, " + send_answer(run, "blacklist", "");
  return Outcome::kContinue;
}

bool anyone(MessageRun&) { return true; }

// A request to a forged or automated sender would be backscatter: it reaches
// someone who never wrote, or nobody who answers.
Outcome hold_and_challenge(MessageRun& run) {
  if (run.from_forged)
    return hold_without_request(run, "sender authentication failed",
                                "Holding message without verification request (sender authentication failed) " +
                                    email_subject(run));
  const std::string automated = automated_reason(run.headers, run.sender);
  if (!automated.empty())
    return hold_without_request(run, "automated mail (" + automated + ")",
                                "Holding automated message without verification request (" + automated +
                                    ") " + email_subject(run));
  // Past the burst the request is what loops, not the message: keep that.
  if (!SendVetter_loopprotect(run.email, run.mailbox.emaildir))
    return hold_without_request(run, "too many challenges to this sender (loop protection)",
                                "Holding message without verification request (loop protection) " +
                                    email_subject(run));
  log3(run, "Delivering message to queue and asking for verification " + email_subject(run));
  std::string queuefile;
  Outcome stored = hold(run, queuefile);
  if (stored != Outcome::kContinue) {
    loopprotect_uncount(run.email, run.mailbox.emaildir);
    return stored;
  }
  send_form(run, "verify", queuefile);
  run.decision += ", challenged";
  return Outcome::kContinue;
}

struct Row {
  bool (*applies)(MessageRun&);
  Outcome (*act)(MessageRun&);
};

constexpr Row kRows[] = {
    {is_own_form_message, drop_own_form_message},
    {is_foreign_request, answer_foreign_request},
    {is_verification_reply, answer_verification_reply},
    {is_ignored, drop_ignored},
    {is_failure_report, handle_failure_report},
    {is_from_self, handle_from_self},
    {is_white_listed, deliver_unless_forged},
    {is_black_listed, answer_black_listed},
    {anyone, hold_and_challenge},
};

}  // namespace

Outcome run_decision_chain(MessageRun& run) {
  for (const Row& row : kRows)
    if (row.applies(run)) return row.act(run);
  return Outcome::kContinue;
}

}  // namespace Orvane::SendVetter
