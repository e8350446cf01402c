// Hostile input through the real filter and panel programs: list rules and
// search strings with catastrophic backtracking, malformed and oversized
// messages, names that try to climb out of the account's directories, and
// request values that try to break out of the panel's HTML. Nothing may
// crash, hang (each child gets an alarm), write outside the account's
// directories, or break the page.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <sys/stat.h>
#include <set>
#include <unistd.h>

#include "Orvane/SendVetter/base/text.h"
#include "fuzz/html_check.h"
#include "sandbox.h"

using sandbox::Sandbox;

namespace {

#ifndef SENDVETTER_NO_SANDBOX

// Every child program is killed by SIGALRM after this long: a hang fails
// the test instead of stalling the suite.
constexpr unsigned kHangSeconds = 120;

void arm_alarm(Sandbox& box) {
  box.set_child_setup([] { ::alarm(kHangSeconds); });
}

std::string message(const std::string& from, const std::string& subject, const std::string& body,
                    const std::string& extra_headers = "") {
  return "From " + from + " Mon Jan  1 00:00:00 2024\nFrom: " + from + "\nTo: bob@host.example.test\nSubject: " +
         subject + "\n" + extra_headers + "\n" + body;
}

struct Mailbox {
  Sandbox box;
  std::string home, emaildir, inbox, queue;
  Mailbox() {
    home = box.add_user("bob");
    emaildir = home + "/etc";
    inbox = home + "/mail/inbox";
    queue = emaildir + "/sendvetter/queue";
    arm_alarm(box);
    box.filter("bob", "From: nobody\n\n");
  }
  std::vector<std::string> queued() const {
    std::vector<std::string> names;
    for (const std::string& name : sandbox::list(queue))
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".msg") == 0) names.push_back(name);
    return names;
  }
};

TEST(Hostile, BacktrackingListRulesEndAsNoMatch) {
  Mailbox m;
  const std::string long_a(30000, 'a');
  // Each rule explodes on its text and can never match it; none may hang.
  // The last, harmless rule shows that reading goes on after them.
  sandbox::write(m.emaildir + "/.sendvetter/white-list.txt",
                 "from (a+)+$\n"
                 "from ^(a|aa)+$\n"
                 "subject ^(\\w+\\s?)*$\n"
                 "subject (.*a){25}(?:y|z)\n"
                 "to (?:a*)*z$\n"
                 "cc ((a+)+)+(?:b|c)\n"
                 "subject ^plain subject$\n");
  sandbox::write(m.emaildir + "/.sendvetter/black-list.txt", "from (x+x+)+y\n");
  const std::string sender = long_a + "!@example.org";
  const std::string hostile = "From " + sender + " Mon\nFrom: " + sender + "\nTo: " + long_a +
                              "!@example.org\nCc: " + long_a + "!@example.org\nSubject: " + long_a + " " +
                              long_a + "!\n\nbody\n";
  auto r = m.box.filter("bob", hostile);
  // The address is too long to name a verifications record: the message
  // cannot be held, which is a 75; what matters here is that it ended.
  EXPECT_TRUE(r.status == 0 || r.status == 75) << r.status << " " << r.err;
  EXPECT_FALSE(sandbox::exists(m.inbox)) << "a rule matched";

  // The same with a sender that can be held: no rule matched, so it is.
  const std::string held = "From x@example.org Mon\nFrom: x@example.org\nTo: " + long_a +
                           "!@example.org\nSubject: " + long_a + " " + long_a + "!\n\nbody\n";
  r = m.box.filter("bob", held);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(m.queued().size(), 1u);
  EXPECT_FALSE(sandbox::exists(m.inbox)) << "a rule matched";

  // The same lists still work for an ordinary sender: the last rule matches.
  const std::string plain = message("friend@example.org", "plain subject", "hello\n");
  EXPECT_EQ(m.box.filter("bob", plain).status, 0);
  EXPECT_TRUE(sandbox::read(m.inbox) == sandbox::stored_form(plain));
}

