// Tests of list-rule matching: the line format, keywords, "/" escaping,
// case-insensitive unanchored patterns, line numbers in the log line, and
// broken rules that must not stop the later ones.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "Orvane/SendVetter.h"
#include "test_util.h"

namespace {

using namespace Orvane::SendVetter;

class ListMatch : public ::testing::Test {
 protected:
  void SetUp() override {
    emaildir = dir / "etc";
    ::mkdir(emaildir.c_str(), 0700);
    ::mkdir((emaildir + "/.sendvetter").c_str(), 0700);
  }
  void list(const std::string& name, const std::string& content) {
    std::ofstream(emaildir + "/.sendvetter/" + name + "-list.txt", std::ios::binary) << content;
  }
  // Lines logged since the last call.
  std::string new_log() {
    Lines d = SendVetter_nicedate(std::time(nullptr));
    std::ifstream in(emaildir + "/sendvetter/log/" + d[0] + "-" + d[1] + "-" + d[2] + ".log");
    std::ostringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    std::string fresh = text.substr(std::min(seen, text.size()));
    seen = text.size();
    return fresh;
  }
  int check(const std::string& listname, const std::string& from, const std::string& subject = "",
            const Lines& to = {}, const Lines& cc = {}) {
    return SendVetter_checklist(listname, emaildir, from, to, cc, subject);
  }

  testutil::TempDir dir;
  std::string emaildir;
  std::size_t seen = 0;
};

TEST_F(ListMatch, SkippedLinesStillCountAndKeywordsAreExact) {
  list("white",
       "# comment\n"
       "From x@y\n"          // capitalised keyword: skipped
       "from\n"              // no space
       "from \t\t\n"         // blank pattern
       " from x@y\n"         // empty keyword
       "sender x@y\n"        // unknown keyword
       "\n"
       "subject URGENT\n");  // line 8
  EXPECT_EQ(check("white", "x@y", "nothing here"), 0);
  EXPECT_EQ(new_log(), "");
  EXPECT_EQ(check("white", "x@y", "an urgent reply"), 1);
  EXPECT_EQ(new_log(), "Email matches rule \"subject URGENT\" Line 8 in whitelist\n");
}

TEST_F(ListMatch, PatternsAreUnanchoredCaselessAndEscapeSlashes) {
  list("black",
       "from a.c\n"
       "from ^news-\n"
       "from a/b\n"
       "from c\\/d\n"
       "subject ^$\n");
  EXPECT_EQ(check("black", "xABCx", "s"), 1);
  EXPECT_EQ(new_log(), "Email matches rule \"from a.c\" Line 1 in blacklist\n");
  EXPECT_EQ(check("black", "my-news-letter", "s"), 0);
  EXPECT_EQ(check("black", "NEWS-daily@x", "s"), 1);
  new_log();
  // A bare "/" matches "/", and the log shows the escaped form.
  EXPECT_EQ(check("black", "q/a/b/q", "s"), 1);
  EXPECT_EQ(new_log(), "Email matches rule \"from a\\/b\" Line 3 in blacklist\n");
  // "\/" in the file becomes "\\/": a backslash, then "/".
  EXPECT_EQ(check("black", "c/d", "s"), 0);
  EXPECT_EQ(check("black", "c\\/d", "s"), 1);
  EXPECT_EQ(new_log(), "Email matches rule \"from c\\\\/d\" Line 4 in blacklist\n");
  // No Subject at all matches "^$"; two matching rules log only the first.
  EXPECT_EQ(check("black", "abc", ""), 1);
  EXPECT_EQ(new_log(), "Email matches rule \"from a.c\" Line 1 in blacklist\n");
  EXPECT_EQ(check("black", "zzz", ""), 1);
  EXPECT_EQ(new_log(), "Email matches rule \"subject ^$\" Line 5 in blacklist\n");
}

TEST_F(ListMatch, ToAndCcRulesTryEveryAddress) {
  list("ignore", "to ^bob@\ncc list@lists\\.example$\n");
  EXPECT_EQ(check("ignore", "s@x", "", {}, {"bob@x"}), 0);  // "to" ignores Cc
  EXPECT_EQ(check("ignore", "s@x", "", {"alice@x", "Bob@Y"}), 1);
  EXPECT_EQ(new_log(), "Email matches rule \"to ^bob@\" Line 1 in ignorelist\n");
  EXPECT_EQ(check("ignore", "s@x", "", {"alice@x"}, {"a@x", "list@lists.example"}), 1);
  EXPECT_EQ(new_log(), "Email matches rule \"cc list@lists\\.example$\" Line 2 in ignorelist\n");
  EXPECT_EQ(check("ignore", "bob@x", "to bob@x"), 0);  // no To addresses at all
}

TEST_F(ListMatch, BrokenRulesAreSkippedAndLoggedOnce) {
  list("white",
       "from (unclosed\n"
       "from (a+)+$\n"  // runs into the match limit on the sender below
       "from a\n");
  const std::string sender = std::string(40, 'a') + "!";
  EXPECT_EQ(check("white", sender), 1);
  EXPECT_EQ(new_log(),
            "Skipping invalid rule \"from (unclosed\" Line 1 in whitelist\n"
            "Skipping invalid rule \"from (a+)+$\" Line 2 in whitelist\n"
            "Email matches rule \"from a\" Line 3 in whitelist\n");
  // Read again in the same run: the broken rules are not logged again.
  EXPECT_EQ(check("white", sender), 1);
  EXPECT_EQ(new_log(), "Email matches rule \"from a\" Line 3 in whitelist\n");
}

TEST_F(ListMatch, MissingListAndCarriageReturns) {
  EXPECT_EQ(check("white", "anyone@x", "anything"), 0);
  EXPECT_EQ(new_log(), "");
  // A CR before the line end stays part of the pattern.
  list("white", "from abc\r\n");
  EXPECT_EQ(check("white", "abc"), 0);
  EXPECT_EQ(check("white", "abc\r"), 1);
  // ".." is removed from the list name.
  EXPECT_EQ(check("wh..ite", "abc\r"), 1);
}

}  // namespace
