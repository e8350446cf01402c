// The control panel's management functions, run through the real
// sendvetter-panel on a sandbox host: queue day view and search, message view
// and actions, status and account list, log page, form copies, and the
// escaping of request values.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "sandbox.h"

using sandbox::Result;
using sandbox::Sandbox;

namespace {

// Times in the zone "ABC-3" (three hours ahead of UTC), 7 March 2004.
constexpr long long kDayStart = 1078606800;    // 03/07 00:00:00 local
constexpr long long kMidday = 1078650000;      // 03/07 12:00:00 local
constexpr long long kLastSecond = 1078693199;  // 03/07 23:59:59 local
constexpr long long kNextDay = 1078695000;     // 03/08 00:30:00 local (03/07 21:30 UTC)
constexpr long long kYearBefore = 1047027600;  // 03/07/2003 12:00:00 local

const std::map<std::string, std::string> kLocal = {{"TZ", "ABC-3"}};

std::string no_results() {
  return "<tr><td>No Search Results</td>\n<td>NA</td><td>NA</td><td>NA</td>\n</tr>\n";
}

// One listing row as the pages expect it; query is the link query up to "&q=".
std::string row(const std::string& deletepage, const std::string& showfile,
                const std::string& query, const std::string& q, const std::string& bxaction,
                const std::string& email, const std::string& subject, const std::string& nicetime) {
  std::string link = query + "&q=" + q;
  std::string out = "<tr><td><a href=\"" + deletepage + link +
                    "&bxaction=msgaction&action=delete\">Delete</a></td>";
  for (const std::string& value : {email, subject, nicetime})
    out +=
        "<td><a href=\"" + showfile + link + "&bxaction=" + bxaction + "\">" + value + "</a></td>";
  return out + "</tr>";
}

class Panel : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef SENDVETTER_NO_SANDBOX
    GTEST_SKIP() << "needs SENDVETTER_SANDBOX_HOST_PATHS";
#endif
    home_ = box_.add_user("bob");
    for (const char* dir : {"/etc", "/etc/sendvetter", "/etc/sendvetter/queue",
                            "/etc/sendvetter/verifications", "/etc/sendvetter/log", "/mail"})
      ::mkdir((home_ + dir).c_str(), 0700);
  }
  std::string queue(const std::string& name) const {
    return home_ + "/etc/sendvetter/queue/" + name;
  }
  // A held message in the mail-file layout, with its modification time.
  std::string hold(const std::string& name, const std::string& from, const std::string& subject,
                   long long mtime, const std::string& body = "hello\n") const {
    std::string text = "From sender@example.com Sun Mar  7 12:00:00 2004\nFrom: " + from +
                       "\nSubject: " + subject + "\n\n" + body;
    sandbox::write(queue(name), text);
    sandbox::touch(queue(name), mtime);
    return text;
  }
  Result run(const std::vector<std::string>& argv,
             const std::map<std::string, std::string>& env = kLocal) const {
    return box_.panel(argv, env);
  }
  std::string out(const std::vector<std::string>& argv,
                  const std::map<std::string, std::string>& env = kLocal) const {
    Result result = run(argv, env);
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
  }

  Sandbox box_;
  std::string home_;
};

