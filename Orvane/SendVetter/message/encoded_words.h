// Encoded words (RFC 2047): how header text beyond plain ASCII travels,
// as "=?charset?B?base64?=" or "=?charset?Q?quoted?=".
//
// decode_encoded_words gives a header value with every well-formed encoded
// word replaced by the bytes it stands for, and the white space between two
// adjacent encoded words dropped. The charset is not converted: the result
// is for comparing bytes, not for display. Malformed words stay as written,
// and so does everything else.
//
// encode_words gives the Q-encoded words for text, in UTF-8 when utf8 is
// set (text must then be valid UTF-8), else in ISO-8859-1; each is at most
// 75 characters and none splits a character. Joined by blanks they decode
// to text again.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Orvane::SendVetter {

std::string decode_encoded_words(std::string_view value);
std::vector<std::string> encode_words(std::string_view text, bool utf8);

bool is_valid_utf8(std::string_view text);

}  // namespace Orvane::SendVetter
