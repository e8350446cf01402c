// Text helpers shared across subsystems.
#pragma once

#include <string>
#include <vector>

namespace Orvane::SendVetter {

// ASCII capitals lowered; every other byte unchanged.
constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
std::string ascii_lower(std::string text);
// Splits at each sep; trailing empty pieces dropped, others kept.
std::vector<std::string> split_dropping_trailing_empty(const std::string& text, char sep);
// The number at the start of text, as a script language reads it ("12abc"
// -> 12, "abc" -> 0); leading white space allowed.
long long leading_integer(const std::string& text);
double leading_decimal(const std::string& text);
// The lines of text without their "\n"; a last line without one counts,
// an empty text has no lines.
std::vector<std::string> split_lines(const std::string& text);
// "%" followed by the byte's two upper-case hexadecimal digits.
std::string percent_encoded(char byte);
// Removes one trailing "\n".
std::string chomp(std::string line);
// text up to its first "\n" (all of it without one).
std::string first_line(const std::string& text);

}  // namespace Orvane::SendVetter