TEST_F(Panel, DayViewListsOneLocalDayOldestFirst) {
  hold("zz.msg", "alice@example.com", "first", kDayStart);
  hold("mm.msg", "\"Bob Smith\" <bob@example.com>", "a <b> \"c\"", kMidday);
  hold("aa.msg", "Carol <CAROL@Example.com>", "last", kLastSecond);
  hold("dd.msg", "dave@example.com", "next day", kNextDay);
  hold("yy.msg", "eve@example.com", "a year before", kYearBefore);
  hold(".hidden", "eve@example.com", "hidden", kMidday);

  const std::string t = std::to_string(kMidday);
  const std::string q = "?t=" + t + "&account=bob";
  EXPECT_EQ(out({"SendVetter_showqueue", t, "bob", "view.html", "showmsg"}),
            row("view.html", "view.html", q, "zz.msg", "showmsg", "alice@example.com", "first",
                "03/07 00:00:00") +
                row("view.html", "view.html", q, "mm.msg", "showmsg", "Bob Smith",
                    "a &lt;b&gt; &quot;c&quot;", "03/07 12:00:00") +
                row("view.html", "view.html", q, "aa.msg", "showmsg", "carol@example.com", "last",
                    "03/07 23:59:59"));

  // The delete page of "showmsg.html" is "msgaction.html"; the next day
  // starts at local midnight.
  const std::string n = std::to_string(kNextDay);
  EXPECT_EQ(out({"SendVetter_showqueue", n, "bob", "showmsg.html", "x"}),
            "<tr><td><a href=\"msgaction.html?t=1078695000&account=bob&q=dd.msg&bxaction=msgaction"
            "&action=delete\">Delete</a></td>"
            "<td><a href=\"showmsg.html?t=1078695000&account=bob&q=dd.msg&bxaction=x\">"
            "dave@example.com</a></td>"
            "<td><a href=\"showmsg.html?t=1078695000&account=bob&q=dd.msg&bxaction=x\">"
            "next day</a></td>"
            "<td><a href=\"showmsg.html?t=1078695000&account=bob&q=dd.msg&bxaction=x\">"
            "03/08 00:30:00</a></td></tr>");
  // In UTC the same instants fall on other days.
  const std::map<std::string, std::string> utc = {{"TZ", "UTC"}};
  std::string in_utc = out({"SendVetter_showqueue", t, "bob", "v", "x"}, utc);
  EXPECT_EQ(in_utc.find("zz.msg"), std::string::npos);
  EXPECT_NE(in_utc.find("dd.msg"), std::string::npos);
  EXPECT_NE(in_utc.find("03/07 21:30:00"), std::string::npos);

  // A day without mail prints nothing at all; so does an empty queue.
  EXPECT_EQ(out({"SendVetter_showqueue", std::to_string(kMidday + 2 * 86400), "bob", "v", "x"}),
            "");
}

TEST_F(Panel, SearchByEachField) {
  hold("b.msg", "\"Bob Smith\" <bob@example.com>", "price < 5", kMidday + 10,
       "first line\nsecond line\r\nthird\n");
  hold("a.msg", "alice@example.com", "Hello", kMidday, "nothing here\n");
  const std::string q = "?account=bob";
  const std::string a_row = row("showmsg.html", "showmsg.html", q, "a.msg", "b",
                                "alice@example.com", "Hello", "03/07 12:00:00");
  const std::string b_row = row("showmsg.html", "showmsg.html", q, "b.msg", "b", "Bob Smith",
                                "price &lt; 5", "03/07 12:00:10");
  auto search = [&](const std::string& field, const std::string& pattern) {
    return out({"SendVetter_showqueuesearch", field, pattern, "bob", "showmsg.html", "b"});
  };
  // Oldest first; the Delete link keeps showfile in the search.
  EXPECT_EQ(search("sender", "."), a_row + b_row);
  EXPECT_EQ(search("sender", "SMITH"), b_row);  // the display name, without case
  EXPECT_EQ(search("sender", "bob@"), no_results());
  EXPECT_EQ(search("subject", "<"), no_results());  // the escaped form is searched
  EXPECT_EQ(search("subject", "&lt; 5$"), b_row);
  EXPECT_EQ(search("body", "^second line"), b_row);  // "^" at every line start
  EXPECT_EQ(search("body", "^econd"), no_results());
  EXPECT_EQ(search("body", "line$"), b_row);
  EXPECT_EQ(search("Body", "line"), no_results());
  EXPECT_EQ(search("subject", "(unclosed"), no_results());
  // A message on which the pattern hits the match limit is only not
  // matched: the others are still listed.
  hold("c.msg", "x@example.com", std::string(60, 'a') + "!", kMidday + 20);
  EXPECT_EQ(search("subject", "(a|aa)+$|^Hello"), a_row);
  // An empty pattern is answered before any account lookup.
  EXPECT_EQ(out({"SendVetter_showqueuesearch", "sender", "", "nobody"}), no_results());
  EXPECT_EQ(out({"SendVetter_showqueuesearch", "sender", "x", "nobody"}),
            "Unable to locate home dir for account nobody\n");
}