TEST(Hostile, BacktrackingSearchStringsGiveNoResults) {
  Mailbox m;
  const std::string long_a(30000, 'a');
  // (The display name is shorter: long quoted names are a test of their own.)
  ASSERT_EQ(m.box.filter("bob", "From x@example.org Mon\nFrom: \"" + long_a.substr(0, 3000) +
                                    "!\" <x@example.org>\nSubject: " + long_a + "!\n\n" + long_a + "!\n" + long_a +
                                    "\n")
                .status,
            0);
  ASSERT_EQ(m.queued().size(), 1u);
  const std::string hostile = m.queued()[0];
  // An ordinary message beside it must still be found by the patterns that
  // match it: the stranger's message only fails to match.
  ASSERT_EQ(m.box.filter("bob", "From y@example.org Mon\nFrom: \"aaa\" <y@example.org>\nSubject: aaa\n\naaa\n").status, 0);
  ASSERT_EQ(m.queued().size(), 2u);
  const std::string ordinary = m.queued()[m.queued()[0] == hostile ? 1 : 0];
  const std::string no_results = "<tr><td>No Search Results</td>\n<td>NA</td><td>NA</td><td>NA</td>\n</tr>\n";
  for (const char* field : {"sender", "subject", "body"}) {
    for (const char* pattern : {"(a+)+$", "^(a|aa)+$"}) {
      auto r = m.box.panel({"SendVetter_showqueuesearch", field, pattern, "bob", "showmsg.html", "view"});
      EXPECT_EQ(r.status, 0) << field << " " << pattern;
      EXPECT_NE(r.out.find(ordinary), std::string::npos) << field << " " << pattern;
      EXPECT_EQ(r.out.find(hostile), std::string::npos) << field << " " << pattern;
    }
    for (const char* pattern : {"(.*a){25}(?:y|z)", "((a+)+)+(?:b|c)", "[unclosed"}) {
      auto r = m.box.panel({"SendVetter_showqueuesearch", field, pattern, "bob", "showmsg.html", "view"});
      EXPECT_EQ(r.status, 0) << field << " " << pattern;
      EXPECT_EQ(r.out, no_results) << field << " " << pattern;
    }
  }
  // An ordinary search still finds it.
  auto r = m.box.panel({"SendVetter_showqueuesearch", "subject", "a!$", "bob", "showmsg.html", "view"});
  EXPECT_NE(r.out.find(hostile), std::string::npos);
}

TEST(Hostile, LongHeaderValuesCostLinearTimeNotQuadratic) {
  // Patterns that are harmless at each start position can still rescan the
  // rest of the text from every position: a quoted display name of 100 KB
  // (accepted by common mail servers) in the From header, and an ordinary
  // owner rule against a 100 KB subject. Linear work ends in well under a
  // second; the quadratic kind runs for minutes and meets the alarm here.
  Mailbox m;
  m.box.set_child_setup([] { ::alarm(60); });
  sandbox::write(m.emaildir + "/.sendvetter/black-list.txt", "subject free.*money\n");
  std::string subject;
  while (subject.size() < 100000) subject += "free ";
  const std::string input = "From x@example.org Mon\nFrom: \"" + std::string(100000, 'a') +
                            "!\" <x@example.org>\nSubject: " + subject + "y\n\nbody\n";
  auto r = m.box.filter("bob", input);
  EXPECT_EQ(r.status, 0) << (r.status == 128 + SIGALRM ? "still running after 60 s" : r.err);
  EXPECT_EQ(m.queued().size(), 1u);
}

