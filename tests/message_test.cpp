// Header intake and address extraction.
#include <gtest/gtest.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/message/authresults.h"
#include "Orvane/SendVetter/message/automated.h"
#include "Orvane/SendVetter/message/encoded_words.h"
#include "Orvane/SendVetter/message/header_block.h"
#include "test_util.h"

using namespace Orvane::SendVetter;

namespace {

// Header block and rest of the input, read through a pipe.
std::pair<Lines, std::string> read_block(const std::string& input) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  EXPECT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ::close(fds[1]);
  LineReader reader(fds[0]);
  Lines headers = read_header_block(reader).to_vector();
  std::string rest, chunk;
  while (reader.read_chunk(chunk, 7)) rest += chunk;
  ::close(fds[0]);
  return {headers, rest};
}

TEST(HeaderIntake, StopsAtTheFirstEmptyLineAndLeavesTheBody) {
  auto [headers, rest] = read_block("From a@b Mon\nSubject: x\n\nbody\n\nmore");
  EXPECT_EQ(headers, (Lines{"From a@b Mon", "Subject: x"}));
  EXPECT_EQ(rest, "body\n\nmore");

  auto crlf = read_block("Subject: x\r\nTo: y\r\n\r\nbody\r\n");
  EXPECT_EQ(crlf.first, (Lines{"Subject: x\r", "To: y\r"}));
  EXPECT_EQ(crlf.second, "body\r\n");

  auto header_only = read_block("Subject: x\nTo: y");
  EXPECT_EQ(header_only.first, (Lines{"Subject: x", "To: y"}));
  EXPECT_EQ(header_only.second, "");

  EXPECT_TRUE(read_block("\nSubject: x\n").first.empty());
  // Blanks do not end the header block.
  EXPECT_EQ(read_block("A: 1\n \t\nB: 2\n\n").first, (Lines{"A: 1", " \t", "B: 2"}));
}

TEST(HeaderIntake, GetHeadersReadsStandardInputAndLeavesTheBodyThere) {
  auto result = testutil::run_in_child("Subject: hi\n\nthe body\n", [] {
    Lines headers = SendVetter_getheaders().to_vector();
    std::string rest, chunk;
    while (standard_input().read_chunk(chunk, 4096)) rest += chunk;
    return headers == Lines{"Subject: hi"} && rest == "the body\n" ? 0 : 1;
  });
  EXPECT_EQ(result.status, 0);
}

TEST(HeaderLookup, FindsTheFirstHeaderAndJoinsItsContinuations) {
  PackedLines headers = {"From x@y Mon", "SUBJECT: first", "\t  folded", " again",
                   "Subject: second", "To: a@b"};
  EXPECT_EQ(SendVetter_getheader("subject", headers), "first folded again");
  EXPECT_EQ(SendVetter_getheader("to", headers), "a@b");
  EXPECT_EQ(SendVetter_getheader("cc", headers), "");
  EXPECT_EQ(SendVetter_getheader("subject", Lines{"Subject:nospace"}), "");
  EXPECT_EQ(SendVetter_getheader("subject", Lines{"Subject :x"}), "");
  // An empty first value takes no continuation.
  EXPECT_EQ(SendVetter_getheader("subject", Lines{"Subject: ", " cont"}), "");
  // CRLF pieces keep their carriage returns.
  EXPECT_EQ(SendVetter_getheader("subject", Lines{"Subject: a\r", " b\r"}), "a\r b\r");
}

TEST(HeaderLookup, EnvelopeSenderAndTransportWord) {
  EXPECT_EQ(SendVetter_getsender({"Subject: x", "From bob@x.test Mon Dec 7"}), "bob@x.test");
  EXPECT_EQ(SendVetter_getsender({"From: bob@x.test"}), "");
  EXPECT_EQ(SendVetter_getsender({"From  two@spaces"}), "");
  EXPECT_EQ(SendVetter_getsender({}), "");

  EXPECT_EQ(SendVetter_gettransportmethod("from a by b with esmtp id 1"), "esmtp");
  EXPECT_EQ(SendVetter_gettransportmethod("from a by b with x; by c with local (Exim)"), "local");
  EXPECT_EQ(SendVetter_gettransportmethod("from a by b with asmtp; Mon"), "asmtp;");
  EXPECT_EQ(SendVetter_gettransportmethod("by b with esmtp"), "");
  EXPECT_EQ(SendVetter_gettransportmethod("From a by b with esmtp"), "");
}

