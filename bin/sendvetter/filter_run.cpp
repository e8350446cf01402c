// The filter run: set up the account, read the header block, derive the
// per-message values, walk the decision chain, expire stale queue entries.
//
// Statuses: 0 for every handled message; 1 for an unknown account (message
// on standard output) or an unreadable random device; 75 when the email
// directories are missing (message on standard error) or the message could
// not be stored, so the mail server keeps it and retries.
#include <iostream>

#include "Orvane/SendVetter/account/account.h"
#include "Orvane/SendVetter/account/config.h"
#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/log/log.h"
#include "Orvane/SendVetter/message/authresults.h"
#include "Orvane/SendVetter/message/header_block.h"
#include "Orvane/SendVetter/message/message.h"
#include "Orvane/SendVetter/storage/storage.h"
#include "Orvane/SendVetter/types.h"
#include "bin/exit_status.h"
#include "bin/sendvetter/message_run.h"

namespace Orvane::SendVetter {

namespace {

int exit_status_of(Outcome outcome) {
  return outcome == Outcome::kTempFail ? kExitTempFail : kExitHandled;
}

}  // namespace

void log3(const MessageRun& run, const std::string& text) { SendVetter_clog(3, run.mailbox.emaildir, text); }

const std::string& MessageRun::webdomain() {
  if (!webdomain_) webdomain_ = SendVetter_getwebdomain(mailbox.domain);
  return *webdomain_;
}

int filter_run(const std::string& account) {
  MessageRun run;
  MailboxProblem problem;
  run.mailbox = resolve_mailbox(account, problem);
  if (problem == MailboxProblem::kNoHome) {
    std::cout << problem_message(problem, account) << std::flush;
    return kExitUnknownAccount;
  }
  if (problem == MailboxProblem::kNoEmailDirs) {
    std::cerr << problem_message(problem, account) << std::endl;
    return kExitTempFail;
  }

  auto id = SendVetter_getourid(run.mailbox.emaildir);
  if (!id) return kExitNoRandomData;
  run.id = *id;
  run.conf = SendVetter_loadconf(run.mailbox.emaildir, account);

  run.headers = SendVetter_getheaders();
  run.sender = SendVetter_getsender(run.headers);
  const std::string from = SendVetter_getheader("from", run.headers);
  run.email = remove_dot_pairs(SendVetter_extractaddress(from));
  if (run.email.empty()) {
    log3(run, "Setting from email address to " + run.sender +
                  " (sender) because the From: header was invalid.");
    run.email = run.sender;
  }
  if (run.email.empty()) {
    log3(run, "Discarding malformed message from sender:" + run.sender +
                  " due to invalid From: header (" + from + ")");
    return kExitHandled;
  }

  run.subject = SendVetter_getheader("subject", run.headers);
  run.sendvetter = SendVetter_getheader("x-sendvetter", run.headers);
  run.received = SendVetter_getheader("received", run.headers);
  run.transportmethod = SendVetter_gettransportmethod(run.received);
  run.to = recipient_addresses("to", run.headers);
  run.cc = recipient_addresses("cc", run.headers);
  run.returnaddy = SendVetter_findreturnaddy(account, run.conf["froms"], run.to, run.cc);
  const std::size_t at = run.email.rfind('@');
  run.from_forged = from_domain_failed(run.headers, load_system_conf()["authserv-id"],
                                       at == std::string::npos ? std::string() : run.email.substr(at + 1));

  Outcome outcome = run_decision_chain(run);
  if (outcome == Outcome::kContinue) SendVetter_checkdeadq(run.mailbox.emaildir, run.conf);
  // Reported once, here: the mail server logs what the filter says on
  // standard error beside the deferral.
  if (outcome == Outcome::kTempFail && !run.failure.ok()) std::cerr << run.failure.message() << std::endl;
  return exit_status_of(outcome);
}

}  // namespace Orvane::SendVetter