TEST_F(Panel, ShowMessageFirst200LinesEscaped) {
  std::string body = "<b>\r\n";
  for (int i = 2; i <= 250; ++i) body += "line " + std::to_string(i) + "\n";
  std::string text = hold("m.msg", "a@b.c", "s", kMidday, body);
  std::string shown = out({"SendVetter_showmessage", "bob", "", "..m.msg"});
  std::string expected;
  std::size_t start = 0;
  for (int i = 0; i < 200; ++i) {
    std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    if (line == "<b>\r") line = "&lt;b&gt;\r";
    expected += line + "\n";
    start = end + 1;
  }
  EXPECT_EQ(shown, expected);
  EXPECT_NE(shown.find("&lt;b&gt;\r\n"), std::string::npos);
  // A name that still holds "/" after cleaning is not opened.
  EXPECT_EQ(out({"SendVetter_showmessage", "bob", "", "x/../m.msg"}), "");
  EXPECT_EQ(out({"SendVetter_showmessage", "bob", "", "../queue/m.msg"}), "");
}

TEST_F(Panel, ActionsRunInOrder) {
  const std::string m1 = hold("q1.msg", "\"Al\" <Alice@Example.com>", "one", kMidday);
  const std::string m2 = hold("q2.msg", "alice@example.com", "two", kMidday);
  hold("q3.msg", "carol@example.com", "three", kMidday);
  const std::string record = home_ + "/etc/sendvetter/verifications/alice@example.com";
  sandbox::write(record, "q1\nq2\n");
  const std::string inbox = home_ + "/mail/inbox";

  EXPECT_EQ(out({"SendVetter_messageaction", "bob", "", "q1.msg", "whitelist,deliverall,"}),
            "alice@example.com was added to your white list. "
            "queued messages from alice@example.com delivered. ");
  EXPECT_EQ(sandbox::read(home_ + "/etc/.sendvetter/white-list.txt"), "from alice@example\\.com\n");
  EXPECT_EQ(sandbox::read(inbox), m1 + m2);
  EXPECT_FALSE(sandbox::exists(queue("q1.msg")));
  EXPECT_FALSE(sandbox::exists(queue("q2.msg")));
  EXPECT_FALSE(sandbox::exists(record));

  // Deleted first, so nothing is delivered although both sentences print.
  EXPECT_EQ(out({"SendVetter_messageaction", "bob", "", "q3.msg", "delete,deliver"}),
            "queued message from carol@example.com deleted. "
            "queued message from carol@example.com delivered. ");
  EXPECT_FALSE(sandbox::exists(queue("q3.msg")));
  EXPECT_EQ(sandbox::read(inbox), m1 + m2);

  const std::string m4 = hold("q4.msg", "dan@example.com", "four", kMidday);
  // One unknown action refuses the whole request: nothing is done.
  Result refused = run({"SendVetter_messageaction", "bob", "", "q4.msg", "blacklist,Delete"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "Unknown action &quot;Delete&quot;; nothing was done. ");
  EXPECT_FALSE(sandbox::exists(home_ + "/etc/.sendvetter/black-list.txt"));
  EXPECT_EQ(out({"SendVetter_messageaction", "bob", "", "q4.msg", "blacklist,ignorelist"}),
            "dan@example.com was added to your black list. dan@example.com was added to your "
            "ignore list. ");
  EXPECT_EQ(sandbox::read(home_ + "/etc/.sendvetter/black-list.txt"), "from dan@example\\.com\n");
  EXPECT_EQ(sandbox::read(home_ + "/etc/.sendvetter/ignore-list.txt"), "from dan@example\\.com\n");
  EXPECT_EQ(out({"SendVetter_messageaction", "bob", "", "..q4.msg", "deliver"}),
            "queued message from dan@example.com delivered. ");
  EXPECT_EQ(sandbox::read(inbox), m1 + m2 + m4);
  EXPECT_FALSE(sandbox::exists(queue("q4.msg")));

  // No address in From: sentences without one, no list entry.
  hold("q5.msg", "Nobody", "five", kMidday);
  EXPECT_EQ(out({"SendVetter_messageaction", "bob", "", "q5.msg", "whitelist"}),
            " was added to your white list. ");
  EXPECT_EQ(sandbox::read(home_ + "/etc/.sendvetter/white-list.txt"), "from alice@example\\.com\n");
  // The address is data for records and rules, escaped only where shown.
  const std::string m6 = hold("q6.msg", "Odd <a>b@ext.example>", "six", kMidday);
  sandbox::write(home_ + "/etc/sendvetter/verifications/a>b@ext.example", "q6\n");
  EXPECT_EQ(out({"SendVetter_messageaction", "bob", "", "q6.msg", "ignorelist,deliverall"}),
            "a&gt;b@ext.example was added to your ignore list. "
            "queued messages from a&gt;b@ext.example delivered. ");
  EXPECT_EQ(sandbox::read(inbox), m1 + m2 + m4 + m6);
  EXPECT_EQ(sandbox::read(home_ + "/etc/.sendvetter/ignore-list.txt"),
            "from dan@example\\.com\nfrom a>b@ext\\.example\n");

  // A missing message, or a name outside the queue directory, is refused.
  for (const char* name : {"q7.msg", "x/../q5.msg"}) {
    refused = run({"SendVetter_messageaction", "bob", "", name, "delete"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "The queued message does not exist; nothing was done. ");
  }
  EXPECT_TRUE(sandbox::exists(queue("q5.msg")));
}

TEST_F(Panel, FailedDeliveryKeepsTheQueueFile) {
  hold("q1.msg", "alice@example.com", "one", kMidday);
  sandbox::write(home_ + "/etc/sendvetter/verifications/alice@example.com", "q1\n");
  ::mkdir((home_ + "/mail/inbox").c_str(), 0700);  // an inbox that cannot be appended to
  Result failed = run({"SendVetter_messageaction", "bob", "", "q1.msg", "deliver"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "queued message from alice@example.com delivered. "
                        "Delivery failed; the message stays queued. ");
  failed = run({"SendVetter_messageaction", "bob", "", "q1.msg", "deliverall"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "queued messages from alice@example.com delivered. "
                        "Delivery failed; the undelivered messages stay queued. ");
  EXPECT_TRUE(sandbox::exists(queue("q1.msg")));
  EXPECT_EQ(sandbox::read(home_ + "/etc/sendvetter/verifications/alice@example.com"), "q1\n");
}

TEST_F(Panel, StatusRoundTrip) {
  const std::string flag = home_ + "/etc/.sendvetterenable";
  EXPECT_EQ(out({"SendVetter_status", "bob"}), "disabled");
  EXPECT_EQ(out({"SendVetter_statusbutton", "bob"}),
            "<input type=submit name=action value=Enable>");
  EXPECT_EQ(out({"--user", "alice", "SendVetter_changestatus", "bob", "Enable"}), "enabled");
  EXPECT_TRUE(sandbox::exists(flag));
  EXPECT_EQ(out({"SendVetter_status", "bob"}), "enabled");
  // The change is in the system log with the panel user; the queries are not.
  EXPECT_EQ(box_.syslog(), std::vector<std::string>{
                               "<22>sendvetter: panel user=alice: SendVetter_changestatus \"bob\" \"Enable\""});
  EXPECT_EQ(out({"SendVetter_statusbutton", "bob"}),
            "<input type=submit name=action value=Disable>");
  EXPECT_EQ(out({"SendVetter_changestatus", "bob", "Disable"}), "disabled");
  EXPECT_FALSE(sandbox::exists(flag));
  // Only the button's two values; anything else changes nothing.
  EXPECT_EQ(out({"SendVetter_changestatus", "bob", "Enable"}), "enabled");
  for (const char* action : {"Enabel", "", "disable", "please reENABLE"}) {
    Result refused = run({"SendVetter_changestatus", "bob", action});
    EXPECT_EQ(refused.status, 1) << action;
    EXPECT_EQ(refused.out.rfind("Unknown action", 0), 0u) << refused.out;
  }
  EXPECT_TRUE(sandbox::exists(flag));
  box_.syslog();
  // Unknown account: the check message, no state word.
  Result ghost = run({"SendVetter_changestatus", "ghost", "Enable"});
  EXPECT_EQ(ghost.status, 1);
  EXPECT_EQ(ghost.out, "Unable to locate home dir for account ghost\n");

  // Queries about a mistyped address make no directories for it.
  box_.add_domain("example.com", "bob");
  for (const char* dir : {"/etc/example.com", "/mail/example.com"}) ::mkdir((home_ + dir).c_str(), 0700);
  for (const std::vector<std::string>& query : std::vector<std::vector<std::string>>{
           {"SendVetter_status", "typo@example.com"}, {"SendVetter_isenabled", "typo@example.com"},
           {"SendVetter_showqueuetime", "typo@example.com"}, {"SendVetter_showqueue", "", "typo@example.com"},
           {"SendVetter_showlog", "", "typo@example.com"}, {"SendVetter_listmsgs", "typo@example.com"}})
    run(query);
  EXPECT_FALSE(sandbox::exists(home_ + "/etc/example.com/typo")) << "made by a query";
  EXPECT_FALSE(sandbox::exists(home_ + "/mail/example.com/typo")) << "made by a query";
}

TEST_F(Panel, AccountListFromHandoffProgram) {
  box_.add_domain("example.com", "bob");
  ::mkdir((home_ + "/etc/example.com").c_str(), 0700);
  ::mkdir((home_ + "/mail/example.com").c_str(), 0700);
  out({"SendVetter_changestatus", "info@example.com", "Enable"});
  const std::string root = box_.root() + "/panelroot";
  ::mkdir(root.c_str(), 0700);
  sandbox::write(
      root + "/orvane-email",
      "#!/bin/sh\n[ \"$1\" = listpops ] && printf 'info@example.com\\nsales@example.com\\r\\n'\n");
  ::chmod((root + "/orvane-email").c_str(), 0755);
  const std::vector<std::string> opts = {"--user", "bob", "--root", root};
  auto with = [&](std::vector<std::string> argv) {
    argv.insert(argv.begin(), opts.begin(), opts.end());
    return out(argv);
  };
  EXPECT_EQ(with({"SendVetter_listpops"}), "info@example.com\nsales@example.com\r\n");
  EXPECT_EQ(with({"SendVetter_accountmanagelist", "manage.html"}),
            "<tr><td>bob</td><td>disabled</td><td><a "
            "href=\"manage.html?account=bob\">Manage</a></td></tr>\n"
            "<tr><td>info@example.com</td><td>enabled</td><td><a "
            "href=\"manage.html?account=info@example.com\">Manage</a></td></tr>\n"
            "<tr><td>sales@example.com\r</td><td>disabled</td><td><a "
            "href=\"manage.html?account=sales@example.com%0D\">Manage</a></td></tr>\n");
  // The ".pl" program wins when present; hostile names and links are escaped.
  sandbox::write(root + "/orvane-email.pl", "#!/bin/sh\necho '<i>x\"@y'\n");
  ::chmod((root + "/orvane-email.pl").c_str(), 0755);
  EXPECT_EQ(with({"SendVetter_accountmanagelist", "m.html?a=\"b c"}),
            "<tr><td>bob</td><td>disabled</td><td><a "
            "href=\"m.html%3Fa%3D%22b%20c?account=bob\">Manage</a></td></tr>\n"
            "<tr><td>&lt;i&gt;x&quot;@y</td><td>disabled</td><td><a "
            "href=\"m.html%3Fa%3D%22b%20c?account=%3Ci%3Ex%22@y\">Manage</a></td></tr>\n");
}

TEST_F(Panel, LogPageAndDayLinks) {
  const std::string t = std::to_string(kMidday);
  sandbox::write(home_ + "/etc/sendvetter/log/03-07-2004.log",
                 "Releasing queue for a@b.c/\"<hi>\"\nsecond\n");
  EXPECT_EQ(out({"SendVetter_showlog", t, "bob"}),
            "Releasing queue for a@b.c/&quot;&lt;hi&gt;&quot;\nsecond\n");
  EXPECT_EQ(out({"SendVetter_showlog", std::to_string(kNextDay), "bob"}), "");

  // SCRIPT_URI as a web server sets it (a whole URL) or as a path.
  for (const char* uri : {"https://host.test/sv/log.html", "sv/log.html"})
    EXPECT_EQ(out({"SendVetter_logcontrols", t, "info@example.com", "showlog"}, {{"TZ", "ABC-3"}, {"SCRIPT_URI", uri}}),
              "<td align=left><a "
              "href=\"/sv/"
              "log.html?bxaction=showlog&account=info@example.com&logdate=1078563600\">&lt;&lt; "
              "03-06-2004</a>"
              "</td><td align=center>03-07-2004</td><td align=right>"
              "<a "
              "href=\"/sv/"
              "log.html?bxaction=showlog&account=info@example.com&logdate=1078736400\">03-08-2004 "
              "&gt;&gt;</a></td>");
  // Unset SCRIPT_URI; hostile values end up percent-encoded.
  const std::string hostile = out({"SendVetter_logcontrols", t, "a\"><b>", "x y"});
  EXPECT_NE(hostile.find("<a href=\"/?bxaction=x%20y&account=a%22%3E%3Cb%3E&logdate=1078563600\">"),
            std::string::npos);
  EXPECT_EQ(hostile.find("<b>"), std::string::npos);
}

TEST_F(Panel, SettingsShown) {
  EXPECT_EQ(out({"SendVetter_showqueuetime", "bob"}), "15");
  EXPECT_EQ(out({"SendVetter_showemails", "bob"}), "bob");
  out({"SendVetter_saveconf", "bob", "a@x.com,<b>\"", "30"});
  EXPECT_EQ(out({"SendVetter_showqueuetime", "bob"}), "30");
  EXPECT_EQ(out({"SendVetter_showemails", "bob"}), "a@x.com,&lt;b&gt;&quot;");
}

TEST_F(Panel, FormCopiesMadeOnceAndRemoved) {
  const std::string forms = box_.system_form_dir();
  for (const std::string& name : sandbox::list(forms)) ::unlink((forms + "/" + name).c_str());
  sandbox::write(forms + "/verify.txt", "To: %email%\n\nPlease reply.\n");
  sandbox::write(forms + "/notes", "n\n");
  sandbox::write(forms + "/.hidden.txt", "h\n");
  const std::string dir = home_ + "/etc/.sendvetter/forms";

  std::string listed = out({"SendVetter_listmsgs", "bob", "edit.html", "reset.html"});
  const std::string fields =
      "<input type=hidden name=account value=\"bob\"><input type=hidden name=form "
      "value=\"verify.txt\">"
      "<input type=hidden name=emaildir value=\"" +
      dir + "\">";
  EXPECT_NE(
      listed.find("<tr><td>verify</td>\n<td><form action=edit.html>" + fields +
                  "<input type=submit value=Edit></form></td>\n<td><form action=reset.html>" +
                  fields + "<input type=submit value=\"Reset to default\"></form></td>\n</tr>"),
      std::string::npos);
  EXPECT_NE(listed.find("<td>notes</td>"), std::string::npos);
  EXPECT_NE(listed.find("value=\"notes.txt\""), std::string::npos);
  EXPECT_EQ(listed.find("hidden.txt"), std::string::npos);

  EXPECT_EQ(out({"SendVetter_editmsg", "bob", "../verify.txt"}), "");
  EXPECT_EQ(sandbox::read(dir + "/verify.txt"), "To: %email%\n\nPlease reply.\n");
  sandbox::write(dir + "/verify.txt", "edited\n");
  out({"SendVetter_editmsg", "bob", "verify.txt"});
  EXPECT_EQ(sandbox::read(dir + "/verify.txt"), "edited\n");
  EXPECT_EQ(run({"SendVetter_editmsg", "bob", "missing.txt"}).status, 1);  // no such form
  EXPECT_EQ(sandbox::list(dir),
            std::vector<std::string>{"verify.txt"});  // no temporary left behind
  EXPECT_EQ(out({"SendVetter_resetmsg", "bob", "verify.txt"}), "");
  EXPECT_FALSE(sandbox::exists(dir + "/verify.txt"));
  EXPECT_EQ(out({"SendVetter_resetmsg", "bob", "verify.txt"}), "");

  // Unknown account: messages only, and no form directory offered.
  EXPECT_EQ(out({"SendVetter_listmsgs", "x@nowhere.test", "e", "r"}),
            "Unable to locate home dir for account x@nowhere.test\n");
  box_.add_domain("nomail.test", "bob");  // its mail directories cannot be made
  Result refused = run({"SendVetter_editmsg", "info@nomail.test", "verify.txt"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "Email homedir for info@nomail.test does not exist");
}

TEST_F(Panel, HostileRequestValuesAreEscaped) {
  hold("q.msg", "a@b.c", "s", kMidday);
  const std::string t = std::to_string(kMidday);
  std::string page = out({"SendVetter_showqueue", t + "\"x", "bob", "a b\".html", "<i>"});
  EXPECT_EQ(page, row("a%20b%22.html", "a%20b%22.html", "?t=" + t + "%22x&account=bob", "q.msg",
                      "%3Ci%3E", "a@b.c", "s", "03/07 12:00:00"));
  EXPECT_EQ(out({"SendVetter_showmessage", "<b> \"x\"", "", "q.msg"}),
            "Unable to locate home dir for account &lt;b&gt; &quot;x&quot;\n");
  EXPECT_EQ(run({"SendVetter_messageaction", "'<b>'", "", "q.msg", "delete"}).out,
            "Unable to locate home dir for account &#39;&lt;b&gt;&#39;\n");
  EXPECT_TRUE(sandbox::exists(queue("q.msg")));
  std::string listed = out({"SendVetter_listmsgs", "bob", "e.html?x=\"1\" y", "r.html"});
  EXPECT_NE(listed.find("<form action=e.html%3Fx%3D%221%22%20y>"), std::string::npos);
}

TEST_F(Panel, ValueHelpersCommandLineAndUnknownFunction) {
  EXPECT_EQ(out({"SendVetter_cleanfield", "a & <b> \"c\"\n"}), "a & &lt;b&gt; &quot;c&quot;\n");
  EXPECT_EQ(out({"SendVetter_extractfrom", "\"Bob B\" <BOB@X.com>"}), "Bob B");
  EXPECT_EQ(out({"SendVetter_extractfrom", "\"\" <BOB@X.com>"}), "bob@x.com");
  const std::string path = box_.root() + "/m.eml";
  sandbox::write(path, "From: a@b.c\n  \nbody 1\r\n\nbody 2");
  EXPECT_EQ(out({"SendVetter_extractbody", path}), "body 1\r\n\nbody 2");
  EXPECT_EQ(out({"SendVetter_extractbody", path + ".missing"}), "");
  Result unknown = run({"SendVetter_nosuchthing"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.out, "");

  const std::string list = out({"--list"});
  EXPECT_NE(list.find("\nSendVetter_showqueue\nSendVetter_showqueuesearch\n"), std::string::npos) << list;
  EXPECT_EQ(out({"--help"}).rfind("usage: sendvetter-panel ", 0), 0u);
  EXPECT_EQ(out({"--version"}).rfind("sendvetter-panel ", 0), 0u);
  // After the function name every word is an argument: "--help" is an account.
  EXPECT_EQ(out({"SendVetter_status", "--help"}), "disabled");
}

}  // namespace
