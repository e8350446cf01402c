// The decision chain: one ordered table of rows, each a test and an action;
// the first row whose test holds acts and no later row is tried.
#include <vector>

#include "bin/sendvetter/message_run.h"

namespace Orvane::SendVetter {

namespace {

struct Row {
  bool (*applies)(MessageRun&);
  Outcome (*act)(MessageRun&);
};

const std::vector<Row>& rows() {
  static const std::vector<Row> table = {};
  return table;
}

}  // namespace

Outcome run_decision_chain(MessageRun& run) {
  for (const Row& row : rows())
    if (row.applies(run)) return row.act(run);
  return Outcome::kContinue;
}

}  // namespace Orvane::SendVetter
