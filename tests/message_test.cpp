// Header intake and the recipient lists built in place: parsing that a message
// through the filter cannot reach piece by piece. The other header and address
// functions are cases (message.case).
#include <gtest/gtest.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/message/header_block.h"

using namespace Orvane::SendVetter;

namespace {

// Header block and the rest of the input, read through a pipe.
std::pair<Lines, std::string> read_block(const std::string& input) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  EXPECT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ::close(fds[1]);
  LineReader reader(fds[0]);
  Lines headers = read_header_block(reader).to_vector();
  std::string rest, chunk;
  while (reader.read_chunk(chunk, 7)) rest += chunk;
  ::close(fds[0]);
  return {headers, rest};
}

TEST(HeaderIntake, StopsAtTheFirstEmptyLineAndLeavesTheBody) {
  const std::vector<std::tuple<std::string, Lines, std::string>> table = {
      {"From a@b Mon\nSubject: x\n\nbody\n\nmore", {"From a@b Mon", "Subject: x"}, "body\n\nmore"},
      {"Subject: x\r\nTo: y\r\n\r\nbody\r\n", {"Subject: x\r", "To: y\r"}, "body\r\n"},
      {"Subject: x\nTo: y", {"Subject: x", "To: y"}, ""},
      {"\nSubject: x\n", {}, "Subject: x\n"},
      {"A: 1\n \t\nB: 2\n\n", {"A: 1", " \t", "B: 2"}, ""},  // blanks do not end the block
  };
  for (const auto& [input, headers, rest] : table)
    EXPECT_EQ(read_block(input), std::make_pair(headers, rest)) << input;
}

// The filter builds its recipient lists from the header lines in place; they
// must be what the panel's functions make of the joined header.
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
