// Runs the behaviour cases of tests/cases/*.case on a sandbox host; the
// format is described in docs/testing.md.
#include <gtest/gtest.h>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <glob.h>
#include <map>
#include <numeric>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "sandbox.h"

namespace fs = std::filesystem;

namespace {

const std::string kCaseDir = std::string(SENDVETTER_SOURCE_DIR) + "/tests/cases";

struct Block {
  bool action = true;  // "$" action or "?" expectation
  std::vector<std::string> words;
  std::string content;
  bool escaped = false;  // "-e": the text, and a run's arguments, read escapes
  std::size_t line = 0, end = 0;  // directive line and one past the content, 0-based
  std::string arg(std::size_t i) const { return i < words.size() ? words[i] : ""; }
};

struct Case {
  std::string file, name;
  std::vector<Block> blocks;
};

// Words split at blanks; a quoted stretch ('...' or "...") is part of its word.
std::vector<std::string> split_words(const std::string& text) {
  std::vector<std::string> words;
  bool in_word = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool blank = text[i] == ' ' || text[i] == '\t';
    if (!blank && !in_word) words.emplace_back();
    in_word = !blank;
    if (blank) continue;
    if (text[i] == '\'' || text[i] == '"') {
      std::size_t close = std::min(text.find(text[i], i + 1), text.size());
      words.back() += text.substr(i + 1, close - i - 1);
      i = close;
    } else {
      words.back() += text[i];
    }
  }
  return words;
}

std::string unescape(const std::string& text) {
  static const std::string kFrom = "nrt0", kTo("\n\r\t\0", 4);
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
    } else if (text[++i] == 'x') {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += kFrom.find(text[i]) != std::string::npos ? kTo[kFrom.find(text[i])] : text[i];
    }
  }
  return out;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
}

bool directive(const std::string& line) {
  return line.starts_with("$ ") || line.starts_with("? ") || line.starts_with("=== ");
}

std::vector<std::string> lines_of(std::istream&& in) {
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "-e": content lines are joined without line feeds and unescaped; "-n": no final line feed.
std::vector<Case> parse(const std::string& path) {
  std::vector<Case> cases;
  std::vector<std::string> lines = lines_of(std::ifstream(path, std::ios::binary));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].starts_with("=== ")) cases.push_back({fs::path(path).stem(), lines[i].substr(4), {}});
    if (!directive(lines[i]) || lines[i][0] == '=' || cases.empty()) continue;
    Block b{lines[i][0] == '$', split_words(lines[i].substr(2)), "", false, i, i + 1};
    while (b.end < lines.size() && !directive(lines[b.end])) ++b.end;
    std::size_t last = b.end;
    while (last > i + 1 && lines[last - 1].empty()) --last;
    bool no_newline = false;
    while (b.words.size() > 1 && (b.words[1] == "-e" || b.words[1] == "-n")) {
      (b.words[1] == "-e" ? b.escaped : no_newline) = true;
      b.words.erase(b.words.begin() + 1);
    }
    for (std::size_t j = i + 1; j < last; ++j) b.content += lines[j] + (b.escaped ? "" : "\n");
    if (b.escaped) b.content = unescape(b.content);
    if (no_newline && b.content.ends_with('\n')) b.content.pop_back();
    cases.back().blocks.push_back(b);
    i = b.end - 1;
  }
  return cases;
}

// Today's date as the activity log names its file.
std::string today() {
  auto d = Orvane::SendVetter::SendVetter_nicedate(std::time(nullptr));
  return d[0] + "-" + d[1] + "-" + d[2];
}

class Runner {
 public:
  explicit Runner(const Case& c) : case_(c), home_(box_.add_user("bob")) {}
  ~Runner() {
    for (int fd : locked_) ::close(fd);
  }

  void run() {
    for (const Block& block : case_.blocks) {
      SCOPED_TRACE(case_.file + ".case:" + std::to_string(block.line + 1));
      if (block.action && block.words[0] == "root" && ::geteuid() != 0) GTEST_SKIP() << "the rest needs root";
      if (!block.action) {
        expect(block);
      } else if (block.words[0] != "root") {
        check_last_run();
        act(block);
      }
    }
    check_last_run();
    EXPECT_EQ(normal(take_sent()), "") << "outgoing mail that no \"? sent\" accounts for";
  }

