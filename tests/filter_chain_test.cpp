// The whole filter run end to end: every row of the decision chain, its
// precedence, the challenge round trip and concurrent runs on one mailbox.
#include <gtest/gtest.h>
#include <array>
#include <ctime>
#include <sstream>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/regex.h"
#include "sandbox.h"
#include "test_util.h"

#ifndef SENDVETTER_NO_SANDBOX

using sandbox::Sandbox;

namespace {

struct Mail {
  std::string envelope = "stranger@far.test";
  std::string from = "Stranger <stranger@far.test>";
  std::string to = "bob@example.com";
  std::string subject = "hello";
  std::string received = "from mx.far.test by host.example.test with esmtp; Mon, 7 Dec 2026";
  std::string extra;  // more header lines, each ending in "\n"
  std::string body = "body line\n";

  std::string headers() const {
    std::string h;
    if (!envelope.empty()) h += "From " + envelope + " Mon Dec  7 10:00:00 2026\n";
    if (!received.empty()) h += "Received: " + received + "\n";
    if (!from.empty()) h += "From: " + from + "\n";
    h += "To: " + to + "\nSubject: " + subject + "\n" + extra;
    return h;
  }
  std::string text() const { return headers() + "\n" + body; }
};

class Chain : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = box_.add_user("bob");
    emaildir_ = home_ + "/etc";
    inbox_ = home_ + "/mail/inbox";
    // What the first run would create, so lists can be written before it.
    for (const std::string& dir : {emaildir_, emaildir_ + "/.sendvetter", home_ + "/mail"})
      ::mkdir(dir.c_str(), 0700);
  }

  sandbox::Result deliver(const Mail& mail) { return box_.filter("bob", mail.text()); }
  std::string log() const {
    auto d = Orvane::SendVetter::SendVetter_nicedate(std::time(nullptr));
    return sandbox::read(emaildir_ + "/sendvetter/log/" + d[0] + "-" + d[1] + "-" + d[2] + ".log");
  }
  std::vector<std::string> queue() const { return sandbox::list(emaildir_ + "/sendvetter/queue"); }
  std::string record(const std::string& email) const {
    return sandbox::read(emaildir_ + "/sendvetter/verifications/" + email);
  }
  void list(const std::string& name, const std::string& rules) {
    sandbox::write(emaildir_ + "/.sendvetter/" + name + "-list.txt", rules);
  }
  // The id a challenge carries in its subject.
  static std::string challenge_id(const std::string& challenge) {
    auto at = challenge.find("verify#");
    EXPECT_NE(at, std::string::npos);
    auto end = challenge.find_first_of(") \t\r\n", at);
    return challenge.substr(at + 7, end - at - 7);
  }
  static std::string subject_of(const std::string& message) {
    auto at = message.find("\nSubject: ");
    auto end = message.find('\n', at + 1);
    return message.substr(at + 10, end - at - 10);
  }

  Sandbox box_;
  std::string home_, emaildir_, inbox_;
};

TEST_F(Chain, UnknownSenderIsHeldRecordedAndChallenged) {
  Mail mail;
  auto r = deliver(mail);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(queue().size(), 1u);
  const std::string name = queue()[0];
  EXPECT_EQ(name.size(), 36u);
  EXPECT_EQ(sandbox::read(emaildir_ + "/sendvetter/queue/" + name), mail.text());
  EXPECT_EQ(record("stranger@far.test"), name.substr(0, 32) + "\n");
  EXPECT_FALSE(sandbox::exists(inbox_));
  EXPECT_EQ(log(), "Delivering message to queue and asking for verification stranger@far.test/hello\n");

  auto sent = box_.sent();
  ASSERT_EQ(sent.size(), 1u);
  const std::string id = sandbox::read(emaildir_ + "/.sendvetter/id");
  EXPECT_EQ(sent[0].rfind("ARGS: -t -i -f <>\nX-Sendvetter: " + id + "\nFrom: bob\n", 0), 0u) << sent[0];
  EXPECT_NE(sent[0].find("To: stranger@far.test\n"), std::string::npos);
  EXPECT_EQ(challenge_id(sent[0]), name.substr(0, 32));
}

