// Rule matching without a compiled pattern: plain-text rules are matched as
// case-folded substrings. Every verdict must be the one PCRE2 gives for the
// same pattern, so the rules here are compared against the regex wrapper
// itself, over generated patterns rich in the characters that decide which
// way a rule goes (escapes, metacharacters, "/", bytes above 127).
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sys/stat.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/regex.h"
#include "test_util.h"

namespace {

using namespace Orvane::SendVetter;

// What a "from" rule with this pattern text must answer, by PCRE2.
bool reference(const std::string& raw, const std::string& email) {
  std::string pattern;
  for (char c : raw) {
    if (c == '/') pattern += '\\';
    pattern += c;
  }
  if (pattern.find_first_not_of(" \t\n\v\f\r") == std::string::npos) return false;
  const Regex rule(pattern, Regex::kCaseless);
  return rule.valid() && rule.search(email);
}

class LiteralRules : public ::testing::Test {
 protected:
  void SetUp() override {
    emaildir = dir / "etc";
    ::mkdir(emaildir.c_str(), 0700);
    ::mkdir((emaildir + "/.sendvetter").c_str(), 0700);
  }
  int check_rule(const std::string& rule, const std::string& email, const Lines& to = {}) {
    std::ofstream(emaildir + "/.sendvetter/white-list.txt", std::ios::binary | std::ios::trunc) << rule << "\n";
    return SendVetter_checklist("white", emaildir, email, to, {}, "");
  }
  testutil::TempDir dir;
  std::string emaildir;
};

TEST_F(LiteralRules, SystemWrittenRulesMatchTheirAddressOnly) {
  EXPECT_EQ(check_rule("from name\\.7@domain\\.test", "Name.7@Domain.TEST"), 1);
  EXPECT_EQ(check_rule("from name\\.7@domain\\.test", "xname.7@domain.testx"), 1);  // unanchored
  EXPECT_EQ(check_rule("from name\\.7@domain\\.test", "name-7@domain.test"), 0);   // "\." is a dot
  EXPECT_EQ(check_rule("from a\\+b@x\\.com", "a+b@x.com"), 1);
  EXPECT_EQ(check_rule("from a\\+b@x\\.com", "aab@x.com"), 0);
  // "/" is escaped before use; a written "\/" then asks for a backslash.
  EXPECT_EQ(check_rule("from a/b", "A/B"), 1);
  EXPECT_EQ(check_rule("from a\\/b", "a/b"), 0);
  EXPECT_EQ(check_rule("from a\\/b", "a\\/b"), 1);
  // One address of several suffices for "to".
  EXPECT_EQ(check_rule("to sales@shop\\.test", "x@y.test", {"a@b.test", "SALES@shop.test"}), 1);
  EXPECT_EQ(check_rule("to sales@shop\\.test", "sales@shop.test", {}), 0);
}

TEST_F(LiteralRules, EveryVerdictIsPcre2s) {
  std::mt19937 rng(20240601);
  const std::string alphabet = std::string("aAbBzZ09@-_ ./\\^$*+?()[]{}|#\t\r\x01\x7f\xc3\xa9\xff\0", 36);
  auto draw = [&](std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += alphabet[rng() % alphabet.size()];
    return s;
  };
  int literal_like = 0;
  for (int i = 0; i < 1500; ++i) {
    const std::string raw = draw(1 + rng() % 6);
    std::string email = draw(rng() % 8);
    // Often put the rule's own text, in mixed case, into the address.
    if (rng() % 2) {
      std::string copy;
      for (char c : raw)
        if (c != '\\') copy += (rng() % 2) ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
      email.insert(rng() % (email.size() + 1), copy);
    }
    if (raw.find_first_of("^$.[]|()?*+{}") == std::string::npos) ++literal_like;
    ASSERT_EQ(check_rule("from " + raw, email), reference(raw, email) ? 1 : 0)
        << "rule [" << raw << "] address [" << email << "]";
  }
  EXPECT_GT(literal_like, 150);  // the plain-text path was exercised
}

}  // namespace
