// Encoded words: decoding for the markers in reply subjects, encoding for
// the header lines of our own form messages.
#include "Orvane/SendVetter/message/encoded_words.h"

#include <cstdint>

namespace Orvane::SendVetter {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool decode_q(std::string_view in, std::string& out) {
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '_') {
      out += ' ';
    } else if (in[i] == '=') {
      if (i + 2 >= in.size()) return false;
      const int high = hex_value(in[i + 1]), low = hex_value(in[i + 2]);
      if (high < 0 || low < 0) return false;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += in[i];
    }
  }
  return true;
}

// Padding may be missing, as some mail programs write it.
bool decode_b(std::string_view in, std::string& out) {
  std::uint32_t bits = 0;
  int count = 0;
  std::size_t i = 0;
  for (; i < in.size() && in[i] != '='; ++i) {
    const int value = base64_value(in[i]);
    if (value < 0) return false;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  for (; i < in.size(); ++i)
    if (in[i] != '=') return false;
  return true;
}

bool is_token(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7F) return false;
  return true;
}

// The encoded word at text[at]: its bytes in out and the position after it,
// or 0 when none starts there.
std::size_t decode_word_at(std::string_view text, std::size_t at, std::string& out) {
  const std::size_t charset_end = text.find('?', at + 2);
  if (charset_end == std::string_view::npos || charset_end + 2 >= text.size() ||
      text[charset_end + 2] != '?')
    return 0;
  const char encoding = static_cast<char>(text[charset_end + 1] | 0x20);
  const std::size_t data = charset_end + 3;
  const std::size_t end = text.find('?', data);
  if ((encoding != 'b' && encoding != 'q') || end == std::string_view::npos ||
      end + 1 >= text.size() || text[end + 1] != '=')
    return 0;
  if (!is_token(text.substr(at + 2, charset_end - at - 2))) return 0;
  const std::string_view encoded = text.substr(data, end - data);
  if (!encoded.empty() && !is_token(encoded)) return 0;
  std::string bytes;
  if (!(encoding == 'b' ? decode_b(encoded, bytes) : decode_q(encoded, bytes))) return 0;
  out = std::move(bytes);
  return end + 2;
}

bool is_blank_run(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

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

std::string decode_encoded_words(std::string_view value) {
  std::string out;
  std::size_t done = 0;
  bool after_word = false;
  for (std::size_t at = 0; (at = value.find("=?", at)) != std::string_view::npos;) {
    std::string bytes;
    const std::size_t end = decode_word_at(value, at, bytes);
    if (end == 0) {
      ++at;
      continue;
    }
    const std::string_view between = value.substr(done, at - done);
    if (!(after_word && is_blank_run(between))) out += between;
    out += bytes;
    done = at = end;
    after_word = true;
  }
  out += value.substr(done);
  return out;
}

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
