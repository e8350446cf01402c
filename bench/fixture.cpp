// Fixture implementation: hosts, baselines, messages, lists and queues.
#include "bench/fixture.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace bench {

namespace {

std::string site_passwd_line(int i) {
  const std::string n = std::to_string(i), id = std::to_string(2000 + i);
  return "site" + n + ":x:" + id + ":" + id + "::/home/site" + n + ":/bin/bash";
}

void clear_directory(const std::string& dir) {
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    fs::remove_all(it->path(), ec);
}

}  // namespace

// The owner stands among other sites' entries, not first or last, so the
// lookups read some of the file as they would on a real host.
Host::Host(const std::string& root, Account kind, const Programs& programs) : box(root), programs_(programs) {
  for (int i = 1; i < 30; ++i) {
    const std::string n = std::to_string(i);
    box.add_passwd_line("sys" + n + ":x:" + n + ":" + n + ":system:/var/lib/sys" + n + ":/usr/sbin/nologin");
  }
  for (int i = 0; i < 40; ++i) box.add_passwd_line(site_passwd_line(i));
  const std::string home = box.add_user("bench");
  for (int i = 40; i < 60; ++i) box.add_passwd_line(site_passwd_line(i));
  for (int i = 0; i < 60; ++i) box.add_userdomains_line("site" + std::to_string(i) + ".test: site" + std::to_string(i));
  box.add_userdomains_line("bench.test: bench");
  capture_mail(false);

  if (kind == Account::kSystem) {
    account = "bench";
    emaildir = home + "/etc";
    deliverdir = home + "/mail";
  } else {
    account = "user@bench.test";
    emaildir = home + "/etc/bench.test/user";
    deliverdir = home + "/mail/bench.test/user";
  }
  for (const std::string& dir : {settings(), deliverdir, queue(), verifications(), logdir()})
    fs::create_directories(dir);
  write_file(settings() + "/white-list.txt",
               "# people I know\nfrom alice@example\\.test\nfrom bob@example\\.test\n"
               "subject ^\\[team\\]\nfrom carol@example\\.test\nfrom friend@sender\\.test\n");
  // The real hostname program: PATH leaves out the sandbox's own.
  env = {"SENDVETTER_HOST_ROOT=" + box.root(), "PATH=/usr/bin:/bin", "HOME=" + box.root(), "LC_ALL=C"};
}

Cmd Host::filter() const { return Cmd{programs_.filter, {"sendvetter", account}, env, ""}; }

Cmd Host::panel(const std::vector<std::string>& args) const {
  Cmd cmd{programs_.panel, {"sendvetter-panel"}, env, ""};
  cmd.argv.insert(cmd.argv.end(), args.begin(), args.end());
  return cmd;
}

void Host::capture_mail(bool on) { box.use_sendmail(on ? "" : programs_.sendmail); }

Contender filter_contender(const std::string& label, const Host& host, Input input) {
  Contender c(label, host.filter(), std::move(input));
  c.after = [inbox = host.inbox()](int) { truncate_if_large(inbox); };
  return c;
}

Baselines::Baselines(const std::string& where)
    : dir(where), rc(where + "/procmailrc"), mbox(where + "/procmail.mbox"), catbox(where + "/cat.inbox") {
  fs::create_directories(dir);
  // "-m" makes procmail read only this file (no /etc files) and needs no
  // user switch, so it runs as root in the sandbox.
  write_file(rc, "DEFAULT=" + mbox + "\n");
}

Contender Baselines::procmail(Input input) const {
  Contender c("procmail",
              Cmd{"/usr/bin/procmail", {"procmail", "-m", rc}, {"PATH=/usr/bin:/bin", "HOME=" + dir, "LC_ALL=C"}, ""},
              std::move(input), Reference::kProcmail);
  c.after = [box = mbox](int) { truncate_if_large(box); };
  return c;
}

Contender Baselines::cat(Input input) const {
  Contender c("cat >> inbox", Cmd{"/bin/cat", {"cat"}, {"PATH=/usr/bin:/bin", "LC_ALL=C"}, catbox}, std::move(input),
              Reference::kCat);
  c.after = [box = catbox](int) { truncate_if_large(box); };
  return c;
}

