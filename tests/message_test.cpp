// The recipient lists the filter builds in place from the header lines must
// be what the panel's functions make of the joined header: no message
// through the filter shows every piece of them. The other header and address
// functions are cases (message.case).
#include <gtest/gtest.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/message/header_block.h"

using namespace Orvane::SendVetter;

namespace {

TEST(Addresses, RecipientListsInPlaceEqualSplitAndExtract) {
  const std::vector<PackedLines> blocks = {
      {"To: \"Doe, John\" <J@X.test>, k@y.test"}, {"To: ;a@b"}, {"To: ;"}, {"To: a@b;"},
      {"To: ,,a@b,,;c@d;,"}, {"To: a@b,\r", "\tc@\r", " d\r", "Cc: e@f"}, {"To: ", " a@b"},
      {"To:    ", "  a@b , c", "x@y"}, {"TO: \" x @ y\""}, {"Cc: a@b"}, {}};
  for (const PackedLines& block : blocks)
    EXPECT_EQ(recipient_addresses("to", block).to_vector(),
              SendVetter_extractaddresses(SendVetter_splitaddresses(SendVetter_getheader("to", block))))
        << block.text();
}

}  // namespace