TEST(Addresses, ExtractionTakesTheFirstAddressLikeToken) {
  EXPECT_EQ(SendVetter_extractaddress("\"Bob B\" <Bob@Example.COM>"), "bob@example.com");
  EXPECT_EQ(SendVetter_extractaddress("no address here"), "");
  EXPECT_EQ(SendVetter_extractaddress("a..b@x...y"), "ab@x.y");
  EXPECT_EQ(SendVetter_extractaddress("a@b.c,d@e.f"), "a@b.c,d@e.f");
  EXPECT_EQ(SendVetter_extractaddress("x@y <real@z>"), "x@y");
  EXPECT_EQ(SendVetter_extractaddress(""), "");
}

TEST(Addresses, RecipientListsSplitAtCommasAndSemicolons) {
  EXPECT_EQ(SendVetter_splitaddresses("a@b.c, d@e.f"), (Lines{"a@b.c", "d@e.f"}));
  EXPECT_EQ(SendVetter_splitaddresses("a@b.c;d@e.f;;"), (Lines{"a@b.c", "d@e.f"}));
  EXPECT_EQ(SendVetter_splitaddresses(",a@b"), (Lines{"", "a@b"}));
  EXPECT_TRUE(SendVetter_splitaddresses(" \t").empty());
  Lines pieces = SendVetter_splitaddresses("\"Doe, John\" <J@X.test>, k@y.test");
  EXPECT_EQ(SendVetter_extractaddresses(pieces), (Lines{"", "j@x.test", "k@y.test"}));
  // The filter builds the same lists from the header lines in place.
  const std::vector<PackedLines> blocks = {
      {"To: \"Doe, John\" <J@X.test>, k@y.test"}, {"To: ;a@b"}, {"To: ;"}, {"To: a@b;"},
      {"To: ,,a@b,,;c@d;,"}, {"To: a@b,\r", "\tc@\r", " d\r", "Cc: e@f"}, {"To: ", " a@b"},
      {"To:    ", "  a@b , c", "x@y"}, {"TO: \" x @ y\""}, {"Cc: a@b"}, {}};
  for (const PackedLines& block : blocks)
    EXPECT_EQ(recipient_addresses("to", block).to_vector(),
              SendVetter_extractaddresses(SendVetter_splitaddresses(SendVetter_getheader("to", block))))
        << block.text();
}

TEST(Addresses, ReturnAddressIsTheFirstConfiguredEntryAmongTheRecipients) {
  Lines rcpt = {"b@x", "a@x"};
  EXPECT_EQ(SendVetter_findreturnaddy("acct", "a@x,b@x", rcpt), "a@x");
  EXPECT_EQ(SendVetter_findreturnaddy("acct", "z@x,b@x", rcpt), "b@x");
  EXPECT_EQ(SendVetter_findreturnaddy("acct", "z@x, b@x", rcpt), "acct");  // blank kept
  EXPECT_EQ(SendVetter_findreturnaddy("acct", "A@x", rcpt), "acct");       // case kept
  EXPECT_EQ(SendVetter_findreturnaddy("acct", "", rcpt), "acct");
  // A recipient piece without an address never pairs with an empty entry.
  EXPECT_EQ(SendVetter_findreturnaddy("acct", "z@x,,b@x", Lines{""}), "acct");
}

