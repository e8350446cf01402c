// Kill test: the filter and the panel's actions are killed with SIGKILL at
// random instants and, where a delay is too coarse, at named steps (the test
// build's kill hook); each killed run is retried as the mail server retries,
// until it answers 0. At the end Python's mbox reader splits the inbox and
// every queue file, and every message sent is found exactly once, byte for
// byte (none once the panel deleted it); every queue file is named by a
// record, no record names a missing file (but for ids the panel's "deliver"
// and "delete" leave behind by design), and nothing of an unfinished run is
// left. SENDVETTER_KILL_ACTIONS (default 100) and SENDVETTER_KILL_SEED;
// ./run bench runs thousands.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "sandbox.h"

namespace {

#ifndef SENDVETTER_NO_SANDBOX

const std::vector<const char*> kDeliverySteps = {"intent-written", "appended"};
const std::vector<const char*> kHoldSteps = {"intent-written", "appended", "queue-file-placed"};
const std::vector<const char*> kReleaseSteps = {"releasing", "appended", "kept"};

// Sizes up to 1.5 MB, CRLF lines, every byte but "\n" on one line: the
// message, and its stored form (the line ending the header is "\n" there).
std::pair<std::string, std::string> make_message(const std::string& sender, const std::string& marker, long shape) {
  const std::string eol = shape == 1 ? "\r\n" : "\n";
  const std::string header = "From " + sender + " Mon Jan  1 00:00:00 2024" + eol + "From: Kill <" + sender + ">" +
                             eol + "X-Kill-Marker: " + marker + eol;
  std::string body;
  for (int i = 0; body.size() < (shape == 2 ? 200000u : shape == 3 ? 1500000u : 0u); ++i)
    body += "line " + std::to_string(i) + eol;
  for (int c = 1; shape == 4 && c < 256; ++c)
    if (c != '\n') body.push_back(static_cast<char>(c));
  body += "end of " + marker + eol;
  return {header + eol + body, header + "\n" + body};
}

// Markers end in "." so that none is the start of another.
std::string marker_of(const std::string& stored) {
  const std::size_t at = stored.find("\nX-Kill-Marker: ");
  return at == std::string::npos ? "" : stored.substr(at + 16, stored.find('.', at) - at - 15);
}

// What a run leaves only while unfinished: an append's records, a releasing
// file, a queue file not yet named.
bool unfinished(const std::string& path) {
  return path.ends_with("..intent") || path.ends_with("..kept") || path.ends_with("..releasing") ||
         path.find("/queue/.") != std::string::npos;
}

struct Driver {
  sandbox::Sandbox box;
  std::string home = box.add_user("bob");
  std::string inbox = home + "/mail/inbox", queue = home + "/etc/sendvetter/queue";
  std::string verifications = home + "/etc/sendvetter/verifications";
  std::mt19937 rng;
  std::map<std::string, std::string> expected;  // marker -> stored form
  std::set<std::string> deleted, stale_ids;
  int kills = 0, retries = 0, killed_after_store = 0;

  long pick(long n) { return std::uniform_int_distribution<long>(0, n - 1)(rng); }
  std::vector<std::string> held() {
    std::vector<std::string> names = sandbox::list(queue);
    std::erase_if(names, [](const std::string& name) { return !name.ends_with(".msg") || name[0] == '.'; });
    return names;
  }

  // The unfinished files with their change times: earlier runs' leftovers
  // (a cut-back release's releasing file) stay until their next run.
  std::map<std::string, long long> leftovers() {
    std::map<std::string, long long> found;
    for (const std::string& path : sandbox::tree(home))
      if (unfinished("/" + path))
        found[path] = std::filesystem::last_write_time(home + "/" + path).time_since_epoch().count();
    return found;
  }

  // Killed after its message was stored and all its own work done: the mail
  // server's retry would store a second copy, the one window no delivery
  // agent closes. Counted, not retried.
  bool stored_before_kill(const std::string& marker, const std::map<std::string, long long>& before) {
    const auto now = leftovers();
    if (marker.empty() || !std::includes(before.begin(), before.end(), now.begin(), now.end())) return false;
    std::string all = sandbox::read(inbox);
    for (const std::string& name : held()) all += sandbox::read(queue + "/" + name);
    return all.find("Marker: " + marker) != std::string::npos;
  }

  // One action, killed once (at a named step or after a random delay), then
  // retried until it answers 0. No run is alive between attempts, so an
  // empty lock file a kill left (the general lock pair's) is removed rather
  // than waited out as stale for 10 s.
  void run(bool panel, const std::vector<std::string>& argv, const std::string& input,
           const std::vector<const char*>& steps, const std::string& marker = {}) {
    const auto leftovers_before = leftovers();
    std::map<std::string, std::string> env;
    if (pick(2) == 0) env["SENDVETTER_KILL_AT"] = steps[pick(steps.size())];
    const long delay = env.empty() ? pick(20000 + input.size() / 20) : -1;
    sandbox::Result r = box.run_killed(panel, argv, input, env, delay);
    for (int attempt = 0; r.status != 0; ++attempt) {
      ASSERT_LT(attempt, 50) << "no retry succeeds: " << r.status << " " << r.err;
      // A panel action that the killed run finished finds nothing to do.
      if (panel && attempt > 0 && r.out.find("does not exist") != std::string::npos) return;
      ASSERT_TRUE(r.status == 128 + SIGKILL || r.status == 75) << r.status << " " << r.err << r.out;
      kills += attempt == 0 && r.status == 128 + SIGKILL;
      for (const std::string& path : sandbox::tree(home))
        if (path.ends_with(".lock") && sandbox::read(home + "/" + path).empty())
          std::remove((home + "/" + path).c_str());
      if (stored_before_kill(marker, leftovers_before)) return void(++killed_after_store);
      ++retries;
      r = box.run_killed(panel, argv, input, {}, -1);
    }
  }