TEST(Hostile, MalformedAndOversizedMessagesAreHandledWhole) {
  Mailbox m;
  sandbox::write(m.emaildir + "/.sendvetter/white-list.txt", "from ^friend@example\\.org$\n");
  const std::string friend_ = "friend@example.org";
  std::string many_headers, long_to = "To: ", nul_body = "nul";
  for (int i = 0; i < 50000; ++i) many_headers += "X-H" + std::to_string(i) + ": v\n";
  for (int i = 0; i < 20000; ++i) long_to += "r" + std::to_string(i) + "@example.com, ";
  nul_body += std::string(3, '\0') + "bytes\n";
  const std::vector<std::string> inputs = {
      message(friend_, std::string(1 << 20, 's'), "one megabyte subject\n"),
      message(friend_, "many headers", "body\n", many_headers),
      message(friend_, "nul\0in subject", nul_body, "X-Nul: a\0b\n"),
      "From friend@example.org Mon\r\nFrom: friend@example.org\r\nSubject: cr\rlone\r\n\r\nbody\r\nx\r",
      "From friend@example.org Mon\nFrom:\n friend@example.org\nSubject: folded\n\nb\n",
      "From friend@example.org Mon\nFrom: friend@example.org\nSubject: header only, no line end",
      message(friend_, "long to", "b\n", long_to + "\n"),
      message(friend_, "quotes", "b\n", "Reply-To: " + std::string(20000, '"') + std::string(20000, '<') + "\n"),
      message(friend_, "From line in body", "From friend@example.org Tue\nFrom: forged@x\n\nnot a header\n"),
  };
  std::string expected_inbox;
  for (const std::string& input : inputs) {
    auto r = m.box.filter("bob", input);
    EXPECT_EQ(r.status, 0) << input.substr(0, 80) << " | " << r.err.substr(0, 200);
    expected_inbox += sandbox::stored_form(input);
  }
  EXPECT_TRUE(sandbox::read(m.inbox) == expected_inbox) << "a delivered message is not stored as received";

  // Inputs that deliver nothing: still answered, nothing left half-done.
  const std::vector<std::string> dropped = {
      "", "\n", "\r\n\r\n", std::string(100000, '\0'), "no header block at all",
      "From: <>\nSubject: no address\n\nb\n", std::string(70000, 'x') + "\n\nbody\n",
  };
  for (const std::string& input : dropped) {
    auto r = m.box.filter("bob", input);
    EXPECT_TRUE(r.status == 0) << "status " << r.status << " for " << input.substr(0, 40);
  }
  // An unknown sender whose address is too long to name a file: held
  // whole, or answered 75 with nothing left behind.
  const std::string long_sender = std::string(400, 'l') + "@example.org";
  const auto before = m.queued().size();
  auto r = m.box.filter("bob", message(long_sender, "long sender", "b\n"));
  EXPECT_TRUE(r.status == 0 || r.status == 75) << r.status;
  EXPECT_EQ(m.queued().size(), before + (r.status == 0 ? 1u : 0u));
  for (const std::string& path : sandbox::tree(m.home)) EXPECT_EQ(path.find(".lock"), std::string::npos) << path;
}

// Everything below root except the mailbox's own directories and the
// sandbox's capture of sent mail: what a path attack must not change.
std::map<std::string, std::string> outside(const std::string& root, const std::set<std::string>& allowed) {
  std::map<std::string, std::string> snapshot;
  for (const std::string& path : sandbox::tree(root)) {
    bool inside = path.rfind("sent/", 0) == 0;
    for (const std::string& prefix : allowed) inside = inside || path.rfind(prefix, 0) == 0;
    if (inside) continue;
    snapshot[path] = path.back() == '/' ? "" : sandbox::read(root + "/" + path);
  }
  return snapshot;
}