TEST_F(Chain, AutomatedMailIsHeldWithoutARequestUnlessWhiteListed) {
  const std::vector<std::array<std::string, 3>> cases = {  // envelope, header line, reason
      {"<>", "", "null envelope sender"},
      {"MAILER-DAEMON", "", "null envelope sender"},
      {"stranger@far.test", "Return-Path: <>\n", "null envelope sender"},
      {"stranger@far.test", "Auto-Submitted: auto-replied\n", "Auto-Submitted"},
      {"stranger@far.test", "Precedence: bulk\n", "Precedence: bulk"},
      {"stranger@far.test", "List-Id: <news.far.test>\n", "List-Id"},
      {"stranger@far.test", "List-Unsubscribe: <mailto:u@far.test>\n", "List-Unsubscribe"},
      {"stranger@far.test", "List-Post: <mailto:p@far.test>\n", "List-Post"},
      {"stranger@far.test", "Content-Type: multipart/report;\n report-type=delivery-status\n", "multipart/report"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    Mail mail;
    mail.envelope = cases[i][0];
    mail.extra = cases[i][1];
    mail.subject = "automated " + std::to_string(i);
    ASSERT_EQ(deliver(mail).status, 0);
    EXPECT_EQ(queue().size(), i + 1) << cases[i][2];
    EXPECT_NE(log().find("Holding automated message without verification request (" + cases[i][2] +
                         ") stranger@far.test/" + mail.subject + "\n"),
              std::string::npos)
        << cases[i][2];
  }
  EXPECT_TRUE(box_.sent().empty());
  EXPECT_EQ(record("stranger@far.test").size(), cases.size() * 33);  // a reply releases them all

  list("white", "from stranger@\n");
  Mail post;
  post.extra = "List-Id: <news.far.test>\n";
  ASSERT_EQ(deliver(post).status, 0);
  EXPECT_EQ(sandbox::read(inbox_), post.text());
}

TEST_F(Chain, ForgedSendersAreHeldWithoutARequestOnlyWhenOurMailServerSaysSo) {
  list("white", "from ^friend@friend\\.test$\n");
  Mail forged_friend;
  forged_friend.envelope = forged_friend.from = "friend@friend.test";
  forged_friend.subject = "forged friend";
  forged_friend.extra = "Authentication-Results: mx.example.com;\n\tspf=fail smtp.mailfrom=friend.test\n";
  Mail forged_stranger = forged_friend;
  forged_stranger.envelope = forged_stranger.from = "victim@other.test";
  forged_stranger.subject = "forged stranger";
  forged_stranger.extra = "Authentication-Results: mx.example.com; dmarc=fail header.from=other.test\n";
  Mail genuine = forged_friend;
  genuine.subject = "genuine";
  genuine.extra = "Authentication-Results: mx.example.com; spf=pass smtp.mailfrom=friend.test\n";

  // No system configuration: the headers are not trusted.
  ASSERT_EQ(deliver(forged_friend).status, 0);
  EXPECT_EQ(sandbox::read(inbox_), forged_friend.text());

  sandbox::write(box_.system_form_dir() + "/../sendvetter.conf", "authserv-id=mx.example.com\n");
  for (const Mail& mail : {forged_friend, forged_stranger, genuine}) ASSERT_EQ(deliver(mail).status, 0);
  EXPECT_EQ(sandbox::read(inbox_), forged_friend.text() + genuine.text());
  EXPECT_EQ(queue().size(), 2u);
  EXPECT_TRUE(box_.sent().empty());
  EXPECT_NE(log().find("Holding possibly forged mail from white-listed sender friend@friend.test/forged friend\n"
                       "Holding message without verification request (sender authentication failed) "
                       "victim@other.test/forged stranger\n"),
            std::string::npos);

  // A passing result changes nothing for a stranger: one request.
  Mail stranger;
  stranger.extra = "Authentication-Results: mx.example.com; spf=pass smtp.mailfrom=far.test\n";
  ASSERT_EQ(deliver(stranger).status, 0);
  EXPECT_EQ(box_.sent().size(), 1u);
}

TEST_F(Chain, FormsNameTheWebDomainOfTheAccount) {
  // A system account's web domain is the host's name (the sandbox's
  // hostname command); an address account's is "mail." + its domain.
  const std::string form = "To: %email%\nSubject: verify#%msgid% from %webdomain%\n\nbody\n";
  ::mkdir((emaildir_ + "/.sendvetter/forms").c_str(), 0700);
  sandbox::write(emaildir_ + "/.sendvetter/forms/verify.txt", form);
  ASSERT_EQ(deliver(Mail{}).status, 0);
  box_.add_domain("Example.com", "bob");
  const std::string domain_etc = home_ + "/etc/Example.com", domain_mail = home_ + "/mail/Example.com";
  for (const std::string& dir : {domain_etc, domain_mail, domain_etc + "/info", domain_etc + "/info/.sendvetter",
                                 domain_etc + "/info/.sendvetter/forms"})
    ::mkdir(dir.c_str(), 0700);
  sandbox::write(domain_etc + "/info/.sendvetter/forms/verify.txt", form);
  ASSERT_EQ(box_.filter("info@Example.com", Mail{}.text()).status, 0);
  auto sent = box_.sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_NE(sent[0].find(" from host.example.test\n"), std::string::npos) << sent[0];
  EXPECT_NE(sent[1].find(" from mail.Example.com\n"), std::string::npos) << sent[1];
}

TEST_F(Chain, ReplyReleasesEverythingHeldForTheSenderInRecordOrder) {
  std::vector<Mail> held(3);
  for (int i = 0; i < 3; ++i) {
    held[i].subject = "message " + std::to_string(i);
    held[i].body = "body " + std::to_string(i) + "\nFrom the middle of a line\n";
    ASSERT_EQ(deliver(held[i]).status, 0);
  }
  ASSERT_EQ(queue().size(), 3u);
  auto sent = box_.sent();
  ASSERT_EQ(sent.size(), 3u);

  Mail reply;
  reply.subject = "Re: " + subject_of(sent[1]);
  ASSERT_EQ(deliver(reply).status, 0);
  EXPECT_EQ(sandbox::read(inbox_), held[0].text() + held[1].text() + held[2].text());
  EXPECT_TRUE(queue().empty());
  EXPECT_FALSE(sandbox::exists(emaildir_ + "/sendvetter/verifications/stranger@far.test"));
  EXPECT_EQ(sandbox::read(emaildir_ + "/.sendvetter/white-list.txt"), "from stranger@far\\.test\n");
  EXPECT_NE(log().find("Auto-Whitelisting stranger@far.test\nReleasing queue for stranger@far.test/" +
                       reply.subject + "\n"),
            std::string::npos);

  // The same reply again names nothing held: answered as a foreign challenge.
  ASSERT_EQ(deliver(reply).status, 0);
  EXPECT_EQ(box_.sent().size(), 4u);
  EXPECT_NE(log().find("Internal verification stranger@far.test/" + reply.subject), std::string::npos);

  // Another installation's request naming an id not held here is answered
  // too: its owner waits for the answer.
  Mail answer = reply;
  answer.extra = "X-Sendvetter: another-installation\n";
  ASSERT_EQ(deliver(answer).status, 0);
  EXPECT_EQ(box_.sent().size(), 5u);

  // And the sender is now white-listed: delivered at once.
  Mail later;
  later.subject = "later";
  ASSERT_EQ(deliver(later).status, 0);
  EXPECT_EQ(sandbox::read(inbox_), held[0].text() + held[1].text() + held[2].text() + later.text());
  EXPECT_NE(log().find("Email matches rule \"from stranger@far\\.test\" Line 1 in whitelist\n"),
            std::string::npos);
}

TEST_F(Chain, ReplyFromAnotherAddressWhitelistsItButReleasesNothing) {
  ASSERT_EQ(deliver(Mail{}).status, 0);
  Mail reply;
  reply.envelope = "other@far.test";
  reply.from = "other@far.test";
  reply.subject = "Re: " + subject_of(box_.sent()[0]);
  ASSERT_EQ(deliver(reply).status, 0);
  EXPECT_EQ(queue().size(), 1u);
  EXPECT_EQ(sandbox::read(inbox_), "");  // opened under its lock, nothing appended
  EXPECT_EQ(sandbox::read(emaildir_ + "/.sendvetter/white-list.txt"), "from other@far\\.test\n");
}

TEST_F(Chain, ProtocolRowsComeFirstAndInOrder) {
  const std::string id = [&] {
    deliver(Mail{});  // makes the identity and one held message
    return sandbox::read(emaildir_ + "/.sendvetter/id");
  }();
  const std::size_t sent_before = box_.sent().size();

  Mail own;
  own.extra = "X-Sendvetter: " + id + "\n";
  own.subject = "(conf#abc) verify#" + queue()[0].substr(0, 32);
  ASSERT_EQ(deliver(own).status, 0);
  EXPECT_EQ(box_.sent().size(), sent_before);  // dropped silently
  EXPECT_EQ(queue().size(), 1u);

  Mail ask;
  ask.subject = "Please confirm (CONF#xyz123) and verify#" + queue()[0].substr(0, 32);
  ask.extra = "X-Sendvetter: someone-else\n";
  ASSERT_EQ(deliver(ask).status, 0);
  auto sent = box_.sent();
  ASSERT_EQ(sent.size(), sent_before + 1);
  EXPECT_EQ(queue().size(), 1u);  // row 2 won over the verify# reply
  EXPECT_NE(log().find("Internal ASK verification stranger@far.test/" + ask.subject), std::string::npos);

  // The marker found in an encoded subject; the log keeps it as it came.
  ask.subject = "=?utf-8?q?Bitte_best=C3=A4tigen_=28conf=23xyz123=29?=";
  ASSERT_EQ(deliver(ask).status, 0);
  EXPECT_EQ(box_.sent().size(), sent_before + 2);
  EXPECT_NE(log().find("Internal ASK verification stranger@far.test/" + ask.subject), std::string::npos);
}

// The recipients "sendmail -t" reads from a message: the pieces of every
// To, Cc, Bcc and Resent- field after unfolding. A CR counts as a line end
// here too, so a line break smuggled into a header shows.
std::vector<std::string> recipients(const std::string& sent) {
  using Orvane::SendVetter::Regex;
  static const Regex line_end("\\r\\n?");
  static const Regex recipient_field("^(?:resent-)?(?:to|cc|bcc):(.*)", Regex::kCaseless);
  static const Regex outer_blanks("^\\s+|\\s+$");
  std::istringstream in(line_end.replace_all(sent.substr(sent.find('\n') + 1), "\n"));
  std::vector<std::string> fields, found;
  for (std::string line; std::getline(in, line) && !line.empty();) {
    if ((line[0] == ' ' || line[0] == '\t') && !fields.empty())
      fields.back() += line;
    else
      fields.push_back(line);
  }
  std::vector<std::string> captures;
  for (const std::string& field : fields)
    if (recipient_field.search(field, captures)) {
      std::istringstream pieces(captures[1]);
      for (std::string piece; std::getline(pieces, piece, ',');)
        found.push_back(outer_blanks.replace_all(piece, ""));
    }
  return found;
}

TEST_F(Chain, FormMessagesGoToTheSenderAlone) {
  // Every form kind, against subjects, addresses and header blocks that try
  // to name further recipients through the placeholders or line breaks.
  list("black", "subject ^Black\n");
  struct Case {
    std::string from, subject;
  };
  const std::vector<Case> cases = {
      {"", "Hello %headers%"},
      {"", "Black %email% %headers%"},
      {"", "(conf#Q1) %headers%"},
      {"", "Re: verify#NOTHELD %headers%"},
      {"", "Hello\rBcc: cr@victim.test"},
      {"", "Black\rCc: cr@victim.test"},
      {"", "(conf#Q1)\rTo: cr@victim.test"},
      {"%headers%@evil.test", "Hello"},
      {"%headers%@evil.test", "Black"},
      {"%headers%@evil.test", "(conf#Q2)"},
      {"a@evil.test(b@victim.test)", "Hello"},
      {"a@evil.test,b@victim.test", "Black"},
      {"a@evil.test;b@victim.test", "(conf#Q3)"},
  };
  std::size_t answered = 0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    Mail mail;
    mail.envelope = cases[i].from.empty() ? "s" + std::to_string(i) + "@far.test" : cases[i].from;
    mail.from = mail.envelope;
    mail.subject = cases[i].subject;
    mail.extra = "Cc: cc@victim.test\nBcc: bcc@victim.test\nResent-To: rt@victim.test\n"
                 "Resent-Bcc: rb@victim.test\n";
    const std::size_t before = box_.sent().size();
    ASSERT_EQ(deliver(mail).status, 0) << i;
    const auto sent = box_.sent();
    for (std::size_t n = before; n < sent.size(); ++n)
      EXPECT_EQ(recipients(sent[n]), std::vector<std::string>{mail.envelope}) << i << "\n" << sent[n];
    answered += sent.size() - before;
    if (cases[i].from.empty()) {
      EXPECT_EQ(sent.size(), before + 1) << i;
    }
  }
  EXPECT_EQ(answered, 10u);
}

