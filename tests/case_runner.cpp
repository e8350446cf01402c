// Runs the behaviour cases of tests/cases/*.case on a sandbox host; the
// format is described in docs/testing.md. SENDVETTER_CASES_UPDATE=1 writes
// the actual outputs into the case files instead of comparing (review the diff).
#include <gtest/gtest.h>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <glob.h>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "sandbox.h"

namespace fs = std::filesystem;

namespace {

struct Block {
  bool action = true;  // "$" action or "?" expectation
  std::vector<std::string> words;
  std::string content;
  bool escaped = false;  // "-e": the text, and a run's arguments, read escapes
  std::size_t line = 0, end = 0;  // directive line and one past the content, 0-based
};

struct Case {
  std::string file, name;
  std::vector<Block> blocks;
};

std::vector<std::string> split_words(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\'' || c == '"') {
      std::size_t close = text.find(c, i + 1);
      word += text.substr(i + 1, close - i - 1);
      in_word = true;
      i = close == std::string::npos ? text.size() : close;
    } else if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    static const std::string kFrom = "nrt0", kTo("\n\r\t\0", 4);
    char c = text[++i];
    if (c == 'x') {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += kFrom.find(c) != std::string::npos ? kTo[kFrom.find(c)] : c;
    }
  }
  return out;
}

bool directive(const std::string& line) {
  return line.rfind("$ ", 0) == 0 || line.rfind("? ", 0) == 0 || line.rfind("=== ", 0) == 0;
}

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "-e": content lines are joined without line feeds and unescaped; "-n": no final line feed.
std::vector<Case> parse(const std::string& path) {
  std::vector<Case> cases;
  std::vector<std::string> lines = read_lines(path);
  for (std::size_t i = 0; i < lines.size();) {
    const std::string& line = lines[i];
    if (line.rfind("=== ", 0) == 0) {
      cases.push_back({fs::path(path).stem().string(), line.substr(4), {}});
      ++i;
    } else if (directive(line) && !cases.empty()) {
      Block block;
      block.action = line[0] == '$';
      block.words = split_words(line.substr(2));
      block.line = i;
      std::size_t end = ++i;
      while (end < lines.size() && !directive(lines[end])) ++end;
      block.end = end;
      std::size_t last = end;
      while (last > i && lines[last - 1].empty()) --last;
      bool escaped = false, no_newline = false;
      while (block.words.size() > 1 && (block.words[1] == "-e" || block.words[1] == "-n")) {
        (block.words[1] == "-e" ? escaped : no_newline) = true;
        block.words.erase(block.words.begin() + 1);
      }
      for (; i < last; ++i) block.content += lines[i] + (escaped ? "" : "\n");
      if (escaped) block.content = unescape(block.content);
      block.escaped = escaped;
      if (no_newline && !block.content.empty() && block.content.back() == '\n') block.content.pop_back();
      cases.back().blocks.push_back(block);
      i = end;
    } else {
      ++i;
    }
  }
  return cases;
}

// Expected text as it would be written in a case file: plain lines when it
// reads back unchanged, else one "-e" line per line of output.
std::pair<std::string, std::string> render(const std::string& text) {
  bool plain = text.empty() || (text.size() > 1 && text.back() == '\n' && text[text.size() - 2] != '\n');
  std::istringstream lines(text);
  for (std::string line; plain && std::getline(lines, line);)
    plain = !directive(line) && line.find_first_of(std::string("\r\0", 2)) == std::string::npos;
  if (plain) return {"", text};
  std::string out;
  for (unsigned char c : text) {
    // A line may not begin like a directive; control bytes and the escape itself are escaped.
    bool line_start = out.empty() || out.back() == '\n';
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n\n";
    else if (c < 0x20 || c == 0x7f || (line_start && (c == '$' || c == '?' || c == '='))) out += hex;
    else out += static_cast<char>(c);
  }
  if (out.empty() || out.back() != '\n') out += "\n";
  return {"-e", out};
}

const std::string kCaseDir = std::string(SENDVETTER_SOURCE_DIR) + "/tests/cases";

std::vector<Case> all_cases() {
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(kCaseDir))
    if (entry.path().extension() == ".case") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<Case> cases;
  for (const auto& file : files)
    for (Case& c : parse(file)) cases.push_back(c);
  return cases;
}

class Runner {
 public:
  explicit Runner(const Case& c) : case_(c) {
    home_ = box_.add_user("bob");
  }

  void run() {
    for (std::size_t i = 0; i < case_.blocks.size(); ++i) {
      const Block& block = case_.blocks[i];
      SCOPED_TRACE(case_.file + ".case:" + std::to_string(block.line + 1));
      if (block.action && block.words[0] == "root") {
        if (::geteuid() != 0) GTEST_SKIP() << "the rest of the case needs root";
        continue;
      }
      if (block.action) {
        check_last_run();
        act(block);
      } else {
        expect(block, i);
      }
    }
    check_last_run();
    EXPECT_EQ(normal(take_sent()), "") << "outgoing mail that no \"? sent\" accounts for";
  }

