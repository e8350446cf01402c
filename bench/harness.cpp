// Whole-process benchmark of the filter and the panel against the programs an
// administrator would otherwise run: `cat >> inbox` (the floor) and a
// no-recipe procmail delivering to an mbox, and `grep -r -l -i` for the
// queue search.
//
// This file reads the options, runs the chosen scenarios (scenarios.h) in a
// work directory and writes the report (report.h). How programs are started
// and timed is in runner.h; the hosts, messages and baselines in fixture.h.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>
#include <sys/stat.h>

#include "bench/fixture.h"
#include "bench/report.h"
#include "bench/runner.h"
#include "bench/scenarios.h"

namespace fs = std::filesystem;

namespace {

struct Options {
  // The programs of this build unless given.
  bench::Programs programs{SENDVETTER_BIN, SENDVETTER_PANEL_BIN, SENDVETTER_BENCH_SENDMAIL, ""};
  std::string work;     // empty: a fresh directory under /tmp, removed at the end
  std::string results;  // markdown report
  std::string svg;      // scaling plot
  double scale = 1.0;   // multiplies every round count
  std::set<std::string> only;
  bool keep = false;
};

std::string scenario_names() {
  std::string names;
  for (const bench::Scenario& s : bench::scenarios()) {
    if (!names.empty()) names += ",";
    names += s.name;
  }
  return names;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) bench::die("missing value for " + a);
      return argv[++i];
    };
    if (a == "--filter") o.programs.filter = value();
    else if (a == "--panel") o.programs.panel = value();
    else if (a == "--sendmail") o.programs.sendmail = value();
    else if (a == "--before") o.programs.before = value();
    else if (a == "--work") o.work = value();
    else if (a == "--results") o.results = value();
    else if (a == "--svg") o.svg = value();
    else if (a == "--scale") o.scale = std::atof(value().c_str());
    else if (a == "--keep") o.keep = true;
    else if (a == "--only") {
      std::stringstream list(value());
      for (std::string item; std::getline(list, item, ',');) o.only.insert(item);
    } else {
      bench::die("unknown argument " + a +
                 "\nusage: harness [--filter BIN] [--before BIN] [--panel BIN] [--sendmail SINK] [--results MD] [--svg SVG] "
                 "[--work DIR] [--scale F] [--only " + scenario_names() + "] [--keep]");
    }
  }
  for (const std::string& name : o.only) {
    const auto& all = bench::scenarios();
    if (std::none_of(all.begin(), all.end(), [&](const bench::Scenario& s) { return name == s.name; }))
      bench::die("no scenario " + name + " (there are " + scenario_names() + ")");
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  // A program that exits without reading its input must not kill the feeder.
  ::signal(SIGPIPE, SIG_IGN);
  bench::Runner runner;
  runner.start();
  Options options = parse(argc, argv);
  ::umask(077);
  bool made_work = false;
  if (options.work.empty()) {
    char tmpl[] = "/tmp/sendvetter-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) bench::die("mkdtemp");
    options.work = tmpl;
    made_work = true;
  }
  // The hosts are sandboxes, which remove themselves unless told to stay.
  if (options.keep) ::setenv("SENDVETTER_KEEP_SANDBOX", "1", 1);
  fs::create_directories(options.work + "/input");
  runner.set_input_dir(options.work + "/input");

  bench::Report report;
  report.flush = bench::measure_flush(options.work);
  {
    bench::Bench bench(runner, report, options.programs, options.work, options.scale);
    for (const bench::Scenario& scenario : bench::scenarios()) {
      if (!options.only.empty() && !options.only.count(scenario.name)) continue;
      std::cerr << "scenario: " << scenario.name << "\n";
      scenario.run(bench);
    }
  }

  const std::string md = report.markdown();
  std::cout << md;
  if (!options.results.empty()) bench::write_file(options.results, "# Benchmark results\n\n" + md);
  const std::string svg = report.svg();
  if (!options.svg.empty() && !svg.empty()) bench::write_file(options.svg, svg);
  runner.stop();
  if (made_work && !options.keep) {
    std::error_code ec;
    fs::remove_all(options.work, ec);
  }
  return 0;
}