TEST(AutomatedMail, EachHeaderFormNamesItsReason) {
  struct Case {
    std::string envelope;
    Lines headers;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"<>", {}, "null envelope sender"},
      {"MAILER-DAEMON", {}, "null envelope sender"},
      {"a@b", {"Return-Path: < >"}, "null envelope sender"},
      {"a@b", {"AUTO-SUBMITTED: Auto-Replied (vacation)"}, "Auto-Submitted"},
      {"a@b", {"Auto-Submitted :", "\tauto-generated"}, "Auto-Submitted"},
      {"a@b", {"Precedence: BULK"}, "Precedence: bulk"},
      {"a@b", {"precedence:junk\r"}, "Precedence: junk"},
      {"a@b", {"Precedence: list"}, "Precedence: list"},
      {"a@b", {"list-id: <news.lists.test>"}, "List-Id"},
      {"a@b", {"List-Unsubscribe: <mailto:x@y>"}, "List-Unsubscribe"},
      {"a@b", {"List-Post: NO"}, "List-Post"},
      {"a@b", {"Content-Type: Multipart/Report;", " report-type=delivery-status"}, "multipart/report"},
      // A person's message, and look-alikes that are not automated.
      {"a@b", {"Subject: hi"}, ""},
      {"MAILER-DAEMON@mx.test", {"Return-Path: <a@b>"}, ""},
      {"a@b", {"Auto-Submitted: No (a person)"}, ""},
      {"a@b", {"Auto-Submitted:", "\t no"}, ""},
      {"a@b", {"Precedence: first-class", "X-Auto-Submitted: yes", "List-Identifier: x"}, ""},
      {"a@b", {"Content-Type: multipart/mixed", "X-Note: multipart/report"}, ""},
      {"a@b", {"Content-Type: multipart/reports", "Return-Path: <>x"}, ""},
      {"a@b", {"Subject: x", " List-Id: folded into the subject"}, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(automated_reason(c.headers, c.envelope), c.reason) << c.envelope << " " << c.headers.size();
}

TEST(SenderAuthentication, OnlyTheTopmostHeaderWithOurIdSaysWhetherTheFromDomainFailed) {
  const std::string ours = "Authentication-Results: mx.example.com; ";
  struct Case {
    Lines headers;
    bool failed;
  };
  const std::vector<Case> cases = {
      {{ours + "dmarc=fail header.from=friend.test"}, true},
      {{"authentication-results : MX.Example.COM;", "\tspf=FAIL smtp.mailfrom=friend@Friend.test"}, true},
      {{ours + "spf=fail smtp.mailfrom=friend.test; dkim=pass header.d=other.test"}, true},
      {{ours + "spf=fail smtp.mailfrom=friend.test; dkim=pass header.i=@friend.test"}, false},
      {{ours + "spf=fail smtp.mailfrom=other.test"}, false},
      {{ours + "spf=softfail smtp.mailfrom=friend.test; dmarc=none"}, false},
      {{ours + "none"}, false},
      {{}, false},
      // Another id, or ours in a comment or a quoted string, counts for nothing.
      {{"Authentication-Results: mx.example.com.evil.test; dmarc=fail"}, false},
      {{"Authentication-Results: relay.test; spf=pass", ours + "dmarc=fail"}, true},
      {{"Authentication-Results: (ours) \"MX.example.com\"; dmarc=fail"}, true},
      {{"Authentication-Results: mx.example.com (relay; dmarc=fail ); spf=pass smtp.mailfrom=friend.test"}, false},
      {{"Authentication-Results: mx.example.com 1; dkim/1 = pass header.d=friend.test (ok);",
        " spf=fail smtp.mailfrom=friend.test reason=\"x; dmarc=fail \""},
       false},
      // The topmost of ours wins.
      {{ours + "spf=pass smtp.mailfrom=friend.test", ours + "dmarc=fail"}, false},
      {{ours + "dmarc=fail", ours + "spf=pass smtp.mailfrom=friend.test"}, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(from_domain_failed(c.headers, "mx.example.com", "friend.test"), c.failed)
        << ::testing::PrintToString(c.headers);
  EXPECT_FALSE(from_domain_failed({ours + "dmarc=fail"}, "", "friend.test"));  // switched off
}

// Decoding yields bytes; what is not a well-formed encoded word is kept.
TEST(EncodedWords, DecodeToBytesAndKeepTheRest) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"Re: =?UTF-8?B?dmVyaWZ5I1Ex?=)", "Re: verify#Q1)"},
      {"=?utf-8?b?dmVyaWZ5I1E?= x", "verify#Q x"},  // padding left out
      {"=?iso-8859-1?q?Gr=FC=DFe_=28verify=23?= \t\n =?x?Q?Q1=29?= end", "Gr\xfc\xdf" "e (verify#Q1) end"},
      {"a =?utf-8?q?b?= c", "a b c"},
      {"=?utf-8*de?Q?x?=", "x"},
      {"=?utf-8?x?abc?= =?utf-8?q?a b?= =?utf-8?b?a!==?= =?utf-8?q?=4?= =??q?a?= =?utf-8?q?a", "=?utf-8?x?abc?= "
       "=?utf-8?q?a b?= =?utf-8?b?a!==?= =?utf-8?q?=4?= =??q?a?= =?utf-8?q?a"},
      {"=?=?utf-8?q?x?=", "=?x"},
  };
  for (const auto& [encoded, decoded] : table) EXPECT_EQ(decode_encoded_words(encoded), decoded) << encoded;
}

}  // namespace
