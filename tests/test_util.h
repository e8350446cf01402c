// Helpers for unit tests: a temporary directory, and running a function with
// a given standard input in a forked child.
#pragma once

#include <functional>
#include <string>

namespace testutil {

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs body in a forked child whose standard input is input and whose
// standard output is captured; returns (exit status, output). The child's
// exit status is body's return value.
struct ChildResult {
  int status;
  std::string out;
};
ChildResult run_in_child(const std::string& input, const std::function<int()>& body);

}  // namespace testutil