 private:
  using Words = std::vector<std::string>;

  std::string path(const std::string& word) const {
    std::string p = fill(word);
    return p.starts_with("~/") ? home_ + p.substr(1) : box_.root() + "/" + p;
  }

  // Inputs may name ids seen earlier in the case as {H1}, {H2}, ...
  std::string fill(std::string text) const {
    for (std::size_t i = 0; i < ids_.size(); ++i) replace_all(text, "{H" + std::to_string(i + 1) + "}", ids_[i]);
    replace_all(text, "{ROOT}", box_.root());
    return text;
  }

  static bool id_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; }

  // Outputs with the sandbox root as {ROOT}, today's date (the log's name) as
  // {TODAY} and every 32-character id (queue names, identities) as {Hn}.
  std::string normal(std::string text) {
    replace_all(text, box_.root(), "{ROOT}");
    replace_all(text, today(), "{TODAY}");
    std::string out;
    for (std::size_t i = 0, j = 0; i < text.size(); i = std::max(j, i + 1)) {
      for (j = i; j < text.size() && id_char(text[j]);) ++j;
      if (j - i != 32) {
        out += text.substr(i, std::max<std::size_t>(j - i, 1));
        continue;
      }
      auto known = std::find(ids_.begin(), ids_.end(), text.substr(i, 32));
      if (known == ids_.end()) known = ids_.insert(ids_.end(), text.substr(i, 32));
      out += "{H" + std::to_string(known - ids_.begin() + 1) + "}";
    }
    return out;
  }

  static long long when(const std::string& word) {
    if (!word.starts_with("now")) return std::stoll(word);
    long long n = word.size() > 3 ? std::stoll(word.substr(3, word.size() - 4)) : 0;
    return std::time(nullptr) + n * (word.back() == 'd' ? 86400 : 1);
  }

  void act(const Block& b) {
    const std::string& verb = b.words[0];
    auto mode = [&](int fallback) { return b.arg(2).empty() ? fallback : std::stoi(b.arg(2), nullptr, 8); };
    if (verb == "file" || verb == "append") {
      fs::create_directories(fs::path(path(b.arg(1))).parent_path());
      std::ofstream(path(b.arg(1)), std::ios::binary | (verb == "file" ? std::ios::trunc : std::ios::app))
          << fill(b.content);
      if (!b.arg(2).empty()) ::chmod(path(b.arg(1)).c_str(), mode(0));
    } else if (verb == "mkdir") {
      fs::create_directories(path(b.arg(1)));
      ::chmod(path(b.arg(1)).c_str(), mode(0700));
    } else if (verb == "fifo") {
      ::mkfifo(path(b.arg(1)).c_str(), 0600);
    } else if (verb == "flock") {  // held, as by a run still writing the file, until the case ends
      locked_.push_back(::open(path(b.arg(1)).c_str(), O_RDONLY));
      ::flock(locked_.back(), LOCK_EX);
    } else if (verb == "fault") {
      if (b.arg(1) == "fsize") box_.set_child_setup(sandbox::file_size_limit(std::stoll(b.arg(2))));
      else if (b.arg(1) == "readonly") box_.set_child_setup(sandbox::remount(path(b.arg(2)), false));
      else if (b.arg(1) == "norandom") box_.set_child_setup(sandbox::remount("/dev/urandom", true));
      else box_.set_child_setup(nullptr);
    } else if (verb == "symlink") {
      fs::create_symlink(fill(b.arg(1)), path(b.arg(2)));
    } else if (verb == "remove") {
      fs::remove_all(path(b.arg(1)));
    } else if (verb == "chmod") {
      ::chmod(path(b.arg(2)).c_str(), std::stoi(b.arg(1), nullptr, 8));
    } else if (verb == "mtime") {
      glob_t found{};
      ::glob(path(b.arg(1)).c_str(), 0, nullptr, &found);
      for (std::size_t i = 0; i < found.gl_pathc; ++i) sandbox::touch(found.gl_pathv[i], when(b.arg(2)));
      ::globfree(&found);
    } else if (verb == "passwd" || verb == "userdomains") {
      for (const std::string& line : lines_of(std::istringstream(fill(b.content))))
        verb == "passwd" ? box_.add_passwd_line(line) : box_.add_userdomains_line(line);
    } else if (verb == "env") {
      for (const std::string& w : Words(b.words.begin() + 1, b.words.end()))
        env_[w.substr(0, w.find('='))] = w.substr(w.find('=') + 1);
    } else if (verb == "sendmail") {
      if (b.arg(1) == "capture") box_.use_sendmail("");
      else box_.break_sendmail(b.arg(1) == "missing");
    } else if (verb == "filter" || verb == "panel") {
      Words argv;
      for (const std::string& w : Words(b.words.begin() + 1, b.words.end()))
        argv.push_back(b.escaped ? unescape(fill(w)) : fill(w));
      if (verb == "panel" && (argv.empty() || !argv[0].starts_with("--"))) argv.insert(argv.begin(), {"--user", "bob"});
      if (verb == "filter" && argv.empty()) argv.push_back("bob");
      last_ = verb == "filter" ? box_.filter(argv, fill(b.content)) : box_.panel(argv, env_);
      unchecked_status_ = unchecked_err_ = true;
    } else {
      ADD_FAILURE() << "unknown action " << verb;
    }
  }

  // A run whose status or standard error the case does not name must succeed quietly.
  void check_last_run() {
    if (unchecked_status_) {
      EXPECT_EQ(last_.status, 0) << last_.err;
    }
    if (unchecked_err_) {
      EXPECT_EQ(normal(last_.err), "");
    }
    unchecked_status_ = unchecked_err_ = false;
  }

  std::string take_sent() {
    std::vector<std::string> sent = box_.sent();
    std::string all = std::accumulate(sent.begin() + static_cast<long>(sent_seen_), sent.end(), std::string());
    sent_seen_ = sent.size();
    return all;
  }

  std::string actual(const Block& b) {
    const std::string& verb = b.words[0];
    std::string out;
    if (verb == "stdout") return last_.out;
    if (verb == "stderr") return unchecked_err_ = false, last_.err;
    if (verb == "file") return sandbox::exists(path(b.words[1])) ? sandbox::read(path(b.words[1])) : "(absent)\n";
    if (verb == "sent") return take_sent();
    if (verb == "log") return sandbox::read(home_ + "/etc/sendvetter/log/" + today() + ".log");
    if (verb == "tree")
      for (const std::string& p : sandbox::tree(path(b.words[1]))) out += p + "\n";
    else if (verb == "syslog")
      for (const std::string& line : box_.syslog()) out += line + "\n";
    else
      ADD_FAILURE() << "unknown expectation " << verb;
    return out;
  }

  void expect(const Block& b) {
    const bool exit = b.words[0] == "exit", contains = b.words.back() == "~";
    if (exit) unchecked_status_ = false;
    const std::string got = exit ? std::to_string(last_.status) : normal(actual(b));
    const std::string& want = exit ? b.words[1] : b.content;
    if (contains) {
      EXPECT_NE(got.find(want), std::string::npos) << got;
    } else {
      EXPECT_EQ(got, want) << (exit ? last_.err : "");
    }
  }

  const Case& case_;
  sandbox::Sandbox box_;
  const std::string home_;
  std::vector<std::string> ids_;
  std::map<std::string, std::string> env_;
  sandbox::Result last_;
  bool unchecked_status_ = false, unchecked_err_ = false;
  std::size_t sent_seen_ = 0;
  std::vector<int> locked_;
};

std::vector<Case> all_cases() {
  std::set<fs::path> files;
  for (const auto& entry : fs::directory_iterator(kCaseDir))
    if (entry.path().extension() == ".case") files.insert(entry.path());
  std::vector<Case> cases;
  for (const auto& file : files)
    for (Case& c : parse(file)) cases.push_back(c);
  return cases;
}

void PrintTo(const Case& c, std::ostream* out) { *out << c.file << ".case: " << c.name; }

class Cases : public ::testing::TestWithParam<Case> {};

TEST_P(Cases, Run) {
  Runner(GetParam()).run();
}

std::string test_name(const ::testing::TestParamInfo<Case>& info) {
  std::string name = info.param.file + "_";
  for (char ch : info.param.name) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Behaviour, Cases, ::testing::ValuesIn(all_cases()), test_name);

}  // namespace
