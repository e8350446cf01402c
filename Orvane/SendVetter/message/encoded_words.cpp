// Encoded words for the header lines of our own form messages.
#include "Orvane/SendVetter/message/encoded_words.h"

#include <cstdint>

namespace Orvane::SendVetter {

namespace {

// A Q character as it may stand in any header, phrases included.
void append_q(std::string& word, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
      c == '!' || c == '*' || c == '+' || c == '-' || c == '/') {
    word += static_cast<char>(c);
  } else if (c == ' ') {
    word += '_';
  } else {
    word += '=';
    word += kHex[c >> 4];
    word += kHex[c & 0x0F];
  }
}

std::size_t utf8_sequence_length(unsigned char lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

}  // namespace

std::vector<std::string> encode_words(std::string_view text, bool utf8) {
  constexpr std::size_t kLongestWord = 75;
  const std::string open = utf8 ? "=?UTF-8?Q?" : "=?ISO-8859-1?Q?";
  std::vector<std::string> words;
  std::string word = open;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8 ? utf8_sequence_length(static_cast<unsigned char>(text[i])) : 1;
    std::string character;
    for (std::size_t k = 0; k < length; ++k) append_q(character, static_cast<unsigned char>(text[i + k]));
    if (word.size() + character.size() + 2 > kLongestWord && word.size() > open.size()) {
      words.push_back(word + "?=");
      word = open;
    }
    word += character;
    i += length;
  }
  if (word.size() > open.size() || words.empty()) words.push_back(word + "?=");
  return words;
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t more;
    std::uint32_t code;
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
      code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      more = 2;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= more) return false;
    for (std::size_t k = 1; k <= more; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond Unicode.
    if (more == 2 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) return false;
    if (more == 3 && (code < 0x10000 || code > 0x10FFFF)) return false;
    i += more + 1;
  }
  return true;
}

}  // namespace Orvane::SendVetter