TEST(Hostile, NamesNeverReachOutsideTheAccountsDirectories) {
  Sandbox box;
  arm_alarm(box);
  const std::string home = box.add_user("bob");
  box.add_domain("example.com", "bob");
  ::mkdir((home + "/etc").c_str(), 0700);
  ::mkdir((home + "/mail").c_str(), 0700);
  ::mkdir((home + "/etc/example.com").c_str(), 0700);
  ::mkdir((home + "/mail/example.com").c_str(), 0700);
  ASSERT_EQ(box.filter("bob", "From: nobody\n\n").status, 0);
  ASSERT_EQ(box.filter("info@example.com", "From: nobody\n\n").status, 0);
  // Canaries next to the home directory and at the sandbox's top.
  sandbox::write(box.root() + "/home/canary.txt", "canary\n");
  sandbox::write(box.root() + "/canary.txt", "canary\n");
  sandbox::write(home + "/canary.txt", "canary\n");
  // A held message, so that queue actions have something real beside them.
  ASSERT_EQ(box.filter("bob", "From stranger@example.org Mon\nFrom: stranger@example.org\nSubject: s\n\nb\n").status, 0);
  const std::set<std::string> allowed = {"home/bob/etc/", "home/bob/mail/"};
  const auto before = outside(box.root(), allowed);

  const std::string climb = "../../../../../../../../";
  const std::vector<std::string> accounts = {
      "../bob", "bob/../..", "bob/..", "..", "../../etc/passwd", climb + "canary.txt",
      climb + "tmp/sendvetter-escape@example.com", "../../..@example.com", "..@example.com",
      "../../../newdir@example.com", "info/../../..@example.com", "info@example.com/../..",
      "bob\n../x", std::string("bob\0../x", 8), "bo\tb", std::string(5000, '.') + "@example.com",
      std::string(10000, 'b'), "@example.com", "/@example.com",
  };
  const std::string hostile_message = "From x@y Mon\nFrom: " + climb + "canary@x\nSubject: verify#" + climb +
                                      "canary\n\nbody\n";
  for (const std::string& account : accounts) {
    auto r = box.filter(account, hostile_message);
    EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 75) << account.substr(0, 60) << ": " << r.status;
    for (const char* function : {"SendVetter_showqueue", "SendVetter_showlog", "SendVetter_getboxconfdir",
                                        "SendVetter_status", "SendVetter_showemails", "SendVetter_showqueuetime"})
      EXPECT_EQ(box.panel({function, account, account}).status, 0);
    box.panel({"SendVetter_changestatus", account, "Enable"});
    box.panel({"SendVetter_changestatus", account, "Disable"});
    box.panel({"SendVetter_saveconf", account, "a@b", "15"});
    box.panel({"SendVetter_editmsg", account, "verify.txt"});
    box.panel({"SendVetter_resetmsg", account, "verify.txt"});
    box.panel({"SendVetter_messageaction", account, "", "x.msg", "whitelist,deliver,deliverall,delete"});
  }

  // Queue and form names that try to climb, on a real account.
  const std::vector<std::string> names = {
      "../../../canary.txt", climb + "canary.txt", "....//....//canary.txt", "/etc/passwd", "..", ".", "",
      "..././..././canary.txt", "../canary.txt", "%2e%2e/canary.txt", "x/../../../../canary.txt",
      std::string(5000, 'q'), "a\nb", climb + "home/canary.txt",
  };
  for (const std::string& name : names) {
    for (const char* account : {"bob", "info@example.com"}) {
      box.panel({"SendVetter_showmessage", account, "", name});
      box.panel({"SendVetter_messageaction", account, "", name, "whitelist,deliver,deliverall,delete"});
      box.panel({"SendVetter_editmsg", account, name});
      box.panel({"SendVetter_resetmsg", account, name});
    }
  }

  const auto after = outside(box.root(), allowed);
  EXPECT_EQ(sandbox::read(box.root() + "/home/canary.txt"), "canary\n");
  EXPECT_EQ(sandbox::read(box.root() + "/canary.txt"), "canary\n");
  EXPECT_EQ(sandbox::read(home + "/canary.txt"), "canary\n");
  for (const auto& [path, content] : after)
    EXPECT_TRUE(before.count(path)) << "appeared outside the account's directories: " << path;
  for (const auto& [path, content] : before) {
    auto it = after.find(path);
    EXPECT_TRUE(it != after.end() && it->second == content) << "changed or removed: " << path;
  }
  EXPECT_FALSE(sandbox::exists("/tmp/sendvetter-escape")) << "a directory was made in /tmp";
  ::rmdir("/tmp/sendvetter-escape/.sendvetter");
  ::rmdir("/tmp/sendvetter-escape");
}