  // Expectations rewritten with the actual outputs, by block index (update mode).
  std::map<std::size_t, std::pair<std::string, std::string>> updates;

 private:
  std::string path(const std::string& word) {
    std::string p = fill(word);
    return p.rfind("~/", 0) == 0 ? home_ + p.substr(1) : box_.root() + "/" + p;
  }

  // Inputs may name ids seen earlier in the case as {H1}, {H2}, ...
  std::string fill(std::string text) const {
    for (std::size_t i = 0; i < ids_.size(); ++i) {
      std::string key = "{H" + std::to_string(i + 1) + "}";
      for (std::size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), ids_[i]);
    }
    for (std::size_t at; (at = text.find("{ROOT}")) != std::string::npos;) text.replace(at, 6, box_.root());
    return text;
  }

  static bool id_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; }

  // Outputs with the sandbox root as {ROOT}, today's date (the log's name) as
  // {TODAY} and every 32-character id (queue names, identities) as {Hn}.
  std::string normal(std::string text) {
    auto d = Orvane::SendVetter::SendVetter_nicedate(std::time(nullptr));
    for (const std::string& from : {box_.root(), d[0] + "-" + d[1] + "-" + d[2]})
      for (std::size_t at; (at = text.find(from)) != std::string::npos;)
        text.replace(at, from.size(), from == box_.root() ? "{ROOT}" : "{TODAY}");
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
      std::size_t j = i;
      while (j < text.size() && id_char(text[j])) ++j;
      if (j - i == 32) {
        std::string id = text.substr(i, 32);
        auto known = std::find(ids_.begin(), ids_.end(), id);
        if (known == ids_.end()) known = ids_.insert(ids_.end(), id);
        out += "{H" + std::to_string(known - ids_.begin() + 1) + "}";
      } else {
        out += text.substr(i, std::max<std::size_t>(j - i, 1));
      }
      i = std::max(j, i + 1);
    }
    return out;
  }

  long long when(const std::string& word) const {
    if (word.rfind("now", 0) != 0) return std::stoll(word);
    long long t = std::time(nullptr);
    if (word.size() > 3) {
      long long n = std::stoll(word.substr(3, word.size() - 4));
      t += n * (word.back() == 'd' ? 86400 : 1);
    }
    return t;
  }

  void act(const Block& b) {
    const std::vector<std::string>& w = b.words;
    const std::string& verb = w[0];
    auto arg = [&](std::size_t i) { return i < w.size() ? w[i] : std::string(); };
    if (verb == "file" || verb == "append") {
      fs::create_directories(fs::path(path(w[1])).parent_path());
      std::ofstream(path(w[1]), std::ios::binary | (verb == "file" ? std::ios::trunc : std::ios::app))
          << fill(b.content);
      if (w.size() > 2) ::chmod(path(w[1]).c_str(), std::stoi(w[2], nullptr, 8));
    } else if (verb == "mkdir") {
      fs::create_directories(path(w[1]));
      ::chmod(path(w[1]).c_str(), w.size() > 2 ? std::stoi(w[2], nullptr, 8) : 0700);
    } else if (verb == "fifo") {
      ::mkfifo(path(w[1]).c_str(), 0600);
    } else if (verb == "fault") {
      if (arg(1) == "fsize") box_.set_child_setup(sandbox::file_size_limit(std::stoll(w[2])));
      else if (arg(1) == "readonly") box_.set_child_setup(sandbox::remount(path(w[2]), false));
      else if (arg(1) == "norandom") box_.set_child_setup(sandbox::remount("/dev/urandom", true));
      else box_.set_child_setup(nullptr);
    } else if (verb == "symlink") {
      fs::create_symlink(fill(w[1]), path(w[2]));
    } else if (verb == "remove") {
      fs::remove_all(path(w[1]));
    } else if (verb == "chmod") {
      ::chmod(path(w[2]).c_str(), std::stoi(w[1], nullptr, 8));
    } else if (verb == "mtime") {
      glob_t found{};
      ::glob(path(w[1]).c_str(), 0, nullptr, &found);
      for (std::size_t i = 0; i < found.gl_pathc; ++i) sandbox::touch(found.gl_pathv[i], when(w[2]));
      ::globfree(&found);
    } else if (verb == "user") {
      box_.add_user(w[1]);
    } else if (verb == "passwd" || verb == "userdomains") {
      std::istringstream lines(fill(b.content));
      for (std::string line; std::getline(lines, line);)
        verb == "passwd" ? box_.add_passwd_line(line) : box_.add_userdomains_line(line);
    } else if (verb == "env") {
      for (std::size_t i = 1; i < w.size(); ++i) env_[w[i].substr(0, w[i].find('='))] = w[i].substr(w[i].find('=') + 1);
    } else if (verb == "sendmail") {
      if (arg(1) == "capture") box_.use_sendmail("");
      else box_.break_sendmail(arg(1) == "missing");
    } else if (verb == "filter" || verb == "panel") {
      std::vector<std::string> argv;
      for (std::size_t i = 1; i < w.size(); ++i) argv.push_back(b.escaped ? unescape(fill(w[i])) : fill(w[i]));
      if (verb == "filter") {
        if (argv.empty()) argv.push_back("bob");
        last_ = box_.filter(argv, fill(b.content));
      } else {
        if (argv.empty() || argv[0].rfind("--", 0) != 0) argv.insert(argv.begin(), {"--user", "bob"});
        last_ = box_.panel(argv, env_);
      }
      unchecked_status_ = unchecked_err_ = true;
    } else {
      ADD_FAILURE() << "unknown action " << verb;
    }
  }

  void check_last_run() {
    // A run whose status or standard error the case does not name must succeed quietly.
    if (unchecked_status_) {
      EXPECT_EQ(last_.status, 0) << last_.err;
    }
    if (unchecked_err_) {
      EXPECT_EQ(normal(last_.err), "");
    }
    unchecked_status_ = unchecked_err_ = false;
  }

  std::string take_sent() {
    std::string all;
    std::vector<std::string> sent = box_.sent();
    for (std::size_t i = sent_seen_; i < sent.size(); ++i) all += sent[i];
    sent_seen_ = sent.size();
    return all;
  }

  std::string actual(const Block& b) {
    const std::string& verb = b.words[0];
    if (verb == "stdout") return last_.out;
    if (verb == "stderr") return unchecked_err_ = false, last_.err;
    if (verb == "file") return sandbox::exists(path(b.words[1])) ? sandbox::read(path(b.words[1])) : "(absent)\n";
    if (verb == "sent") return take_sent();
    if (verb == "log") {
      auto d = Orvane::SendVetter::SendVetter_nicedate(std::time(nullptr));
      return sandbox::read(home_ + "/etc/sendvetter/log/" + d[0] + "-" + d[1] + "-" + d[2] + ".log");
    }
    std::string out;
    if (verb == "tree")
      for (const std::string& p : sandbox::tree(path(b.words[1]))) out += p + "\n";
    else if (verb == "syslog")
      for (const std::string& line : box_.syslog()) out += line + "\n";
    else
      ADD_FAILURE() << "unknown expectation " << verb;
    return out;
  }

  void expect(const Block& b, std::size_t index) {
    if (b.words[0] == "exit") {
      unchecked_status_ = false;
      if (std::getenv("SENDVETTER_CASES_UPDATE") && std::to_string(last_.status) != b.words[1])
        updates[index] = {"? exit " + std::to_string(last_.status), ""};
      else
        EXPECT_EQ(std::to_string(last_.status), b.words[1]) << last_.err;
      return;
    }
    // "~" after the verb's arguments: the output need only contain the text.
    bool contains = b.words.back() == "~";
    std::string got = normal(actual(b));
    if (std::getenv("SENDVETTER_CASES_UPDATE") && !contains) {
      auto [flag, text] = render(got);
      std::string head = "? " + b.words[0] + (flag.empty() ? "" : " " + flag);
      for (std::size_t i = 1; i < b.words.size(); ++i) head += " " + b.words[i];
      updates[index] = {head, text};
    } else if (contains) {
      EXPECT_NE(got.find(b.content), std::string::npos) << got;
    } else {
      EXPECT_EQ(got, b.content);
    }
  }

  const Case& case_;
  sandbox::Sandbox box_;
  std::string home_;
  std::vector<std::string> ids_;
  std::map<std::string, std::string> env_;
  sandbox::Result last_;
  bool unchecked_status_ = false, unchecked_err_ = false;
  std::size_t sent_seen_ = 0;
};

