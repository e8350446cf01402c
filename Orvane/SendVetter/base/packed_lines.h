// PackedLines: a list of texts kept in one buffer, each element followed by
// "\n" (so no element holds one), read in place as views. It holds the
// header lines of a message and the addresses of its recipient headers:
// a hostile message of millions of short lines or addresses then costs its
// own size once, not an allocation and a string object per element. The
// buffer of a header list is the header block in the mail-file layout.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace Orvane::SendVetter {

class PackedLines {
 public:
  PackedLines() = default;
  PackedLines(std::initializer_list<std::string_view> elements);
  // A list given element by element (the lists of the callers and tests).
  PackedLines(const std::vector<std::string>& elements);  // NOLINT: implicit on purpose

  // Takes over a buffer that is empty or ends with "\n": its lines are the
  // elements.
  static PackedLines from_text(std::string text);

  // Appends one element; it must not hold "\n".
  void push_back(std::string_view element);
  // Puts one element first; it must not hold "\n".
  void push_front(std::string_view element);
  void reserve(std::size_t bytes) { text_.reserve(bytes); }
  bool empty() const { return text_.empty(); }
  std::size_t size() const;
  // Every element followed by "\n".
  const std::string& text() const { return text_; }
  std::vector<std::string> to_vector() const;

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::string_view*;
    using reference = std::string_view;
    const_iterator() = default;
    const_iterator(const std::string* text, std::size_t pos) : text_(text), pos_(pos) {}
    std::string_view operator*() const {
      return std::string_view(*text_).substr(pos_, text_->find('\n', pos_) - pos_);
    }
    const_iterator& operator++() {
      pos_ = text_->find('\n', pos_) + 1;
      return *this;
    }
    bool operator==(const const_iterator& other) const { return pos_ == other.pos_; }

   private:
    const std::string* text_ = nullptr;
    std::size_t pos_ = 0;
  };
  const_iterator begin() const { return {&text_, 0}; }
  const_iterator end() const { return {&text_, text_.size()}; }

 private:
  std::string text_;
};

}  // namespace Orvane::SendVetter
