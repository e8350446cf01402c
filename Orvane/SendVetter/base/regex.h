// Regex: the one gateway to PCRE2 for every regular expression of the system.
//
// Patterns are compiled as bytes (no UTF), with a match limit and a depth
// limit so that a hostile pattern or subject costs bounded time and memory.
// A pattern that does not compile, and a match that hits a limit or fails in
// any other way, is "no match" to the caller; valid() and last_match_failed()
// tell the two apart for callers that want to report them.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Orvane::SendVetter {

class Regex {
 public:
  enum Flags : unsigned { kNone = 0, kCaseless = 1u << 0, kMultiline = 1u << 1 };

  explicit Regex(std::string_view pattern, unsigned flags = kNone);
  ~Regex();
  Regex(Regex&&) noexcept;
  Regex& operator=(Regex&&) noexcept;
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  bool valid() const { return code_ != nullptr; }

  // Searches anywhere in subject (the pattern may anchor itself).
  bool search(std::string_view subject) const;
  // As search(); on a match captures[0] is the whole match and captures[i]
  // the i-th group (empty when the group did not take part).
  bool search(std::string_view subject, std::vector<std::string>& captures) const;
  // Every non-overlapping match replaced by the literal text replacement.
  // The subject unchanged when the pattern is invalid or a limit is hit.
  std::string replace_all(std::string_view subject, std::string_view replacement) const;

  // true when the last search stopped on an error (a limit) rather than
  // finding no match.
  bool last_match_failed() const { return last_failed_; }

  // Match and depth limits applied to every search.
  static constexpr unsigned kMatchLimit = 1'000'000;
  static constexpr unsigned kDepthLimit = 10'000;
  // Subjects longer than this are matched by JIT-compiled code.
  static constexpr std::size_t kJitThreshold = 4096;

 private:
  int run(std::string_view subject, std::size_t offset) const;

  struct Code;
  std::unique_ptr<Code> code_;
  mutable bool last_failed_ = false;
};

}  // namespace Orvane::SendVetter
