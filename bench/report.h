// Report: the figures of the scenarios that ran, as bench/results.md
// (tables against procmail and cat, against grep, the targets, notes) and
// as the scaling plot docs/performance-scaling.svg.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench/runner.h"

namespace bench {

struct Row {
  std::string program;
  Stats stats;
};

// One scenario's table: its rows and the references they are divided by.
struct Group {
  std::string scenario;
  std::vector<Row> rows;
  std::optional<Stats> procmail, cat, grep;
};

// A performance target; a figure with one measure (memory) sets both flags.
struct Target {
  std::string what, limit, measured;
  bool wall_met, cpu_met;
};

// Figures against one axis, one point per label, for the plot.
using Series = std::vector<std::pair<std::string, Stats>>;

class Report {
 public:
  // Adds a scenario's table from its contenders' samples.
  const Group& add(const std::string& scenario, const std::vector<Contender>& contenders);

  // Targets, in the order they are added: measured ÷ reference within
  // limit; with − without within limit_ms (note follows the figures); a
  // peak resident size within limit_mb.
  void ratio_target(const std::string& what, const std::string& limit_text, double limit, const Stats& measured,
                    const Stats& reference);
  void added_target(const std::string& what, const std::string& limit_text, double limit_ms, const Stats& without,
                    const Stats& with, const std::string& note = "");
  void memory_target(const std::string& what, const std::string& limit_text, double limit_mb, const Stats& measured);

  void add_note(const std::string& note) { notes_.push_back(note); }

  FlushCost flush;
  // by_queue_before: the same queues with the --before build.
  Series by_list, by_queue, by_queue_before;

  std::string markdown() const;
  // Empty when no scaling scenario ran.
  std::string svg() const;

 private:
  std::vector<Group> groups_;
  std::vector<Target> targets_;
  std::vector<std::string> notes_;
};

std::string fmt(double v, int decimals = 2);

}  // namespace bench
