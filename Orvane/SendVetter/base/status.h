// Status: why an operation failed (the step, the file, the system's reason),
// carried up to the one place that reports it.
#pragma once

#include <string>

namespace Orvane::SendVetter {

class Status {
 public:
  // Success.
  Status() = default;
  // A failure of step ("open", "write to", ...) on path; error is the errno
  // value, 0 when the step failed without a system error.
  static Status failure(std::string step, std::string path, int error);

  bool ok() const { return step_.empty(); }
  // "cannot <step> <path>: <system reason>" (without ": ..." when there is no
  // system error); empty for success.
  std::string message() const;

 private:
  std::string step_;
  std::string path_;
  int error_ = 0;
};

}  // namespace Orvane::SendVetter