std::string make_message(const std::string& from, const std::string& subject, std::size_t total,
                         unsigned long long seed) {
  const std::string domain = from.substr(from.find('@') + 1);
  std::string m;
  m.reserve(total + 128);
  m += "From " + from + " Mon Jan  1 00:00:00 2024\n";
  m += "Return-Path: <" + from + ">\n";
  m += "Received: from mx." + domain + " (mx." + domain + " [192.0.2.10])\n";
  m += "\tby mail.bench.test with esmtps (TLS1.3) id 1qAbCd-0001Xy-" + std::to_string(seed) + "\n";
  m += "\tfor user@bench.test; Mon, 01 Jan 2024 00:00:00 +0000\n";
  m += "Received: from [10.0.0.5] by mx." + domain + " with esmtpa id " + std::to_string(seed) +
       "; Mon, 01 Jan 2024 00:00:00 +0000\n";
  m += "From: \"Sender " + std::to_string(seed) + "\" <" + from + ">\n";
  m += "To: \"Bench User\" <user@bench.test>, colleague@bench.test\n";
  m += "Cc: team@bench.test\n";
  m += "Subject: " + subject + "\n";
  m += "Date: Mon, 01 Jan 2024 00:00:00 +0000\n";
  m += "Message-ID: <" + std::to_string(seed) + ".bench@" + domain + ">\n";
  m += "MIME-Version: 1.0\n";
  m += "Content-Type: text/plain; charset=us-ascii\n";
  m += "Content-Transfer-Encoding: 7bit\n";
  m += "\n";
  m += "Hello,\n\nplease find the details of order number " + std::to_string(seed) + " below.\n";
  static const std::string kLine =
      "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod\n";
  while (m.size() + kLine.size() <= total) m += kLine;
  if (m.size() < total) m += std::string(total - m.size() - 1, 'x') + "\n";
  return m;
}

std::string stranger(int i) { return "stranger" + std::to_string(i) + "@unknown" + std::to_string(i % 97) + ".test"; }

std::string queue_id(Rng& rng) {
  static const char kWord[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_";
  std::string id;
  for (int i = 0; i < 32; ++i) id += kWord[rng.next() % 63];
  return id;
}

std::string make_list(int n, const std::string& tag) {
  std::string list;
  static const char* kRegex[] = {
      "subject ^\\[%s-%d\\]", "from ^newsletter-%s-%d@", "to ^sales-%s-%d@.*\\.test$",
      "from (spam|junk)-%s-%d@.*\\.test$", "cc ^billing-%s-%d@", "subject (viagra|casino) %s%d"};
  for (int k = 0; k < n; ++k) {
    char line[256];
    if (k % 50 == 49) {
      std::snprintf(line, sizeof line, kRegex[(k / 50) % 6], tag.c_str(), k);
      list += line;
      list += "\n";
    } else if (k % 200 == 7) {
      list += "# added " + std::to_string(k) + "\n";
    } else {
      std::snprintf(line, sizeof line, "from name\\.%d@domain%d\\.test\n", k, k % 311);
      list += line;
    }
  }
  return list;
}

void fill_queue(const Host& host, int n) {
  const long long now = static_cast<long long>(std::time(nullptr));
  Rng rng(42);
  std::map<int, std::string> records;
  for (int i = 0; i < n; ++i) {
    const std::string id = queue_id(rng);
    const int sender = i / 2;
    const std::string path = host.queue() + "/" + id + ".msg";
    write_file(path, make_message("held" + std::to_string(sender) + "@example" + std::to_string(sender % 50) +
                                        ".test",
                                    "Held message " + std::to_string(i), 4096, static_cast<unsigned>(i)));
    sandbox::touch(path, now - (i % 14) * 86400 - (i % 3600));
    records[sender] += id + "\n";
  }
  for (const auto& [sender, ids] : records) {
    const std::string path =
        host.verifications() + "/held" + std::to_string(sender) + "@example" + std::to_string(sender % 50) + ".test";
    write_file(path, ids);
    sandbox::touch(path, now - (sender % 14) * 86400);
  }
  for (int d = 1; d <= 14; ++d) {
    const long long t = now - d * 86400;
    struct tm local;
    time_t tt = static_cast<time_t>(t);
    ::localtime_r(&tt, &local);
    char name[64];
    std::snprintf(name, sizeof name, "/%02d-%02d-%04d.log", local.tm_mon + 1, local.tm_mday, local.tm_year + 1900);
    const std::string path = host.logdir() + name;
    write_file(path, std::string(200, 'l') + "\n");
    sandbox::touch(path, t);
  }
}

void reset_held(const Host& host) {
  clear_directory(host.queue());
  clear_directory(host.verifications());
  ::unlink((host.settings() + "/loopprotect").c_str());
  truncate_if_large(host.inbox());
}

void write_file(const std::string& path, const std::string& content) {
  if (!sandbox::write(path, content)) die("cannot write " + path);
}

long long file_size(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

void truncate_if_large(const std::string& path, long long limit) {
  if (file_size(path) > limit) ::truncate(path.c_str(), 0);
}

}  // namespace bench