TEST(Hostile, PanelActsOnlyOnQueueFiles) {
  // A lock file left in the queue directory is listed like a message; acting
  // on it must not glue its content (a process id) into the inbox.
  Mailbox m;
  sandbox::write(m.emaildir + "/.sendvetter/white-list.txt", "from ^friend@example\\.org$\n");
  ASSERT_EQ(m.box.filter("bob", message("friend@example.org", "first", "one\n")).status, 0);
  const std::string inbox = sandbox::read(m.inbox);
  ASSERT_EQ(m.box.filter("bob", message("stranger@example.org", "held", "b\n")).status, 0);
  ASSERT_EQ(m.queued().size(), 1u);
  const std::string stale = m.queued()[0] + ".lock";
  sandbox::write(m.queue + "/" + stale, "4242");
  auto r = m.box.panel({"SendVetter_messageaction", "bob", "", stale, "deliver"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(sandbox::read(m.inbox) == inbox) << "the inbox got: " << sandbox::read(m.inbox).substr(inbox.size());

  // A FIFO (no writer ever comes) is skipped by every page, never waited on.
  const std::string held = m.queued()[0];
  ASSERT_EQ(::mkfifo((m.queue + "/fifo.msg").c_str(), 0600), 0);
  m.box.set_child_setup([] { ::alarm(10); });
  for (const std::vector<std::string>& call : std::vector<std::vector<std::string>>{
           {"SendVetter_showqueue", "", "bob", "showmsg.html", "view"},
           {"SendVetter_showqueuesearch", "body", "b", "bob", "showmsg.html", "view"},
           {"SendVetter_showqueuesearch", "subject", ".", "bob", "showmsg.html", "view"},
           {"SendVetter_showmessage", "bob", "", "fifo.msg"},
           {"SendVetter_messageaction", "bob", "", "fifo.msg", "whitelist,deliver"}}) {
    r = m.box.panel(call);
    // Not a queued message: the action is refused.
    EXPECT_EQ(r.status, call[0] == "SendVetter_messageaction" ? 1 : 0) << call[0];
    EXPECT_EQ(r.out.find("fifo.msg"), std::string::npos) << call[0];
  }
  EXPECT_NE(m.box.panel({"SendVetter_showqueue", "", "bob", "showmsg.html", "view"}).out.find(held), std::string::npos);
}

TEST(Hostile, RequestValuesCannotBreakThePanelsHtml) {
  Mailbox m;
  // Stored texts with markup: a queued message, a log line, settings, a form.
  ASSERT_EQ(m.box.filter("bob", "From a@b Mon\nFrom: \"<script>x\" <\"onload=@x>\nSubject: \"><img src=x>\n\n"
                               "<b>body</b>\n")
                .status,
            0);
  sandbox::write(m.emaildir + "/sendvetter.conf", "froms=\"><b>@x\nstale-queue-time=<i>\n");
  sandbox::write(m.box.system_form_dir() + "/x\" y=\"z<>.txt", "form\n");
  const std::string handoff_root = m.box.root() + "/panelroot";
  ::mkdir(handoff_root.c_str(), 0700);
  sandbox::write(handoff_root + "/orvane-email", "#!/bin/sh\nprintf 'a\"><b>@x\\n<i>\\nbob\\n'\n");
  ::chmod((handoff_root + "/orvane-email").c_str(), 0755);
  const std::string queued = m.queued().at(0);

  const std::vector<std::string> values = {
      "\"><script>alert(1)</script>", "x\" onmouseover=\"y", "a'b", "a&action=delete&q=../x", "<",
      "javascript:alert(1)", "JavaScript:alert(document.cookie)//", "data:text/html,x",
      "a b\tc\nd", "%22%3E", "",
  };
  for (const std::string& v : values) {
    const std::map<std::string, std::string> env = {{"SCRIPT_URI", v}};
    const std::vector<std::vector<std::string>> calls = {
        {"SendVetter_showqueue", "", "bob", v, v},
        {"SendVetter_showqueue", v, "bob", "showmsg.html", v},
        {"SendVetter_showqueuesearch", "sender", ".", "bob", v, v},
        {"SendVetter_showqueuesearch", "subject", v, "bob", "showmsg.html", v},
        {"SendVetter_showqueuesearch", "body", ".", v, v, v},
        {"SendVetter_logcontrols", v, v, v},
        {"SendVetter_logcontrols", "", "bob", v},
        {"SendVetter_listmsgs", "bob", v, v},
        {"SendVetter_listmsgs", v, v, v},
        {"SendVetter_showmessage", "bob", v, queued},
        {"SendVetter_showlog", v, "bob"},
        {"SendVetter_showemails", "bob"},
        {"SendVetter_showqueuetime", "bob"},
        {"SendVetter_statusbutton", v},
        {"SendVetter_status", v},
        {"SendVetter_messageaction", v, v, v, "whitelist"},
        {"SendVetter_saveconf", v, v, v},
        {"SendVetter_getboxconfdir", v},
        {"--user", v, "--root", handoff_root, "SendVetter_accountmanagelist", v},
    };
    for (const auto& call : calls) {
      auto r = m.box.panel(call, env);
      // The account v does not exist: the changes are refused.
      const bool change = call[0] == "SendVetter_messageaction" || call[0] == "SendVetter_saveconf";
      EXPECT_EQ(r.status, change ? 1 : 0) << call[0];
      const std::string wrong = htmlcheck::problem(r.out);
      EXPECT_TRUE(wrong.empty()) << call[0] << " with " << v << ": " << wrong;
      // A value that starts a URL never chooses its scheme.
      const std::string page = Orvane::SendVetter::ascii_lower(r.out);
      for (const char* target : {"href=\"", "<form action="})
        for (const char* scheme : {"javascript:", "data:"})
          EXPECT_EQ(page.find(target + std::string(scheme)), std::string::npos) << call[0] << " with " << v;
    }
  }
}

#endif  // SENDVETTER_NO_SANDBOX

}  // namespace