// tests/mail_program.py, a mail program's reading of and reply to a
// message the fixture sendmail took (its argument line left out).
testutil::ChildResult mail_program(std::vector<std::string> args, const std::string& sent) {
  args.insert(args.begin(), {"python3", std::string(SENDVETTER_SOURCE_DIR) + "/tests/mail_program.py"});
  return testutil::run_in_child(sent.substr(sent.find('\n') + 1), [&] {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    return 127;
  });
}

// A subject of some 2 KB, and the same folded as a mail program sends it.
std::string long_subject(bool folded) {
  std::string subject;
  for (int i = 0; i < 260; ++i)
    subject += (i == 0 ? "" : i % 10 == 0 && folded ? "\n " : " ") + std::string("word") + std::to_string(i);
  return subject;
}

TEST_F(Chain, FormMessagesAreValidMailWhateverTheSubject) {
  list("black", "subject ^Black\n");
  sandbox::write(emaildir_ + "/sendvetter.conf", "froms=bob@example.com\n");  // a whole From address
  struct Case {
    std::string subject, shown;  // as it arrives; as a mail program shows it
  };
  const std::vector<Case> cases = {
      {long_subject(true), long_subject(false)},
      {"Gr\xc3\xbc\xc3\x9f" "e \xc3\xbc" "ber K\xc3\xb6ln", "Gr\xc3\xbc\xc3\x9f" "e \xc3\xbc" "ber K\xc3\xb6ln"},
      {"Gr\xfc\xdf" "e aus K\xf6ln", "Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln"},
      {std::string(1500, 'x'), std::string(1500, 'x')},
  };
  int sender = 0;
  for (const Case& c : cases)
    for (const char* kind : {"", "Black ", "(conf#Q1) "}) {  // verify, blacklist, returnverify
      Mail mail;
      mail.envelope = mail.from = "v" + std::to_string(sender++) + "@far.test";
      mail.subject = kind + c.subject;
      const std::size_t before = box_.sent().size();
      ASSERT_EQ(deliver(mail).status, 0);
      ASSERT_EQ(box_.sent().size(), before + 1) << mail.subject;
      const auto read = mail_program({"check"}, box_.sent().back());
      EXPECT_EQ(read.status, 0) << box_.sent().back();
      EXPECT_NE(read.out.find(kind + c.shown), std::string::npos) << read.out;
    }
}

