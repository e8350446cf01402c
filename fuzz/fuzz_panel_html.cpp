// Fuzz target: the panel's HTML. Every request value (account, logdate,
// showfile, bxaction, search field and string, editfile, resetfile, the
// web server's SCRIPT_URI, the panel user, the handoff program's account
// list) and every stored text shown (queue file names, From and Subject
// headers, bodies, log lines, settings, form file names) is fuzzed; the
// captured page fragments must keep the rules of html_check.h.
#include <cstdint>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <sys/stat.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/host_paths.h"
#include "Orvane/SendVetter/base/text.h"
#include "fuzz_common.h"
#include "html_check.h"

using namespace Orvane::SendVetter;

namespace {

struct Host {
  std::string root, home, forms, pops;
};

const Host& host() {
  static const Host made = [] {
    Host h;
    h.root = fuzz::scratch() + "/panel";
    h.home = h.root + "/home/alice";
    h.forms = h.root + "/forms";
    h.pops = h.root + "/pops.txt";
    for (const std::string& dir : {h.root + "/etc", h.home + "/etc/example.com", h.home + "/mail/example.com",
                                   h.forms, h.root + "/panelroot"})
      fuzz::make_dirs(dir);
    fuzz::write_file(h.root + "/etc/passwd", "alice:x:1000:1000:Alice:" + h.home + ":/bin/sh\n");
    fuzz::write_file(h.root + "/etc/userdomains", "example.com: alice\n");
    for (const char* form : {"verify.txt", "blacklist.txt", "returnverify.txt"})
      fuzz::write_file(h.forms + "/" + form, "Subject: form\n\ntext\n");
    const std::string program = h.root + "/panelroot/orvane-email";
    fuzz::write_file(program, "#!/bin/sh\ncat '" + h.pops + "'\n");
    ::chmod(program.c_str(), 0755);
    host_paths().passwd = h.root + "/etc/passwd";
    host_paths().userdomains = h.root + "/etc/userdomains";
    host_paths().formdir = h.forms;
    Orvane::root = h.root + "/panelroot";
    return h;
  }();
  return made;
}

// A name a directory can hold: no "/" or NUL, not "." or "..".
std::string file_name(std::string name) {
  name = remove_char(remove_char(name, '/'), '\0');
  if (name.empty() || name == "." || name == "..") name = "q.msg";
  return name.substr(0, 200);
}

void set_mtime(const std::string& path, long long when) {
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(when);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Host& h = host();
  FuzzedDataProvider in(data, size);

  std::string account;
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: account = "alice"; break;
    case 1: account = "info@example.com"; break;
    default:
      // Any text, but no ".." (directory creation from a climbing account
      // name is a test of its own, with a canary, not something to let loose
      // on this host's file system).
      account = in.ConsumeRandomLengthString(48);
      while (account.find("..") != std::string::npos) account.replace(account.find(".."), 2, "x");
  }
  const std::string logdate = in.ConsumeRandomLengthString(24);
  const std::string showfile = in.ConsumeRandomLengthString(48);
  const std::string bxaction = in.ConsumeRandomLengthString(48);
  const std::string editfile = in.ConsumeRandomLengthString(32);
  const std::string resetfile = in.ConsumeRandomLengthString(32);
  const std::string script_uri = in.ConsumeRandomLengthString(48);
  static const char* const kFields[] = {"sender", "subject", "body", "other"};
  const std::string field = kFields[in.ConsumeIntegralInRange(0, 3)];
  const std::string search = in.ConsumeRandomLengthString(32);
  const std::string queuename = file_name(in.ConsumeRandomLengthString(64));
  const std::string from = in.ConsumeRandomLengthString(96);
  const std::string subject = in.ConsumeRandomLengthString(96);
  const std::string body = in.ConsumeRandomLengthString(256);
  const std::string logtext = in.ConsumeRandomLengthString(256);
  const std::string conf = in.ConsumeRandomLengthString(128);
  const std::string formname = file_name(in.ConsumeRandomLengthString(32));
  const std::string actions = in.ConsumeRandomLengthString(48);
  const bool list_accounts = in.ConsumeBool();
  Orvane::user = in.ConsumeRandomLengthString(48);
  const std::string pops = in.ConsumeRemainingBytesAsString();

  // The stored texts, for the account the request names when it resolves.
  auto [homedir, domain] = SendVetter_getaccountinfo(account);
  auto [emaildir, deliverdir] =
      homedir.empty() ? std::pair<std::string, std::string>() : SendVetter_getemaildirs(account, homedir);
  const long long day = logdate.empty() ? static_cast<long long>(::time(nullptr)) : leading_integer(logdate);
  if (!emaildir.empty()) {
    for (const char* dir : {"/sendvetter", "/sendvetter/queue", "/sendvetter/log"}) fuzz::make_dirs(emaildir + dir);
    const std::string queued = emaildir + "/sendvetter/queue/" + queuename;
    fuzz::write_file(queued, "From someone@example.org Mon Jan  1 00:00:00 2024\nFrom: " + from +
                                 "\nSubject: " + subject + "\n\n" + body);
    if (day >= 0 && day < (1LL << 33)) set_mtime(queued, day);
    Lines date = SendVetter_nicedate(day);
    fuzz::write_file(emaildir + "/sendvetter/log/" + date[0] + "-" + date[1] + "-" + date[2] + ".log", logtext);
    fuzz::write_file(emaildir + "/sendvetter.conf", conf);
  }
  fuzz::write_file(h.forms + "/" + formname, "x");
  fuzz::write_file(h.pops, pops);
  ::setenv("SCRIPT_URI", script_uri.c_str(), 1);

  std::string html;
  {
    fuzz::CaptureStdout capture;
    SendVetter_showqueue(logdate, account, showfile, bxaction);
    SendVetter_showqueuesearch(field, search, account, showfile, bxaction);
    SendVetter_logcontrols(logdate, account, bxaction);
    SendVetter_listmsgs(account, editfile, resetfile);
    SendVetter_showlog(logdate, account);
    SendVetter_showmessage(account, logdate, queuename);
    SendVetter_status(account);
    SendVetter_statusbutton(account);
    SendVetter_showemails(account);
    SendVetter_showqueuetime(account);
    SendVetter_messageaction(account, logdate, queuename, actions);
    if (list_accounts) SendVetter_accountmanagelist(showfile);
    html = capture.finish();
  }
  const std::string wrong = htmlcheck::problem(html);
  if (!wrong.empty()) fuzz::fail("panel HTML: " + wrong, html);

  // Back to the fixed state: only the two known mailboxes and three forms.
  ::unlink((h.forms + "/" + formname).c_str());
  for (const char* form : {"verify.txt", "blacklist.txt", "returnverify.txt"})
    fuzz::write_file(h.forms + "/" + form, "Subject: form\n\ntext\n");
  fuzz::remove_tree(h.home + "/etc");
  fuzz::remove_tree(h.home + "/mail");
  fuzz::make_dirs(h.home + "/etc/example.com");
  fuzz::make_dirs(h.home + "/mail/example.com");
  return 0;
}
