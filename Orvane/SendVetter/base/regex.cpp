// Regex: RAII over pcre2_code, pcre2_match_data and a limited match context.
#include "Orvane/SendVetter/base/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace Orvane::SendVetter {

namespace {

// The JIT's stack, shared by every pattern (one thread per process). The
// default 32 KB runs out long before the match limit on subjects of a few
// KB; this much lets the match limit, not the stack, end a hostile match.
// Reserved up front, but only touched pages cost memory.
constexpr std::size_t kJitStackStart = 32 * 1024;
constexpr std::size_t kJitStackMax = 64 * 1024 * 1024;

pcre2_jit_stack* jit_stack() {
  static pcre2_jit_stack* stack = pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr);
  return stack;
}

// Errors that come from the JIT's own resources, not from the match: the
// interpreter then decides, so a verdict never depends on the path taken.
bool is_jit_resource_error(int rc) {
  return rc == PCRE2_ERROR_JIT_STACKLIMIT || rc == PCRE2_ERROR_NOMEMORY ||
         rc == PCRE2_ERROR_JIT_BADOPTION;
}

}  // namespace

struct Regex::Code {
  pcre2_code* code = nullptr;
  pcre2_match_data* data = nullptr;
  pcre2_match_context* context = nullptr;
  bool jit_tried = false;
  bool jit = false;
  ~Code() {
    pcre2_match_context_free(context);
    pcre2_match_data_free(data);
    pcre2_code_free(code);
  }
};

Regex::Regex(std::string_view pattern, unsigned flags) {
  uint32_t options = 0;
  if (flags & kCaseless) options |= PCRE2_CASELESS;
  if (flags & kMultiline) options |= PCRE2_MULTILINE;
  int error = 0;
  PCRE2_SIZE offset = 0;
  auto code = std::make_unique<Code>();
  code->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                             options, &error, &offset, nullptr);
  if (!code->code) return;
  code->data = pcre2_match_data_create_from_pattern(code->code, nullptr);
  code->context = pcre2_match_context_create(nullptr);
  if (!code->data || !code->context) return;
  pcre2_set_match_limit(code->context, kMatchLimit);
  pcre2_set_depth_limit(code->context, kDepthLimit);
  code_ = std::move(code);
}

Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

int Regex::run(std::string_view subject, std::size_t offset) const {
  last_failed_ = false;
  if (!code_) return PCRE2_ERROR_NOMATCH;
  // The interpreter restarts its match limit at every start position, so a
  // pattern that rescans the rest of a long subject from each position costs
  // quadratic time. Machine code makes that affordable; it is compiled only
  // for long subjects because compiling costs more than short matches do.
  if (subject.size() > kJitThreshold && !code_->jit_tried) {
    code_->jit_tried = true;
    code_->jit = pcre2_jit_compile(code_->code, PCRE2_JIT_COMPLETE) == 0;
    if (code_->jit) pcre2_jit_stack_assign(code_->context, nullptr, jit_stack());
  }
  const auto match = [&](uint32_t options) {
    return pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(),
                       offset, options, code_->data, code_->context);
  };
  int rc = match(0);
  if (code_->jit && is_jit_resource_error(rc)) rc = match(PCRE2_NO_JIT);
  if (rc < 0 && rc != PCRE2_ERROR_NOMATCH) last_failed_ = true;
  return rc;
}

bool Regex::search(std::string_view subject) const { return run(subject, 0) >= 0; }

bool Regex::search(std::string_view subject, std::vector<std::string>& captures) const {
  int rc = run(subject, 0);
  if (rc < 0) return false;
  uint32_t groups = pcre2_get_ovector_count(code_->data);
  PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(code_->data);
  captures.assign(groups, std::string());
  for (uint32_t i = 0; i < groups && i < static_cast<uint32_t>(rc); ++i) {
    if (ovector[2 * i] == PCRE2_UNSET) continue;
    captures[i].assign(subject.substr(ovector[2 * i], ovector[2 * i + 1] - ovector[2 * i]));
  }
  return true;
}

std::string Regex::replace_all(std::string_view subject, std::string_view replacement) const {
  std::string out;
  std::size_t pos = 0;
  std::size_t copied = 0;
  while (pos <= subject.size()) {
    int rc = run(subject, pos);
    if (rc < 0) {
      if (last_failed_) return std::string(subject);
      break;
    }
    PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(code_->data);
    std::size_t start = ovector[0], end = ovector[1];
    out.append(subject.substr(copied, start - copied));
    out.append(replacement);
    copied = end;
    // An empty match moves one byte on, so the scan always advances.
    if (end == start) {
      if (end < subject.size()) out.push_back(subject[end]);
      copied = end + 1;
      pos = end + 1;
    } else {
      pos = end;
    }
  }
  if (copied < subject.size()) out.append(subject.substr(copied));
  return out;
}

}  // namespace Orvane::SendVetter
