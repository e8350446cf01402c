// Rule matching against PCRE2 itself: the wrapper's limits, and the JIT
// path's verdicts against the interpreter's. (List rules, which take a
// plain-text path when they can, are behaviour cases.)
#include <gtest/gtest.h>

#include "Orvane/SendVetter/base/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

using namespace Orvane::SendVetter;

namespace {

// A match that runs into the limits is no match, and a replacement that
// does never leaves a text half replaced.
TEST(Regex, RunawaysAreNoMatchAndReplaceNothing) {
  Regex runaway("(a+)+$");
  const std::string subject = std::string(5000, 'a') + "!";
  EXPECT_FALSE(runaway.search(subject));
  EXPECT_TRUE(runaway.last_match_failed());
  EXPECT_EQ(Regex("b|(a+)+$").replace_all("b" + subject, "x"), "b" + subject);
  EXPECT_TRUE(runaway.search("aaa"));
  EXPECT_FALSE(runaway.last_match_failed());
}

// The interpreter's verdict with the wrapper's limits: 1 match, 0 none, -1 stopped on a limit.
int interpreter(const std::string& pattern, const std::string& subject) {
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

TEST(Regex, LongSubjectsGetTheInterpretersVerdict) {
  std::vector<std::string> subjects;
  for (std::size_t repeat : {1200u, 3000u, 20000u}) {
    std::string prefix;
    for (std::size_t i = 0; i < repeat; ++i) prefix += i % 3 ? "re: " : "Re:";
    for (const char* tail : {"[list] news", "[other] news", "news"}) subjects.push_back(prefix + tail);
    subjects.push_back(std::string(repeat * 4, ' ') + "[list]");
  }
  int compared = 0;
  for (const char* pattern : {"^(re:\\s*)*\\[list\\]", "(re:\\s*)*\\[list\\]", "^(?:(?:re|fwd?):\\s*)+\\[list\\]",
                              "^(\\s*re:)*\\s*\\[list\\]$", "^(re: ?|aw: ?)*(\\[list\\]|\\[other\\])", "(x+x+)+y"}) {
    const Regex regex(pattern, Regex::kCaseless);
    for (const std::string& subject : subjects) {
      ASSERT_GT(subject.size(), Regex::kJitThreshold);
      const int expected = interpreter(pattern, subject);
      if (expected < 0) continue;
      ++compared;
      EXPECT_EQ(regex.search(subject), expected == 1) << pattern << " on " << subject.size() << " bytes";
    }
  }
  EXPECT_GT(compared, 40);
  // Too deep for the interpreter's limits: the JIT decides, on its own stack.
  ASSERT_EQ(interpreter("^(re:\\s*)*\\[list\\]", subjects[8]), -1);
  EXPECT_TRUE(Regex("^(re:\\s*)*\\[list\\]", Regex::kCaseless).search(subjects[8]));
}

}  // namespace