TEST_F(Chain, RepliesAsMailProgramsWriteThemRelease) {
  struct Case {
    std::string subject, reply_style;
  };
  const std::vector<Case> cases = {
      {long_subject(true), "words"},
      {"=?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln?=", "whole-utf-8"},
      {"Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln", "words"},
      {"=?iso-8859-1?b?R3L83w==?= =?iso-8859-1?q?e_aus_K=F6ln?=", "whole-iso-8859-1"},
      {"Gr\xfc\xdf" "e aus K\xf6ln", "whole-iso-8859-1"},
      {"Gr\xfc\xdf" "e aus K\xf6ln", "words"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    Mail held;
    held.envelope = held.from = "r" + std::to_string(i) + "@far.test";
    held.subject = cases[i].subject;
    ASSERT_EQ(deliver(held).status, 0);
    const auto reply = mail_program({"reply", cases[i].reply_style}, box_.sent().back());
    ASSERT_EQ(reply.status, 0);
    const std::size_t before = box_.sent().size();
    ASSERT_EQ(box_.filter("bob", "From " + held.envelope + " Mon Dec  7 10:00:00 2026\n" + reply.out).status, 0);
    EXPECT_NE(sandbox::read(inbox_).find(held.text()), std::string::npos) << i << "\n" << reply.out;
    EXPECT_EQ(box_.sent().size(), before) << i << ": challenged again";
  }
  EXPECT_TRUE(queue().empty());
}

// Text that becomes a file name is taken whole: a NUL or a ".lock" ending
// must neither stand for a held message nor reach another sender's record.
TEST_F(Chain, HostileNamesNeitherReleaseMailNorReachAnotherSendersRecord) {
  ASSERT_EQ(deliver(Mail{}).status, 0);
  const std::string nul(1, '\0');
  Mail forged;
  forged.subject = "Re: verify#" + nul;
  ASSERT_EQ(deliver(forged).status, 0);
  EXPECT_EQ(queue().size(), 1u);  // the reply names nothing held
  EXPECT_FALSE(sandbox::exists(emaildir_ + "/.sendvetter/white-list.txt"));
  Mail bounce;
  bounce.envelope = bounce.from = "postmaster@far.test";
  bounce.body = "Subject (quoted): Re: verify#" + nul + "\n";
  ASSERT_EQ(deliver(bounce).status, 0);
  EXPECT_EQ(sandbox::read(inbox_), bounce.text());  // not taken for our bounce

  for (const char* victim : {"victim@bank.example", "v@x.example"}) {
    Mail held;
    held.envelope = held.from = victim;
    ASSERT_EQ(deliver(held).status, 0);
  }
  const std::string victim_record = record("victim@bank.example");
  const std::string v_record = record("v@x.example");
  for (const std::string& squatter : {"victim@bank.example" + nul + ".evil", nul + "@" + nul,
                                      std::string("v@x.example.lock")}) {
    Mail hostile;
    hostile.envelope = hostile.from = squatter;
    EXPECT_EQ(deliver(hostile).status, 0);
  }
  for (const char* victim : {"victim@bank.example", "v@x.example"}) {
    Mail again;
    again.envelope = again.from = victim;
    ASSERT_EQ(deliver(again).status, 0);
  }
  EXPECT_EQ(record("victim@bank.example").substr(0, 33), victim_record);
  EXPECT_EQ(record("v@x.example").substr(0, 33), v_record);
  EXPECT_EQ(record("victim@bank.example%00.evil").size(), 33u);
  EXPECT_EQ(record("%00@%00").size(), 33u);
  EXPECT_EQ(record("v@x.example%2Elock").size(), 33u);
}

TEST_F(Chain, ListsDecideInTheirOrder) {
  list("white", "# comment\nfrom ^stranger@\n");
  list("black", "from stranger\n");
  ASSERT_EQ(deliver(Mail{}).status, 0);
  EXPECT_EQ(sandbox::read(inbox_), Mail{}.text());  // white before black
  EXPECT_TRUE(box_.sent().empty());

  list("ignore", "subject ^hello$\n");
  ASSERT_EQ(deliver(Mail{}).status, 0);
  EXPECT_EQ(sandbox::read(inbox_), Mail{}.text());  // ignore before white
  EXPECT_NE(log().find("Email matches rule \"subject ^hello$\" Line 1 in ignorelist"), std::string::npos);

  list("ignore", "");
  list("white", "");
  for (int i = 0; i < 7; ++i) ASSERT_EQ(deliver(Mail{}).status, 0);
  EXPECT_EQ(box_.sent().size(), 5u);  // black list: answered up to the burst
  EXPECT_NE(box_.sent()[0].find("To: stranger@far.test"), std::string::npos);
  EXPECT_TRUE(queue().empty());
}

TEST_F(Chain, FailureReportsAreDeliveredUnlessTheyQuoteOurChallenge) {
  ASSERT_EQ(deliver(Mail{}).status, 0);
  const std::string held_id = queue()[0].substr(0, 32);
  std::string q_encoded;  // the id as an encoded word carries it: "_" stands for a blank
  for (char c : held_id) q_encoded += c == '_' ? std::string("=5F") : std::string(1, c);

  Mail bounce;
  bounce.envelope = "MAILER-DAEMON@mx.far.test";
  bounce.from = "Mail Delivery System <Mailer-Daemon@mx.far.test>";
  bounce.subject = "Undelivered Mail";
  bounce.body = "Your message could not be delivered.\nSubject: Re: verify#" + held_id + "\n";
  ASSERT_EQ(deliver(bounce).status, 0);
  EXPECT_EQ(sandbox::read(inbox_), bounce.text());  // plain "Subject:" does not count

  for (const std::string& marker : std::vector<std::string>{"x-SENDVETTER: whatever\n", "X-Ask-Auth: 1\n",
                             "Subject (quoted): Re: verify#" + held_id + "\n",
                             "Subject (quoted): =?UTF-8?Q?Re=3A_verify=23" + q_encoded + "?=\n"}) {
    Mail quoting = bounce;
    quoting.body = "Delivery failed.\n" + marker + "tail\n";
    ASSERT_EQ(deliver(quoting).status, 0);
  }
  EXPECT_EQ(sandbox::read(inbox_), bounce.text());
  EXPECT_NE(log().find("Found user as mailer/postmaster MAILER-DAEMON@mx.far.test/mailer-daemon@mx.far.test/"
                       "Undelivered Mail\nDiscarding verify bounce from "),
            std::string::npos);

  // An envelope of postmaster@ alone is enough; MAILER-DAEMON alone is not.
  Mail postmaster = bounce;
  postmaster.envelope = "postmaster@far.test";
  postmaster.from = "someone@far.test";
  postmaster.body = "report\n";
  ASSERT_EQ(deliver(postmaster).status, 0);
  EXPECT_EQ(sandbox::read(inbox_), bounce.text() + postmaster.text());
  Mail daemon_only = postmaster;
  daemon_only.envelope = "MAILER-DAEMON";
  daemon_only.from = "other@far.test";
  ASSERT_EQ(deliver(daemon_only).status, 0);
  EXPECT_EQ(queue().size(), 2u);  // held like any stranger's mail
}

TEST_F(Chain, MailFromTheOwnerIsDeliveredOnlyWhenSubmittedLocally) {
  Mail self;
  self.envelope = "bob@example.com";
  self.from = "bob@example.com";
  self.to = "bob@example.com";
  self.received = "from x by host with esmtp id 1";
  ASSERT_EQ(deliver(self).status, 0);
  EXPECT_EQ(queue().size(), 1u);  // possibly forged: held, not challenged
  EXPECT_TRUE(box_.sent().empty());
  EXPECT_NE(log().find("Queuing possibly forged email from self bob@example.com/bob@example.com/hello"),
            std::string::npos);

  // Protocol words in any case; Postfix's local pickup writes none.
  const std::vector<std::pair<std::string, std::string>> local_forms = {
      {"local", "from x by host with local id 1"},
      {"asmtp", "from x by host with asmtp id 1"},
      {"esmtpa", "from x by host with esmtpa id 1"},
      {"esmtpsa", "from x by host with ESMTPSA id 1"},
      {"x-local-y", "from x by host with x-LOCAL-y id 1"},
      {"pickup", "by host.example.com (Postfix, from userid 1001) id 4Xy; Mon, 7 Dec 2026"}};
  for (const auto& [subject, received] : local_forms) {
    Mail local = self;
    local.received = received;
    local.subject = subject;
    ASSERT_EQ(deliver(local).status, 0);
  }
  std::string inbox = sandbox::read(inbox_);
  for (const auto& [subject, received] : local_forms)
    EXPECT_NE(inbox.find("Subject: " + subject + "\n"), std::string::npos) << received;
  EXPECT_EQ(queue().size(), 1u);

  // A pickup line further down, behind a relay's own Received, proves nothing.
  Mail relayed = self;
  relayed.received = "from x by host with esmtp id 2 by host (Postfix, from userid 1001)";
  ASSERT_EQ(deliver(relayed).status, 0);
  EXPECT_EQ(queue().size(), 2u);
}

TEST_F(Chain, TheSixthMessageOfABurstIsHeldWithoutARequest) {
  for (int i = 0; i < 6; ++i) ASSERT_EQ(deliver(Mail{}).status, 0);
  EXPECT_EQ(queue().size(), 6u);
  ASSERT_EQ(box_.sent().size(), 5u);
  EXPECT_EQ(record("stranger@far.test").size(), 6u * 33);
  EXPECT_NE(log().find("Holding message without verification request (loop protection) "
                       "stranger@far.test/hello\n"),
            std::string::npos);
  Mail reply;
  reply.subject = "Re: " + subject_of(box_.sent()[0]);
  ASSERT_EQ(deliver(reply).status, 0);
  EXPECT_TRUE(queue().empty());
  EXPECT_EQ(sandbox::read(inbox_).size(), 6 * Mail{}.text().size());
}

// Two mailboxes of two installations, each form message handed to the
// other's filter as a mail server would, until no more is sent.
TEST_F(Chain, AutomaticAnswersBetweenTwoMailboxesAlwaysEnd) {
  const std::string ann_home = box_.add_user("ann");
  const std::string ann_dir = ann_home + "/etc";
  for (const std::string& dir : {ann_dir, ann_dir + "/.sendvetter", ann_home + "/mail"})
    ::mkdir(dir.c_str(), 0700);
  sandbox::write(emaildir_ + "/sendvetter.conf", "froms=bob@b.example\n");
  sandbox::write(ann_dir + "/sendvetter.conf", "froms=ann@a.example\n");
  std::size_t seen = 0;
  // Delivers mail to account, then every form message that follows to its
  // recipient; returns how many form messages there were.
  auto exchange = [&](const std::string& account, const Mail& mail) {
    for (const std::string& dir : {emaildir_, ann_dir}) ::unlink((dir + "/.sendvetter/loopprotect").c_str());
    EXPECT_EQ(box_.filter(account, mail.text()).status, 0);
    std::size_t start = seen;
    for (auto sent = box_.sent(); seen < sent.size() && seen - start <= 40; sent = box_.sent()) {
      const std::string message = sent[seen++];
      const std::string form = message.substr(message.find('\n') + 1);
      const bool to_bob = form.find("\nTo: bob@b.example\n") != std::string::npos;
      EXPECT_EQ(box_.filter(to_bob ? "bob" : "ann", form).status, 0);
    }
    return seen - start;
  };
  Mail from_bob;
  from_bob.envelope = from_bob.from = "bob@b.example";
  from_bob.to = "ann@a.example";
  from_bob.subject = "lunch?";
  EXPECT_LE(exchange("ann", from_bob), 12u);
  EXPECT_EQ(sandbox::read(ann_home + "/mail/inbox"), from_bob.text());  // held, confirmed, released
  EXPECT_EQ(sandbox::read(ann_dir + "/.sendvetter/white-list.txt"), "from bob@b\\.example\n");

  Mail from_ann;
  from_ann.envelope = from_ann.from = "ann@a.example";
  from_ann.to = "bob@b.example";
  for (const char* subject : {"Fwd: (conf#4242) Please confirm", "Re: verify#nobodyholdsthis"}) {
    from_ann.subject = subject;
    EXPECT_LE(exchange("bob", from_ann), 12u) << subject;
  }
  list("black", "from ann@\n");
  sandbox::write(ann_dir + "/.sendvetter/black-list.txt", "from bob@\n");
  from_ann.subject = "hello";
  EXPECT_LE(exchange("bob", from_ann), 12u);
  EXPECT_NE(log().find("Not sending automatic answer (loop protection) ann@a.example/"), std::string::npos);
}

TEST_F(Chain, ExpiryRunsAfterHandledMessagesButNotAfterDrops) {
  ASSERT_EQ(deliver(Mail{}).status, 0);
  const std::string old = emaildir_ + "/sendvetter/queue/" + queue()[0];
  // Put back as a restore from a backup does, with an old time.
  const std::string held = sandbox::read(old);
  ::unlink(old.c_str());
  sandbox::write(old, held);
  sandbox::touch(old, std::time(nullptr) - 16 * 86400);
  list("ignore", "from ignored@\n");
  Mail ignored;
  ignored.envelope = ignored.from = "ignored@far.test";
  ASSERT_EQ(deliver(ignored).status, 0);
  EXPECT_TRUE(sandbox::exists(old));
  list("white", "from friend@\n");
  Mail friendly;
  friendly.envelope = friendly.from = "friend@far.test";
  ASSERT_EQ(deliver(friendly).status, 0);
  EXPECT_FALSE(sandbox::exists(old));
  EXPECT_NE(log().find("Unlinking " + old + " because its older then 1296000 seconds\n"), std::string::npos);
}

TEST_F(Chain, AMessageThatCannotBeStoredIsRetriedNotLost) {
  // A directory where the inbox belongs: the append cannot happen.
  list("white", "from stranger@\n");
  ASSERT_EQ(::mkdir(inbox_.c_str(), 0700), 0);
  EXPECT_EQ(deliver(Mail{}).status, 75);
  // The same for the queue: a directory where the queue directory belongs
  // cannot take files once it is made unusable.
  list("white", "");
  ::mkdir((emaildir_ + "/sendvetter").c_str(), 0700);  // the log may have made it
  sandbox::write(emaildir_ + "/sendvetter/queue", "not a directory");
  EXPECT_EQ(deliver(Mail{}).status, 75);
  EXPECT_TRUE(sandbox::list(emaildir_ + "/sendvetter/verifications").empty());
}

TEST_F(Chain, AMessageWithoutEnvelopeLineGetsOneAndEndsInALineFeed) {
  list("white", "from ^stranger@\n");
  Mail bare;
  bare.envelope = "";
  bare.extra = "Return-Path: <rp@far.test>\n";
  bare.body = "no line end";
  ASSERT_EQ(deliver(bare).status, 0);
  Mail bounce = bare;
  bounce.extra = "Return-Path: <>\n";
  ASSERT_EQ(deliver(bounce).status, 0);
  // Each message: "From <sender> Mon Dec  7 02:19:20 2026", then as it came.
  const Orvane::SendVetter::Regex envelope(
      "^From (\\S+) [A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n");
  std::string rest = sandbox::read(inbox_);
  for (const char* sender : {"rp@far.test", "MAILER-DAEMON"}) {
    std::vector<std::string> captures;
    ASSERT_TRUE(envelope.search(rest, captures)) << rest;
    EXPECT_EQ(captures[1], sender);
    rest.erase(0, captures[0].size());
    const std::string stored = (sender == std::string("MAILER-DAEMON") ? bounce : bare).headers() + "\nno line end\n";
    EXPECT_EQ(rest.substr(0, stored.size()), stored);
    rest.erase(0, stored.size());
  }
  EXPECT_EQ(rest, "");
}

TEST_F(Chain, EveryMessageLeavesOneSystemLogLine) {
  const std::string who = "<22>sendvetter: account=bob sender=stranger@far.test from=stranger@far.test ";
  Mail mail;
  mail.extra = "Message-ID: <m1@far.test>\n";
  ASSERT_EQ(deliver(mail).status, 0);
  auto lines = box_.syslog();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], who + "message-id=<m1@far.test>: held as " + queue()[0] + ", challenged");

  list("white", "from ^stranger@\n");
  ASSERT_EQ(deliver(Mail{}).status, 0);
  list("ignore", "subject ^hello$\n");
  ASSERT_EQ(deliver(Mail{}).status, 0);
  list("ignore", "");
  // A directory where the inbox belongs: the append cannot happen.
  ::unlink(inbox_.c_str());
  ASSERT_EQ(::mkdir(inbox_.c_str(), 0700), 0);
  ASSERT_EQ(deliver(Mail{}).status, 75);
  EXPECT_EQ(box_.syslog(), (std::vector<std::string>{who + "message-id=: delivered", who + "message-id=: dropped: ignore list",
                                                      who + "message-id=: deferred: cannot open " + inbox_ + ": Is a directory"}));

  EXPECT_EQ(box_.filter("ghost", "From: a@b\n\n").status, 1);
  EXPECT_EQ(box_.syslog(),
            std::vector<std::string>{"<22>sendvetter: account=ghost sender= from= message-id=: refused: unknown account"});
}

