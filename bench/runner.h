// Runner: starts the programs under measurement and takes their figures.
//
// Every program is started the same way (fork and exec, the message written
// into a pipe on its standard input, as a mail server does). Wall time is a
// monotonic clock around fork, exec, feeding and wait; CPU time and peak memory
// come from the child's wait4 rusage (which includes the children it waited
// for: hostname, sendmail). The contenders of one scenario run interleaved,
// one run each per round in a rotating order, and every figure is a median.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace bench {

// Ends the harness with a message: a bench that cannot do what it claims to
// measure has no figures worth writing.
[[noreturn]] void die(const std::string& why);

// One program to start: path, its argv (argv[0] included), its whole
// environment, and a file its standard output is appended to (empty:
// /dev/null; standard error always goes there).
struct Cmd {
  std::string path;
  std::vector<std::string> argv;
  std::vector<std::string> env;
  std::string out;
};

// One run of one program.
struct Sample {
  double wall_ms = 0, cpu_ms = 0, rss_mb = 0;
  int status = -1;  // exit status, or 128 + signal
};

// Medians over the runs of one program.
struct Stats {
  int n = 0;
  double wall = 0, cpu = 0, rss = 0;
};

// The rows of a scenario that the others are divided by in the report.
enum class Reference { kNone, kProcmail, kCat, kGrep };

// One program of a scenario and its runs. Run i gets input(i) on its
// standard input; prepare(i) and after(i) put back what a run changes,
// outside the timing.
struct Contender {
  Contender(std::string label, Cmd cmd, std::function<std::string(int)> input,
            Reference reference = Reference::kNone)
      : label(std::move(label)), cmd(std::move(cmd)), input(std::move(input)), reference(reference) {}

  std::string label;
  Cmd cmd;
  std::function<std::string(int)> input;
  std::function<void(int)> prepare;
  std::function<void(int)> after;
  Reference reference = Reference::kNone;
  std::vector<Sample> samples;

  Stats stats() const;
};

double median(std::vector<double> values);
double now_ms();

// Programs are started by a small server process forked at the very start,
// while the harness is still tiny: a child's peak resident size counts the
// memory of the process it was forked from (up to its exec), so spawning
// from the harness itself, which holds 100 MB messages, would inflate every
// figure. The server feeds the message from a file into the child's
// standard-input pipe through a fixed buffer and does the timing.
class Runner {
 public:
  // Forks the server; call it first in main.
  void start();
  // Ends the server.
  void stop();
  // The directory the inputs are written to before a run.
  void set_input_dir(const std::string& dir) { input_dir_ = dir; }

  // Runs cmd once with input on its standard input. Inputs are kept in one
  // file per slot, rewritten only when the input changed.
  Sample run(const Cmd& cmd, const std::string& input, const std::string& slot = "any");

  // Runs warmup rounds, then rounds rounds, of one run of each contender in
  // a rotating order; only the latter are kept in the samples. A run that
  // does not exit 0 ends the harness.
  void interleave(std::vector<Contender>& contenders, int rounds, int warmup);

 private:
  int sock_ = -1;
  pid_t server_ = -1;
  std::string input_dir_;
  std::map<std::string, std::string> written_;  // slot -> the input in its file
};

// Median cost of appending 4 KB to a file in dir and flushing it to the disk.
struct FlushCost {
  double wall_ms = 0, cpu_ms = 0;
};
FlushCost measure_flush(const std::string& dir);

}  // namespace bench
