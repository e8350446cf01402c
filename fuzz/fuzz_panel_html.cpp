// Fuzz target: the panel's HTML. Every request value (account, logdate,
// showfile, bxaction, search field and string, editfile, resetfile, the
// web server's SCRIPT_URI, the panel user, the handoff program's account
// list) and every stored text shown (queue file names, From and Subject
// headers, bodies, log lines, settings, form file names) is fuzzed. The
// captured page fragments must be text and tags of the panel's own small
// vocabulary only, every attribute value well formed (a double-quoted value
// holds no angle bracket, an unquoted one no quote, bracket or "="), text
// without a raw ">" or double quote, and a link's query must name each known
// parameter at most once. A request value that breaks out of its attribute
// or its text cell shows up as a broken rule.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/host_paths.h"
#include "Orvane/SendVetter/base/text.h"
#include "fuzz_common.h"

using namespace Orvane::SendVetter;

// Empty when the output keeps the rules, else what is wrong and where.
static std::string html_problem(const std::string& html) {
  static const std::set<std::string> tags = {"tr", "td", "a", "form", "input"};
  static const std::set<std::string> attributes = {"href", "align", "action", "type", "name", "value"};
  static const std::set<std::string> query_keys = {"t", "account", "q", "bxaction", "action", "logdate"};
  const std::size_t n = html.size();
  std::size_t i = 0;
  auto where = [&](std::size_t at) {
    return " at " + std::to_string(at) + ": ..." + html.substr(at - std::min<std::size_t>(at, 40), 80) + "...";
  };
  auto word = [&] {
    const std::size_t start = i;
    while (i < n && std::isalpha(static_cast<unsigned char>(html[i]))) ++i;
    return html.substr(start, i - start);
  };
  while (i < n) {
    if (html[i] == '>' || html[i] == '"') return std::string("raw ") + html[i] + " in text" + where(i);
    if (html[i++] != '<') continue;
    const std::size_t tag_start = i - 1;
    if (i < n && html[i] == '/') ++i;
    if (const std::string tag = word(); !tags.count(tag)) return "unknown tag \"" + tag + "\"" + where(tag_start);
    for (;;) {
      while (i < n && html[i] == ' ') ++i;
      if (i >= n) return "unterminated tag" + where(tag_start);
      if (html[i] == '>') { ++i; break; }
      const std::size_t attr_start = i;
      const std::string attr = word();
      if (!attributes.count(attr)) return "unknown attribute \"" + attr + "\"" + where(attr_start);
      if (i >= n || html[i] != '=') continue;
      std::string value;
      if (++i < n && html[i] == '"') {
        const std::size_t close = html.find('"', i + 1);
        if (close == std::string::npos) return "unterminated attribute value" + where(attr_start);
        value = html.substr(i + 1, close - i - 1);
        i = close + 1;
        if (value.find_first_of("<>") != std::string::npos) return "angle bracket inside attribute " + attr + where(attr_start);
        if (i < n && html[i] != ' ' && html[i] != '>') return "text glued to a quoted value (quote broke out)" + where(i);
      } else {
        const std::size_t start = i;
        while (i < n && html[i] != ' ' && html[i] != '>') ++i;
        // An empty value (attr=>) is harmless: the ">" still ends the tag.
        value = html.substr(start, i - start);
        if (value.find_first_of("\"'<=`\t\n\r") != std::string::npos)
          return "unsafe character in unquoted attribute " + attr + where(attr_start);
      }
      if (attr != "href" || value.find('?') == std::string::npos) continue;
      std::set<std::string> seen;
      for (std::size_t pos = value.find('?') + 1; pos <= value.size();) {
        const std::size_t amp = std::min(value.find('&', pos), value.size());
        const std::string key = value.substr(pos, std::min(value.find('=', pos), amp) - pos);
        if (!query_keys.count(key)) return "unknown query parameter \"" + key + "\"" + where(attr_start);
        if (!seen.insert(key).second) return "query parameter \"" + key + "\" twice" + where(attr_start);
        pos = amp + 1;
      }
    }
  }
  return {};
}