TEST_F(Chain, ConcurrentRunsStoreEachMessageExactlyOnce) {
  list("white", "from ^friend\n");
  std::vector<pid_t> children;
  std::vector<Mail> mails;
  for (int i = 0; i < 20; ++i) {
    Mail m;
    bool friendly = i % 2 == 0;
    m.envelope = (friendly ? "friend" : "stranger") + std::to_string(i) + "@far.test";
    m.from = m.envelope;
    m.subject = "marker-" + std::to_string(i);
    m.body = std::string(2000 + i * 100, 'a' + i % 26) + "\n";
    mails.push_back(m);
  }
  for (const Mail& m : mails) {
    pid_t pid = ::fork();
    if (pid == 0) {
      auto r = box_.filter("bob", m.text());
      ::_exit(r.status);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::string inbox = sandbox::read(inbox_);
  std::string expected_inbox_size;
  std::size_t total = 0;
  for (int i = 0; i < 20; i += 2) {
    const std::string text = mails[i].text();
    auto at = inbox.find(text);
    EXPECT_NE(at, std::string::npos) << i;
    EXPECT_EQ(inbox.find(text, at + 1), std::string::npos) << i;
    total += text.size();
  }
  EXPECT_EQ(inbox.size(), total);
  EXPECT_EQ(queue().size(), 10u);
  for (int i = 1; i < 20; i += 2) {
    std::string id = record(mails[i].envelope);
    ASSERT_EQ(id.size(), 33u) << i;
    EXPECT_EQ(sandbox::read(emaildir_ + "/sendvetter/queue/" + id.substr(0, 32) + ".msg"), mails[i].text());
  }
  for (const std::string& name : queue()) EXPECT_EQ(name.find(".lock"), std::string::npos);
}

}  // namespace

#endif
