// Scenarios: what is measured, one function each, listed by name in
// scenarios(), the list `./run bench --only` picks from.
//
// A scenario builds its hosts, checks once that the filter takes the path it
// is meant to measure (delivered byte for byte, held and challenged, ten
// released...), runs its contenders interleaved with the references, and
// adds its table, targets and notes to the report.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/fixture.h"
#include "bench/report.h"
#include "bench/runner.h"

namespace bench {

// What a scenario works with.
class Bench {
 public:
  Bench(Runner& runner, Report& report, const Programs& programs, std::string work, double scale)
      : runner(runner), report(report), programs(programs), work_(std::move(work)), scale_(scale) {}

  Runner& runner;
  Report& report;
  const Programs& programs;

  // The host of that name below the work directory, made (and given to
  // fill) on first use and kept to the end, so that scenarios can share one.
  Host& host(const std::string& name, Account account = Account::kAddress,
             const std::function<void(Host&)>& fill = {});
  // procmail and cat with their mailboxes in a directory of that name.
  Baselines baselines(const std::string& name) const;

  // Runs the filter of host once on the sandbox's capturing sendmail, for a
  // scenario's check; sent gets what it submitted.
  Sample check_filter(Host& host, const std::string& message, std::vector<std::string>* sent = nullptr);

  // base rounds times --scale, at least 3.
  int rounds(int base) const;
  double scale() const { return scale_; }
  // Runs the contenders interleaved and adds their table to the report.
  Group measure(const std::string& scenario, std::vector<Contender>& contenders, int base_rounds, int warmup);

 private:
  std::string work_;
  double scale_;
  std::vector<std::pair<std::string, std::unique_ptr<Host>>> hosts_;
};

struct Scenario {
  const char* name;  // for --only
  void (*run)(Bench&);
};
// In the order they run and are reported.
const std::vector<Scenario>& scenarios();

}  // namespace bench
