// Status: failure reasons as values.
#include "Orvane/SendVetter/base/status.h"

#include <cassert>
#include <cstring>

namespace Orvane::SendVetter {

Status Status::failure(std::string step, std::string path, int error) {
  assert(!step.empty());
  Status status;
  status.step_ = std::move(step);
  status.path_ = std::move(path);
  status.error_ = error;
  return status;
}

std::string Status::message() const {
  if (ok()) return {};
  std::string text = "cannot " + step_ + " " + path_;
  if (error_ != 0) text += std::string(": ") + std::strerror(error_);
  return text;
}

}  // namespace Orvane::SendVetter
