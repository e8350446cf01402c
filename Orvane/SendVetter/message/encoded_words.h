// Encoded words (RFC 2047): how header text beyond plain ASCII travels,
// as "=?charset?B?base64?=" or "=?charset?Q?quoted?=".
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

std::vector<std::string> encode_words(std::string_view text, bool utf8);

bool is_valid_utf8(std::string_view text);

}  // namespace Orvane::SendVetter
