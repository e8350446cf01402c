// The filter run: set up the account, read the header block, derive the
// per-message values, walk the decision chain, expire stale queue entries.
//
// Started as root (a mail server's pipe without a user), the run first
// becomes the owner of the account's home, from the passwd entry the account
// lookup reads, so that every file it creates belongs to the owner; it
// touches no file before.
//
// Statuses (exit_status.h): 0 for every handled message; 1 for an unknown
// account (message on standard output); 75 when the run cannot become the owner,
// the email directories are missing (message on standard error), no random
// data can be read, or the message could not be stored, so the mail server
// keeps it and retries.
//
// Every message leaves one line in the system log: account, envelope sender,
// From address, Message-ID and what became of it.
#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

#include "Orvane/SendVetter/account/account.h"
#include "Orvane/SendVetter/account/config.h"
#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/host_paths.h"
#include "Orvane/SendVetter/base/status.h"
#include "Orvane/SendVetter/log/log.h"
#include "Orvane/SendVetter/log/syslog.h"
#include "Orvane/SendVetter/message/authresults.h"
#include "Orvane/SendVetter/message/envelope.h"
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

void log_decision(const MessageRun& run, const std::string& decision) {
  system_log("account=" + run.mailbox.account + " sender=" + run.sender + " from=" + run.email +
             " message-id=" + SendVetter_getheader("message-id", run.headers) + ": " + decision);
}

// Becomes the owner of the account (user, group and the owner's groups) when
// started as root. An account without a passwd entry is left to the lookup,
// which reports it unknown without touching a file. A failure means nothing
// may be written: the process may still be root.
Status become_owner(const std::string& account) {
  if (::geteuid() != 0) return {};
  const std::string owner = account_owner(account);
  auto ids = owner.empty() ? std::nullopt : owner_ids(owner);
  if (!ids) return {};
  if (!ids->valid)
    return Status::failure("read a numeric user and group id from the passwd entry of", owner, 0);
  if (::initgroups(ids->name.c_str(), ids->gid) != 0 || ::setgid(ids->gid) != 0 ||
      ::setuid(ids->uid) != 0)
    return Status::failure("switch to user", owner, errno);
  // A process that could regain root has not really left it.
  if (ids->uid != 0 && ::setuid(0) == 0) return Status::failure("leave root for user", owner, 0);
  return {};
}

}  // namespace

void log3(const MessageRun& run, const std::string& text) { SendVetter_clog(3, run.mailbox.emaildir, text); }

const std::string& MessageRun::webdomain() {
  if (!webdomain_) webdomain_ = SendVetter_getwebdomain(mailbox.domain);
  return *webdomain_;
}

int filter_run(const std::string& account) {
  MessageRun run;
  run.mailbox.account = account;

  // Reported like every other deferral: once on standard error, and in the
  // system log.
  if (Status owner = become_owner(account); !owner.ok()) {
    std::cerr << owner.message() << std::endl;
    log_decision(run, "deferred: " + owner.message());
    return kExitCannotBecomeOwner;
  }

  MailboxProblem problem;
  run.mailbox = resolve_mailbox(account, problem);
  if (problem == MailboxProblem::kNoHome) {
    std::cout << problem_message(problem, account) << std::flush;
    log_decision(run, "refused: unknown account");
    return kExitUnknownAccount;
  }
  if (problem == MailboxProblem::kNoEmailDirs) {
    std::cerr << problem_message(problem, account) << std::endl;
    log_decision(run, "deferred: " + problem_message(problem, account));
    return kExitTempFail;
  }

  auto id = SendVetter_getourid(run.mailbox.emaildir);
  if (!id) {
    log_decision(run, "deferred: " + Status::failure("read random data from", host_paths().urandom, 0).message());
    return kExitNoRandomData;
  }
  run.id = *id;
  run.conf = SendVetter_loadconf(run.mailbox.emaildir, account);

  run.headers = SendVetter_getheaders();
  run.sender = SendVetter_getsender(run.headers);
  // Decisions use the sender as the message brought it; the line written
  // here only keeps the message apart from the one before it in the file.
  if (!has_envelope_line(run.headers)) {
    const char* passed = std::getenv("SENDER");
    run.headers.push_front(envelope_line(run.headers, passed ? passed : "", std::time(nullptr)));
  }
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
    log_decision(run, "dropped: no From address and no envelope sender");
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
  // Reported once, here: the mail server logs what the filter says on
  // standard error beside the deferral, and the system log gets the same reason.
  if (outcome == Outcome::kTempFail) {
    const std::string reason =
        run.failure.ok() ? std::string("the message could not be stored") : run.failure.message();
    if (!run.failure.ok()) std::cerr << reason << std::endl;
    run.decision = "deferred: " + reason;
  } else if (run.decision.empty()) {
    run.decision = "handled";
  }
  log_decision(run, run.decision);
  if (outcome == Outcome::kContinue) SendVetter_checkdeadq(run.mailbox.emaildir, run.conf);
  return exit_status_of(outcome);
}

}  // namespace Orvane::SendVetter