// A name a directory can hold: no "/" or NUL, not "." or "..".
static std::string file_name(std::string name) {
  name = remove_char(remove_char(name, '/'), '\0').substr(0, 200);
  return name.empty() || name == "." || name == ".." ? "q.msg" : name;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The host: alice's two mailboxes, three forms, a handoff program that lists the fuzzed accounts.
  static const std::string root = [] {
    const std::string r = fuzz::scratch("panel"), program = fuzz::scratch("panel/panelroot") + "/orvane-email";
    fuzz::write_file(fuzz::scratch("panel/etc") + "/passwd", "alice:x:1000:1000:Alice:" + r + "/home/alice:/bin/sh\n");
    fuzz::write_file(r + "/etc/userdomains", "example.com: alice\n");
    fuzz::write_file(program, "#!/bin/sh\ncat '" + r + "/pops.txt'\n");
    ::chmod(program.c_str(), 0755);
    host_paths().passwd = r + "/etc/passwd";
    host_paths().userdomains = r + "/etc/userdomains";
    host_paths().formdir = fuzz::scratch("panel/forms");
    Orvane::root = r + "/panelroot";
    return r;
  }();
  // Back to the fixed state each run: alice's two mailboxes empty, the three forms only.
  for (const char* dir : {"/home/alice/etc", "/home/alice/mail", "/forms"}) std::filesystem::remove_all(root + dir);
  for (const char* dir : {"/home/alice/etc/example.com", "/home/alice/mail/example.com", "/forms"}) fuzz::scratch("panel" + std::string(dir));
  for (const char* form : {"verify.txt", "blacklist.txt", "returnverify.txt"})
    fuzz::write_file(root + "/forms/" + form, "Subject: form\n\ntext\n");

  FuzzedDataProvider in(data, size);
  // A known account or any text, but no ".." (directory creation from a
  // climbing account name is a test of its own, with a canary, not something
  // to let loose on this host's file system).
  const int known = in.ConsumeIntegralInRange(0, 2);
  std::string account = known == 0 ? "alice" : known == 1 ? "info@example.com" : in.ConsumeRandomLengthString(48);
  for (std::size_t at; (at = account.find("..")) != std::string::npos;) account.replace(at, 2, "x");
  auto text = [&in](std::size_t most) { return in.ConsumeRandomLengthString(most); };
  const std::string logdate = text(24), showfile = text(48), bxaction = text(48), editfile = text(32),
                    resetfile = text(32), script_uri = text(48);
  const std::string field = in.PickValueInArray({"sender", "subject", "body", "other"});
  const std::string search = text(32), queuename = file_name(text(64)), from = text(96), subject = text(96), body = text(256),
                    logtext = text(256), conf = text(128), formname = file_name(text(32)), actions = text(48);
  const bool list_accounts = in.ConsumeBool();
  Orvane::user = text(48);
  fuzz::write_file(root + "/pops.txt", in.ConsumeRemainingBytesAsString());

  // The stored texts, for the account the request names when it resolves.
  auto [homedir, domain] = SendVetter_getaccountinfo(account);
  const std::string emaildir = homedir.empty() ? "" : SendVetter_getemaildirs(account, homedir).first;
  const long long day = logdate.empty() ? static_cast<long long>(::time(nullptr)) : leading_integer(logdate);
  if (!emaildir.empty()) {
    for (const char* dir : {"/sendvetter/queue", "/sendvetter/log"}) std::filesystem::create_directories(emaildir + dir);
    const std::string queued = emaildir + "/sendvetter/queue/" + queuename;
    fuzz::write_file(queued, "From someone@example.org Mon Jan  1 00:00:00 2024\nFrom: " + from + "\nSubject: " +
                                 subject + "\n\n" + body);
    const struct timespec when[2] = {{static_cast<time_t>(day), 0}, {static_cast<time_t>(day), 0}};
    if (day >= 0 && day < (1LL << 33)) ::utimensat(AT_FDCWD, queued.c_str(), when, 0);
    const Lines date = SendVetter_nicedate(day);
    fuzz::write_file(emaildir + "/sendvetter/log/" + date[0] + "-" + date[1] + "-" + date[2] + ".log", logtext);
    fuzz::write_file(emaildir + "/sendvetter.conf", conf);
  }
  fuzz::write_file(host_paths().formdir + "/" + formname, "x");
  ::setenv("SCRIPT_URI", script_uri.c_str(), 1);

  // The panel writes its pages to std::cout (child programs' output is read through pipes).
  std::ostringstream captured;
  std::streambuf* const standard_output = std::cout.rdbuf(captured.rdbuf());
  {
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
  }
  std::cout.rdbuf(standard_output);
  const std::string wrong = html_problem(captured.str());
  fuzz::check(wrong.empty(), "panel HTML: " + wrong, captured.str());
  return 0;
}