  void send(const std::string& sender, const std::string& marker, const std::vector<const char*>& steps) {
    const long shape = pick(4);
    const auto [message, stored] = make_message(sender, marker, pick(12) == 0 ? 3 : shape == 3 ? 4 : shape);
    expected[marker] = stored;
    run(false, {"bob"}, message, steps, marker);
  }
};

TEST(Kill, EveryMessageOnceAndWholeWhereverARunIsKilled) {
  auto knob = [](const char* name, long fallback) { return std::getenv(name) ? std::atol(std::getenv(name)) : fallback; };
  const long actions = knob("SENDVETTER_KILL_ACTIONS", 100);
  const long seed = knob("SENDVETTER_KILL_SEED", std::random_device()());
  const auto started = std::chrono::steady_clock::now();
  Driver d;
  d.rng.seed(static_cast<unsigned>(seed));
  ASSERT_EQ(d.box.filter({"bob"}, "From: nobody\n\n").status, 0);
  sandbox::write(d.home + "/etc/.sendvetter/white-list.txt", "from ^white-\n");
  for (long i = 0, kind = d.pick(20), unknown = 0; i < actions; ++i, kind = d.pick(20)) {
    const std::string n = std::to_string(i);
    const std::vector<std::string> held = d.held();
    const std::string name = held.empty() ? "" : held[d.pick(held.size())];
    if (kind < 4) {
      d.send("white-" + n + "@kill.test", "w" + n + ".", kDeliverySteps);
    } else if (kind < 12 || held.empty()) {
      // Two messages per sender: loop protection, which also counts killed
      // runs, never drops one.
      d.send("u" + std::to_string(unknown++ / 2) + "@kill.test", "u" + n + ".", kHoldSteps);
    } else if (kind < 16) {
      const std::string from = sandbox::read(d.queue + "/" + name);
      const std::string address = from.substr(5, from.find(' ', 5) - 5);
      d.run(false, {"bob"},
            "From " + address + " Mon Jan  1 00:00:00 2024\nFrom: " + address + "\nSubject: Re: (verify#" +
                name.substr(0, 32) + ")\n\nyes\n",
            kReleaseSteps);
    } else {
      const std::string action = std::vector<std::string>{"deliver", "delete", "deliverall"}[d.pick(3)];
      if (action != "deliverall") d.stale_ids.insert(name.substr(0, 32));
      if (action == "delete") d.deleted.insert(marker_of(sandbox::read(d.queue + "/" + name)));
      d.run(true, {"SendVetter_messageaction", "bob", "", name, action}, "", kReleaseSteps);
    }
  }

  // A real mbox reader splits the inbox and each queue file; every message
  // is compared whole with what was sent.
  for (const auto& [marker, stored] : d.expected) sandbox::write(d.box.root() + "/sent-" + marker, stored);
  const std::string script = d.box.root() + "/split.py", listing = d.box.root() + "/found.txt";
  sandbox::write(script,
                 "import mailbox, os, sys\n"
                 "queue = [sys.argv[3] + '/' + name for name in os.listdir(sys.argv[3])]\n"
                 "for path in [sys.argv[2]] + [p for p in queue if not p.endswith('.lock')]:\n"
                 "    box = mailbox.mbox(path, create=False)\n"
                 "    for key in box.iterkeys():\n"
                 "        msg = box.get_message(key)\n"
                 "        raw = b'From ' + msg.get_from().encode() + b'\\n' + box.get_bytes(key)\n"
                 "        try: same = open(sys.argv[1] + '/sent-' + msg['X-Kill-Marker'], 'rb').read() == raw\n"
                 "        except (OSError, TypeError): same = False\n"
                 "        print(msg['X-Kill-Marker'], 'whole' if same else 'damaged', path)\n");
  const std::string command = "python3 " + script + " " + d.box.root() + " " + d.inbox + " " + d.queue + " > " + listing;
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::map<std::string, int> found;
  std::istringstream lines(sandbox::read(listing));
  for (std::string marker, state, path; lines >> marker >> state >> path; ++found[marker])
    EXPECT_EQ(state, "whole") << marker << " in " << path;

  std::set<std::string> named;
  for (const std::string& record : sandbox::list(d.verifications)) {
    std::istringstream ids(record.ends_with(".lock") ? "" : sandbox::read(d.verifications + "/" + record));
    for (std::string id; std::getline(ids, id); named.insert(id))
      EXPECT_TRUE(d.stale_ids.count(id) || sandbox::exists(d.queue + "/" + id + ".msg"))
          << record << " names the missing " << id;
  }
  for (const std::string& name : sandbox::list(d.queue))
    EXPECT_TRUE(name.ends_with(".lock") || named.count(name.substr(0, 32))) << "orphan: " << name;
  for (const std::string& path : sandbox::tree(d.home))
    EXPECT_FALSE(unfinished("/" + path)) << "left behind: " << path;
  // Markers found with their counts: each sent one once, a deleted one never, no other.
  std::map<std::string, int> once;
  for (const auto& [marker, stored] : d.expected)
    if (!d.deleted.count(marker)) once[marker] = 1;
  EXPECT_EQ(found, once);
  EXPECT_GT(d.kills, actions / 3);
  std::printf("kill: seed %ld, %ld actions, %d killed, %d retries, %d killed after storing (not retried); "
              "%zu messages, %zu deleted; %.1f s\n",
              seed, actions, d.kills, d.retries, d.killed_after_store, d.expected.size(), d.deleted.size(),
              std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}

#endif  // SENDVETTER_NO_SANDBOX

}  // namespace
