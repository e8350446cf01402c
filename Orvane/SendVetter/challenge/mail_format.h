// The wire form of the filter's own messages, so that every mail server
// takes them and every mail program reads them.
//
// header_for_sending turns one header line of a filled-in form (no line
// end) into what is sent: words holding 8-bit bytes, and words of over 800
// octets, become encoded words (a run of them together, with the blanks
// inside it); the line is then folded at white space to at most 78
// characters where possible. No line of the result exceeds 998 octets
// unless the field name is over 120; lines are separated by "\n", and the
// last has no line end.
//
// body_for_sending returns the body as it is, and no header lines, when it
// is 7-bit text without NUL in lines of at most 998 octets. Any other body
// is returned quoted-printable, with the MIME header lines (each ended by
// "\n") that name it and its charset (UTF-8 when valid, else ISO-8859-1).
#pragma once

#include <string>

namespace Orvane::SendVetter {

std::string header_for_sending(const std::string& line);

struct BodyForSending {
  std::string mime_headers;
  std::string text;
};
BodyForSending body_for_sending(const std::string& body);

}  // namespace Orvane::SendVetter
