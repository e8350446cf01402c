// Text helpers shared across subsystems.
#include "Orvane/SendVetter/base/text.h"

#include <cmath>
#include <cstdlib>

namespace Orvane::SendVetter {

std::string ascii_lower(std::string text) {
  for (char& c : text) c = ascii_lower(c);
  return text;
}

std::vector<std::string> split_dropping_trailing_empty(const std::string& text, char sep) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    std::size_t at = text.find(sep, start);
    pieces.push_back(text.substr(start, at == std::string::npos ? at : at - start));
    if (at == std::string::npos) break;
    start = at + 1;
  }
  while (!pieces.empty() && pieces.back().empty()) pieces.pop_back();
  return pieces;
}

double leading_decimal(const std::string& text) {
  // strtod alone would also read hex, "inf" and "nan"; take only digits,
  // one point and an exponent-free decimal.
  std::size_t i = text.find_first_not_of(" \t\n\r\f\v");
  if (i == std::string::npos) return 0;
  std::size_t start = i;
  if (text[i] == '+' || text[i] == '-') ++i;
  std::size_t digits_start = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  }
  if (i == digits_start || (i == digits_start + 1 && text[digits_start] == '.')) return 0;
  double value = std::strtod(text.substr(start, i - start).c_str(), nullptr);
  return std::isfinite(value) ? value : 0;
}

long long leading_integer(const std::string& text) {
  double value = std::trunc(leading_decimal(text));
  if (value > 9e18 || value < -9e18) return 0;
  return static_cast<long long>(value);
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string percent_encoded(char byte) {
  static const char kHex[] = "0123456789ABCDEF";
  const unsigned char c = static_cast<unsigned char>(byte);
  return {'%', kHex[c >> 4], kHex[c & 0xF]};
}

std::string chomp(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

}  // namespace Orvane::SendVetter
