// Rule matching against PCRE2 itself: the wrapper's limits, the JIT path's
// verdicts against the interpreter's, and list rules (which take a
// plain-text path when they can) against the wrapper.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sys/stat.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/regex.h"
#include "sandbox.h"

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

// Generated "from" rules rich in the characters that decide whether a rule
// is plain text (escapes, metacharacters, "/", bytes above 127): every
// verdict is the one PCRE2 gives for the rule with "/" escaped.
TEST(Regex, EveryListRuleVerdictIsPcre2s) {
  sandbox::TempDir dir;
  ::mkdir((dir / ".sendvetter").c_str(), 0700);
  std::mt19937 rng(20240601);
  const std::string alphabet("aAbBzZ09@-_ ./\\^$*+?()[]{}|#\t\r\x01\x7f\xc3\xa9\xff\0", 36);
  auto draw = [&](std::size_t n) {
    std::string s;
    while (s.size() < n) s += alphabet[rng() % alphabet.size()];
    return s;
  };
  int plain = 0;
  for (int i = 0; i < 1500; ++i) {
    const std::string raw = draw(1 + rng() % 6);
    std::string email = draw(rng() % 8), pattern;
    if (rng() % 2) {  // the rule's own text, in mixed case, inside the address
      std::string copy;
      for (char c : raw)
        if (c != '\\') copy += rng() % 2 ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
      email.insert(rng() % (email.size() + 1), copy);
    }
    for (char c : raw) pattern += c == '/' ? std::string("\\/") : std::string(1, c);
    const Regex reference(pattern, Regex::kCaseless);
    const bool blank = pattern.find_first_not_of(" \t\n\v\f\r") == std::string::npos;
    plain += raw.find_first_of("^$.[]|()?*+{}") == std::string::npos;
    std::ofstream(dir / ".sendvetter/white-list.txt", std::ios::binary | std::ios::trunc) << "from " << raw << "\n";
    ASSERT_EQ(SendVetter_checklist("white", dir.path(), email, {}, {}, ""),
              !blank && reference.valid() && reference.search(email) ? 1 : 0)
        << "rule [" << raw << "] address [" << email << "]";
  }
  EXPECT_GT(plain, 150);
}

}  // namespace
