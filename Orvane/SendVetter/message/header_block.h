// The header-block reader behind SendVetter_getheaders, over any line source,
// and the header values and recipient lists taken from the header lines in
// place.
#pragma once

#include <string_view>

#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

// A line made only of "\r" and "\n" ends a header block.
bool is_header_end(std::string_view line);
// Header lines up to the first empty line (consumed), without their "\n".
PackedLines read_header_block(LineReader& reader);
// The value of every header of that name, in order: the name compared
// without case, white space allowed before the colon, folded lines joined by
// one space, white space and a "\r" at either end removed. Built in one
// buffer sized first: many or long values cost their text once.
PackedLines header_values(std::string_view name, const PackedLines& headers);
// SendVetter_extractaddresses(SendVetter_splitaddresses(SendVetter_getheader(
// name, headers))), built piece by piece without the value or the piece list
// in between: ten million addresses cost their own text once.
PackedLines recipient_addresses(const std::string& name, const PackedLines& headers);

}  // namespace Orvane::SendVetter
