// Report implementation: the markdown tables and the SVG plot.
#include "bench/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <sys/utsname.h>
#include <unistd.h>

namespace bench {

std::string fmt(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

namespace {

std::string ratio(double a, double b) { return b > 0 ? fmt(a / b) + "×" : "–"; }

std::string ratio(double a, const std::optional<Stats>& reference, double Stats::*figure) {
  return reference ? ratio(a, (*reference).*figure) : "–";
}

std::string verdict(const Target& t) {
  if (t.wall_met && t.cpu_met) return "met";
  if (!t.wall_met && !t.cpu_met) return "**missed**";
  return t.cpu_met ? "CPU met, wall **missed**" : "wall met, CPU **missed**";
}

std::string machine() {
  std::string cpu = "unknown";
  std::ifstream info("/proc/cpuinfo");
  for (std::string line; std::getline(info, line);)
    if (line.rfind("model name", 0) == 0) {
      cpu = line.substr(line.find(':') + 2);
      break;
    }
  long long mem_kb = 0;
  std::ifstream meminfo("/proc/meminfo");
  for (std::string line; std::getline(meminfo, line);)
    if (line.rfind("MemTotal:", 0) == 0) mem_kb = std::atoll(line.c_str() + 9);
  struct utsname u;
  ::uname(&u);
  std::ostringstream m;
  m << ::sysconf(_SC_NPROCESSORS_ONLN) << " CPU(s), " << cpu << ", " << fmt(mem_kb / 1048576.0, 1)
    << " GiB memory, Linux " << u.release;
  return m.str();
}

// A small line chart: per-message wall and CPU time against one axis.
// before, when given, is drawn dashed beside series (the same labels).
std::string svg_chart(double x0, const std::string& title, const std::string& xlabel, const Series& series,
                      const Series& before = {}) {
  const double w = 420, h = 300, left = 60, right = 20, top = 40, bottom = 50;
  double ymax = 0;
  for (const Series* drawn : {&series, &before})
    for (const auto& [label, s] : *drawn) ymax = std::max({ymax, s.wall, s.cpu});
  ymax = ymax <= 0 ? 1 : ymax * 1.15;
  double step = std::pow(10, std::floor(std::log10(ymax / 4)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (ymax / (step * m) <= 6) {
      step *= m;
      break;
    }
  ymax = std::ceil(ymax / step) * step;
  auto X = [&](std::size_t i) {
    return x0 + left + (series.size() <= 1 ? 0 : (w - left - right) * static_cast<double>(i) / (series.size() - 1));
  };
  auto Y = [&](double v) { return top + (h - top - bottom) * (1 - v / ymax); };
  std::ostringstream s;
  s << "<text x=\"" << x0 + w / 2 << "\" y=\"22\" text-anchor=\"middle\" font-size=\"14\">" << title << "</text>\n";
  for (double v = 0; v <= ymax + step / 2; v += step) {
    s << "<line x1=\"" << x0 + left << "\" x2=\"" << x0 + w - right << "\" y1=\"" << Y(v) << "\" y2=\"" << Y(v)
      << "\" stroke=\"#ddd\"/>\n";
    s << "<text x=\"" << x0 + left - 6 << "\" y=\"" << Y(v) + 4 << "\" text-anchor=\"end\" font-size=\"11\">"
      << fmt(v, step < 1 ? 1 : 0) << "</text>\n";
  }
  s << "<text x=\"" << x0 + 16 << "\" y=\"" << (top + h - bottom) / 2
    << "\" font-size=\"12\" transform=\"rotate(-90 " << x0 + 16 << " " << (top + h - bottom) / 2
    << ")\" text-anchor=\"middle\">ms per message</text>\n";
  for (std::size_t i = 0; i < series.size(); ++i)
    s << "<text x=\"" << X(i) << "\" y=\"" << h - bottom + 18 << "\" text-anchor=\"middle\" font-size=\"11\">"
      << series[i].first << "</text>\n";
  s << "<text x=\"" << x0 + w / 2 << "\" y=\"" << h - 10 << "\" text-anchor=\"middle\" font-size=\"12\">" << xlabel
    << "</text>\n";
  for (const Series* drawn : {&series, &before}) {
    const char* dash = drawn == &before ? "\" stroke-dasharray=\"5,4" : "";
    for (int which = 0; which < 2; ++which) {
      const char* colour = which == 0 ? "#1f77b4" : "#d62728";
      s << "<polyline fill=\"none\" stroke=\"" << colour << dash << "\" stroke-width=\"2\" points=\"";
      for (std::size_t i = 0; i < drawn->size(); ++i)
        s << X(i) << "," << Y(which == 0 ? (*drawn)[i].second.wall : (*drawn)[i].second.cpu) << " ";
      s << "\"/>\n";
      for (std::size_t i = 0; i < drawn->size(); ++i)
        s << "<circle cx=\"" << X(i) << "\" cy=\""
          << Y(which == 0 ? (*drawn)[i].second.wall : (*drawn)[i].second.cpu) << "\" r=\"3\" fill=\"" << colour
          << "\"/>\n";
    }
  }
  return s.str();
}

}  // namespace

const Group& Report::add(const std::string& scenario, const std::vector<Contender>& contenders) {
  Group group{scenario, {}, {}, {}, {}};
  for (const Contender& c : contenders) {
    const Stats stats = c.stats();
    group.rows.push_back({c.label, stats});
    if (c.reference == Reference::kProcmail) group.procmail = stats;
    if (c.reference == Reference::kCat) group.cat = stats;
    if (c.reference == Reference::kGrep) group.grep = stats;
  }
  groups_.push_back(group);
  return groups_.back();
}

void Report::ratio_target(const std::string& what, const std::string& limit_text, double limit,
                          const Stats& measured, const Stats& reference) {
  const double wall = measured.wall / reference.wall, cpu = measured.cpu / reference.cpu;
  targets_.push_back(
      {what, limit_text, fmt(wall) + "× wall, " + fmt(cpu) + "× CPU", wall <= limit, cpu <= limit});
}

void Report::added_target(const std::string& what, const std::string& limit_text, double limit_ms,
                          const Stats& without, const Stats& with, const std::string& note) {
  const double wall = with.wall - without.wall, cpu = with.cpu - without.cpu;
  targets_.push_back({what, limit_text, fmt(wall) + " ms wall, " + fmt(cpu) + " ms CPU" + note, wall <= limit_ms,
                      cpu <= limit_ms});
}

void Report::memory_target(const std::string& what, const std::string& limit_text, double limit_mb,
                           const Stats& measured) {
  const bool met = measured.rss <= limit_mb;
  targets_.push_back({what, limit_text, fmt(measured.rss, 1) + " MB", met, met});
}

std::string Report::markdown() const {
  std::ostringstream md;
  char when[64];
  time_t t = std::time(nullptr);
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M %Z", std::localtime(&t));
  md << "Run of " << when << " on " << machine() << ".\n";
  md << "Medians over interleaved runs; wall = monotonic clock around fork, exec, feeding the message "
        "through a pipe, and wait; CPU = user + system time of the process and the children it waited "
        "for (wait4); peak RSS = ru_maxrss. Appending 4 KB and flushing it to this disk (fsync) took "
     << fmt(flush.wall_ms) << " ms wall, " << fmt(flush.cpu_ms)
     << " ms CPU (median of 30), which the filter and procmail pay on every delivery "
        "and cat does not.\n\n";
  md << "Baselines: `cat >> inbox` is /bin/cat with its standard output opened for appending, as a "
        "shell's `>>` does; procmail is `procmail -m RCFILE` with RCFILE holding only `DEFAULT=MBOX` "
        "(no recipes; it locks and flushes the mbox itself); sendmail is a statically linked stand-in "
        "that reads its input and exits 0; grep runs with LC_ALL=C.\n\n";
  md << "| Scenario | Program | runs | wall ms | CPU ms | peak RSS MB | wall ÷ procmail | CPU ÷ procmail | wall ÷ cat | CPU ÷ cat |\n";
  md << "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const Group& g : groups_) {
    if (g.grep) continue;
    for (const Row& r : g.rows)
      md << "| " << g.scenario << " | " << r.program << " | " << r.stats.n << " | " << fmt(r.stats.wall) << " | "
         << fmt(r.stats.cpu) << " | " << fmt(r.stats.rss, 1) << " | " << ratio(r.stats.wall, g.procmail, &Stats::wall)
         << " | " << ratio(r.stats.cpu, g.procmail, &Stats::cpu) << " | " << ratio(r.stats.wall, g.cat, &Stats::wall)
         << " | " << ratio(r.stats.cpu, g.cat, &Stats::cpu) << " |\n";
  }
  for (const Group& g : groups_) {
    if (!g.grep) continue;
    md << "\n| " << g.scenario << " | runs | wall ms | CPU ms | peak RSS MB | wall ÷ grep | CPU ÷ grep |\n";
    md << "|---|---:|---:|---:|---:|---:|---:|\n";
    for (const Row& r : g.rows)
      md << "| " << r.program << " | " << r.stats.n << " | " << fmt(r.stats.wall) << " | " << fmt(r.stats.cpu)
         << " | " << fmt(r.stats.rss, 1) << " | " << ratio(r.stats.wall, g.grep, &Stats::wall) << " | "
         << ratio(r.stats.cpu, g.grep, &Stats::cpu) << " |\n";
  }
  if (!targets_.empty()) {
    md << "\n| Target | Limit | Measured | |\n|---|---|---|---|\n";
    for (const Target& t : targets_)
      md << "| " << t.what << " | " << t.limit << " | " << t.measured << " | " << verdict(t) << " |\n";
  }
  for (const std::string& note : notes_) md << "\n" << note << "\n";
  return md.str();
}

std::string Report::svg() const {
  if (by_list.empty() && by_queue.empty()) return "";
  std::ostringstream s;
  s << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"860\" height=\"330\" font-family=\"sans-serif\">\n";
  s << "<rect width=\"860\" height=\"330\" fill=\"white\"/>\n";
  s << svg_chart(0, "Unknown sender vs. rules per list (3 lists)", "rules in each of ignore, white, black", by_list);
  s << svg_chart(430, "White-listed delivery vs. held messages", "messages in the queue", by_queue,
                 by_queue_before);
  if (!by_queue_before.empty())
    s << "<line x1=\"570\" x2=\"590\" y1=\"318\" y2=\"318\" stroke=\"#888\" stroke-width=\"2\" "
         "stroke-dasharray=\"5,4\"/><text x=\"595\" y=\"322\" font-size=\"11\">before (--before build)</text>\n";
  s << "<line x1=\"330\" x2=\"350\" y1=\"318\" y2=\"318\" stroke=\"#1f77b4\" stroke-width=\"2\"/>"
       "<text x=\"355\" y=\"322\" font-size=\"11\">wall (median)</text>\n";
  s << "<line x1=\"450\" x2=\"470\" y1=\"318\" y2=\"318\" stroke=\"#d62728\" stroke-width=\"2\"/>"
       "<text x=\"475\" y=\"322\" font-size=\"11\">CPU (median)</text>\n";
  s << "</svg>\n";
  return s.str();
}

}  // namespace bench
