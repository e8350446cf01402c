// The header-block reader behind SendVetter_getheaders, over any line source.
#pragma once

#include <string_view>

#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

// A line made only of "\r" and "\n" ends a header block.
bool is_header_end(std::string_view line);
// Header lines up to the first empty line (consumed), without their "\n".
Lines read_header_block(LineReader& reader);
// The value of every header of that name, in order: the name compared
// without case, white space allowed before the colon, folded lines joined by
// one space, white space and a "\r" at either end removed.
Lines header_values(std::string_view name, const Lines& headers);

}  // namespace Orvane::SendVetter
