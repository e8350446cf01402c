// Micro-benchmarks of the filter's per-message work: header intake, header
// lookups, address extraction, rule matching over list files of N rules, and
// the end-of-run queue expiry over N held messages. They find the hot spots;
// the whole-process harness (harness.cpp) says what a message really costs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/message/header_block.h"

namespace fs = std::filesystem;
using namespace Orvane::SendVetter;

namespace {

const char kHeader[] =
    "From friend@sender.test Mon Jan  1 00:00:00 2024\n"
    "Return-Path: <friend@sender.test>\n"
    "Received: from mx.sender.test (mx.sender.test [192.0.2.10])\n"
    "\tby mail.bench.test with esmtps (TLS1.3) id 1qAbCd-0001Xy-1\n"
    "\tfor user@bench.test; Mon, 01 Jan 2024 00:00:00 +0000\n"
    "Received: from [10.0.0.5] by mx.sender.test with esmtpa id 1; Mon, 01 Jan 2024 00:00:00 +0000\n"
    "From: \"Sender One\" <friend@sender.test>\n"
    "To: \"Bench User\" <user@bench.test>, colleague@bench.test\n"
    "Cc: team@bench.test\n"
    "Subject: Lunch on Friday\n"
    "Date: Mon, 01 Jan 2024 00:00:00 +0000\n"
    "Message-ID: <1.bench@sender.test>\n"
    "MIME-Version: 1.0\n"
    "Content-Type: text/plain; charset=us-ascii\n"
    "Content-Transfer-Encoding: 7bit\n"
    "\n";

std::string message_4k() {
  std::string m = kHeader;
  while (m.size() < 4096) m += "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod\n";
  return m;
}

// A scratch directory removed at exit.
struct Scratch {
  std::string dir;
  Scratch() {
    char tmpl[] = "/tmp/sendvetter-micro-XXXXXX";
    dir = ::mkdtemp(tmpl);
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

Scratch& scratch() {
  static Scratch s;
  return s;
}

void write(const std::string& path, const std::string& content) {
  FILE* f = std::fopen(path.c_str(), "w");
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
}

PackedLines sample_headers() {
  PackedLines headers;
  std::string text = kHeader;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos && nl > start; start = nl + 1)
    headers.push_back(text.substr(start, nl - start));
  return headers;
}

void BM_HeaderIntake(benchmark::State& state) {
  const std::string path = scratch().dir + "/message";
  write(path, message_4k());
  int fd = ::open(path.c_str(), O_RDONLY);
  for (auto _ : state) {
    ::lseek(fd, 0, SEEK_SET);
    LineReader reader(fd);
    benchmark::DoNotOptimize(read_header_block(reader));
  }
  ::close(fd);
}
BENCHMARK(BM_HeaderIntake);

// The six lookups and derivations of one filter run.
void BM_HeaderLookups(benchmark::State& state) {
  const PackedLines headers = sample_headers();
  for (auto _ : state) {
    benchmark::DoNotOptimize(SendVetter_getsender(headers));
    for (const char* name : {"from", "subject", "x-sendvetter", "received", "to", "cc"})
      benchmark::DoNotOptimize(SendVetter_getheader(name, headers));
  }
}
BENCHMARK(BM_HeaderLookups);

void BM_TransportMethod(benchmark::State& state) {
  const std::string received = SendVetter_getheader("received", sample_headers());
  for (auto _ : state) benchmark::DoNotOptimize(SendVetter_gettransportmethod(received));
}
BENCHMARK(BM_TransportMethod);

void BM_ExtractAddress(benchmark::State& state) {
  const std::string from = "\"Sender One\" <Friend@Sender.test>";
  for (auto _ : state) benchmark::DoNotOptimize(SendVetter_extractaddress(from));
}
BENCHMARK(BM_ExtractAddress);

void BM_RecipientAddresses(benchmark::State& state) {
  const std::string to = "\"Bench User\" <user@bench.test>, colleague@bench.test; \"Team, all\" <team@bench.test>";
  for (auto _ : state)
    benchmark::DoNotOptimize(SendVetter_extractaddresses(SendVetter_splitaddresses(to)));
}
BENCHMARK(BM_RecipientAddresses);

// A list of n rules as the harness writes them: escaped "from" rules,
// comments, one regular expression in fifty; the sender matches none.
std::string make_list(int n) {
  static const char* kRegex[] = {"subject ^\\[list-%d\\]", "from ^newsletter-%d@", "to ^sales-%d@.*\\.test$",
                                 "from (spam|junk)-%d@.*\\.test$", "cc ^billing-%d@", "subject (viagra|casino) %d"};
  std::string list;
  char line[256];
  for (int k = 0; k < n; ++k) {
    if (k % 50 == 49)
      std::snprintf(line, sizeof line, kRegex[(k / 50) % 6], k);
    else if (k % 200 == 7)
      std::snprintf(line, sizeof line, "# added %d", k);
    else
      std::snprintf(line, sizeof line, "from name\\.%d@domain%d\\.test", k, k % 311);
    list += line;
    list += "\n";
  }
  return list;
}

// lists: 0 = the system-written mix above; 1 = only literal "from" rules;
// 2 = only regular-expression rules.
std::string make_list_kind(int n, int kind) {
  if (kind == 0) return make_list(n);
  std::string list;
  char line[256];
  for (int k = 0; k < n; ++k) {
    if (kind == 1)
      std::snprintf(line, sizeof line, "from name\\.%d@domain%d\\.test\n", k, k % 311);
    else
      std::snprintf(line, sizeof line, "from ^name-%d@.*\\.test$\n", k);
    list += line;
  }
  return list;
}

void BM_CheckList(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int kind = static_cast<int>(state.range(1));
  const std::string emaildir = scratch().dir + "/list-" + std::to_string(n) + "-" + std::to_string(kind);
  fs::create_directories(emaildir + "/.sendvetter");
  write(emaildir + "/.sendvetter/white-list.txt", make_list_kind(n, kind));
  const PackedLines to = {"user@bench.test", "colleague@bench.test"};
  const PackedLines cc = {"team@bench.test"};
  for (auto _ : state)
    benchmark::DoNotOptimize(
        SendVetter_checklist("white", emaildir, "stranger7@unknown7.test", to, cc, "Quarterly report"));
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_CheckList)
    ->ArgNames({"rules", "kind"})
    ->Args({10, 0})
    ->Args({1000, 0})
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Args({1000, 2})
    ->Unit(benchmark::kMicrosecond);

void BM_CheckDeadQueue(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string emaildir = scratch().dir + "/queue-" + std::to_string(n);
  for (const char* dir : {"/sendvetter/queue", "/sendvetter/verifications", "/sendvetter/log"})
    fs::create_directories(emaildir + dir);
  for (int i = 0; i < n; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/sendvetter/queue/%032d.msg", i);
    write(emaildir + name, "x");
    if (i % 2 == 0) write(emaildir + "/sendvetter/verifications/held" + std::to_string(i) + "@example.test", "x");
  }
  Conf conf{{"froms", "user@bench.test"}, {"stale-queue-time", "15"}};
  // kind 0: the full scan (the state record removed before each run);
  // kind 1: nothing due, the record in place.
  const bool full = state.range(1) == 0;
  const std::string record = emaildir + "/sendvetter/expiry-state";
  SendVetter_checkdeadq(emaildir, conf);
  for (auto _ : state) {
    if (full) ::unlink(record.c_str());
    SendVetter_checkdeadq(emaildir, conf);
  }
}
BENCHMARK(BM_CheckDeadQueue)
    ->ArgNames({"held", "nothing_due"})
    ->Args({0, 0})
    ->Args({1000, 0})
    ->Args({20000, 0})
    ->Args({20000, 1})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
