// The PCRE2 gateway: captures, substitution, and hostile patterns as "no match".
#include <gtest/gtest.h>

#include "Orvane/SendVetter/base/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

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

// The interpreter's verdict with the gateway's limits: 1 match, 0 none,
// -1 when it stopped on a limit (then it has no verdict to compare).
int interpreter_verdict(const std::string& pattern, const std::string& subject) {
  int error;
  PCRE2_SIZE offset;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                   PCRE2_CASELESS, &error, &offset, nullptr);
  pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
  pcre2_match_context* context = pcre2_match_context_create(nullptr);
  pcre2_set_match_limit(context, Regex::kMatchLimit);
  pcre2_set_depth_limit(context, Regex::kDepthLimit);
  const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0,
                             PCRE2_NO_JIT, data, context);
  pcre2_match_context_free(context);
  pcre2_match_data_free(data);
  pcre2_code_free(code);
  return rc >= 0 ? 1 : rc == PCRE2_ERROR_NOMATCH ? 0 : -1;
}

// Long subjects take the JIT path; its verdict must be the interpreter's.
TEST(RegexGateway, LongSubjectsGetTheInterpretersVerdict) {
  const std::vector<std::string> patterns = {
      "^(re:\\s*)*\\[list\\]", "(re:\\s*)*\\[list\\]", "^(?:(?:re|fwd?):\\s*)+\\[list\\]",
      "^(\\s*re:)*\\s*\\[list\\]$", "^(re: ?|aw: ?)*(\\[list\\]|\\[other\\])", "(x+x+)+y"};
  std::vector<std::string> subjects;
  for (std::size_t repeat : {1200u, 3000u, 20000u}) {
    std::string prefix;
    for (std::size_t i = 0; i < repeat; ++i) prefix += i % 3 ? "re: " : "Re:";
    subjects.push_back(prefix + "[list] news");
    subjects.push_back(prefix + "[other] news");
    subjects.push_back(prefix + "news");
    subjects.push_back(std::string(repeat * 4, ' ') + "[list]");
  }
  int compared = 0;
  for (const std::string& pattern : patterns) {
    const Regex regex(pattern, Regex::kCaseless);
    for (const std::string& subject : subjects) {
      ASSERT_GT(subject.size(), Regex::kJitThreshold);
      const int expected = interpreter_verdict(pattern, subject);
      if (expected < 0) continue;
      ++compared;
      EXPECT_EQ(regex.search(subject), expected == 1) << pattern << " on " << subject.size() << " bytes";
    }
  }
  EXPECT_GT(compared, 40);
}

}  // namespace
