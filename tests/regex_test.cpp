// The PCRE2 gateway: captures, substitution, and hostile patterns as "no match".
#include <gtest/gtest.h>

#include "Orvane/SendVetter/base/regex.h"

using Orvane::SendVetter::Regex;

namespace {

TEST(RegexGateway, SearchesCapturesAndSubstitutes) {
  Regex re("(a+)(x)?b", Regex::kCaseless);
  std::vector<std::string> captures;
  ASSERT_TRUE(re.search("zzAAb", captures));
  EXPECT_EQ(captures[0], "AAb");
  EXPECT_EQ(captures[1], "AA");
  EXPECT_EQ(captures[2], "");
  EXPECT_EQ(Regex("[\\s\\t]*").replace_all(" a \tb\n", ""), "ab");
  EXPECT_EQ(Regex("[;,]+").replace_all(";a,,b;", "|"), "|a|b|");
  EXPECT_TRUE(Regex("^b", Regex::kMultiline).search("a\nb"));
  EXPECT_FALSE(Regex("^b").search("a\nb"));
}

TEST(RegexGateway, BrokenAndRunawayPatternsAreNoMatch) {
  Regex broken("(unclosed");
  EXPECT_FALSE(broken.valid());
  EXPECT_FALSE(broken.search("(unclosed"));
  EXPECT_EQ(broken.replace_all("abc", "x"), "abc");

  Regex runaway("(a+)+$");
  std::string subject(5000, 'a');
  subject += "!";
  EXPECT_FALSE(runaway.search(subject));
  EXPECT_TRUE(runaway.last_match_failed());
  EXPECT_TRUE(runaway.search("aaa"));
  EXPECT_FALSE(runaway.last_match_failed());
}

}  // namespace
