// PackedLines: a list of texts in one buffer, each followed by "\n".
#include "Orvane/SendVetter/base/packed_lines.h"

#include <algorithm>

namespace Orvane::SendVetter {

PackedLines::PackedLines(std::initializer_list<std::string_view> elements) {
  for (std::string_view element : elements) push_back(element);
}

PackedLines::PackedLines(const std::vector<std::string>& elements) {
  for (const std::string& element : elements) push_back(element);
}

PackedLines PackedLines::from_text(std::string text) {
  PackedLines lines;
  lines.text_ = std::move(text);
  return lines;
}

void PackedLines::push_back(std::string_view element) {
  text_.append(element);
  text_.push_back('\n');
}

void PackedLines::push_front(std::string_view element) {
  text_.insert(0, std::string(element) + "\n");
}

std::size_t PackedLines::size() const {
  return static_cast<std::size_t>(std::count(text_.begin(), text_.end(), '\n'));
}

std::vector<std::string> PackedLines::to_vector() const {
  std::vector<std::string> elements;
  for (std::string_view element : *this) elements.emplace_back(element);
  return elements;
}

}  // namespace Orvane::SendVetter