void write_updates(const Case& c, const std::map<std::size_t, std::pair<std::string, std::string>>& updates) {
  const std::string file = kCaseDir + "/" + c.file + ".case";
  std::vector<std::string> lines = read_lines(file);
  // From the bottom up, so earlier line numbers stay valid.
  for (auto update = updates.rbegin(); update != updates.rend(); ++update) {
    const Block* it = &c.blocks[update->first];
    std::vector<std::string> replacement{update->second.first};
    std::istringstream text(update->second.second);
    for (std::string line; std::getline(text, line);) replacement.push_back(line);
    if (it->words[0] != "exit") replacement.push_back("");
    std::size_t end = it->end;
    lines.erase(lines.begin() + static_cast<long>(it->line), lines.begin() + static_cast<long>(end));
    lines.insert(lines.begin() + static_cast<long>(it->line), replacement.begin(), replacement.end());
  }
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  for (const std::string& line : lines) out << line << "\n";
}

void PrintTo(const Case& c, std::ostream* out) { *out << c.file << ".case: " << c.name; }

class Cases : public ::testing::TestWithParam<Case> {};

TEST_P(Cases, Run) {
  const Case& c = GetParam();
  Runner runner(c);
  runner.run();
  if (!runner.updates.empty()) {
    // Another case of the file may have been rewritten since it was parsed.
    for (const Case& now : parse(kCaseDir + "/" + c.file + ".case"))
      if (now.name == c.name) write_updates(now, runner.updates);
  }
}

std::string test_name(const ::testing::TestParamInfo<Case>& info) {
  std::string name = info.param.file + "_";
  for (char ch : info.param.name) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Behaviour, Cases, ::testing::ValuesIn(all_cases()), test_name);

}  // namespace
