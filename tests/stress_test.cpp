// Concurrency stress: several processes at once against one mailbox, through
// the real filter and panel programs. White-listed deliveries, unknown
// senders held and challenged, verification replies that release, and panel
// "deliver", "deliverall" and "delete" actions all run side by side. At the
// end every message is accounted for exactly once (inbox or queue, or gone
// because a delete named it), byte for byte as it was sent, the
// verifications records neither repeat nor lose an id, and no lock file is
// left behind.
//
// SENDVETTER_STRESS_SCALE (default 1) multiplies the workers' message counts
// for longer benchmark runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox.h"

using sandbox::Sandbox;

namespace {

#ifndef SENDVETTER_NO_SANDBOX

int stress_scale() {
  const char* text = std::getenv("SENDVETTER_STRESS_SCALE");
  int scale = text ? std::atoi(text) : 1;
  return scale < 1 ? 1 : scale;
}

struct Planned {
  std::string marker;
  std::string sender;
  std::string input;
};

// A message in one of several shapes: a "From " line in the body, CRLF line
// ends, a body of several read chunks, no final line end with binary bytes,
// an empty body.
std::string make_message(const std::string& sender, const std::string& marker, int shape) {
  const std::string envelope = "From " + sender + " Mon Jan  1 00:00:00 2024";
  const std::string eol = shape == 1 ? "\r\n" : "\n";
  std::string head = envelope + eol + "From: Stress Sender <" + sender + ">" + eol +
                     "To: bob@host.example.test" + eol + "Subject: stress " + marker + eol +
                     "X-Stress-Marker: " + marker + eol;
  std::string body;
  switch (shape) {
    case 0: body = "first line\nFrom the middle of the body\n>From quoted\nlast " + marker + "\n"; break;
    case 1: body = "crlf body" + eol + eol + "after an empty line " + marker + eol; break;
    case 2:
      for (int i = 0; body.size() < 150000; ++i) body += "line " + std::to_string(i) + " of " + marker + "\n";
      break;
    case 3:
      body = "binary ";
      for (int c = 0; c < 256; ++c) body.push_back(static_cast<char>(c));
      body += " no final line end " + marker;
      break;
    default: break;  // empty body
  }
  return head + eol + body;
}

// The marker of the message that starts at pos, from its header block.
std::string marker_at(const std::string& box, std::size_t pos) {
  static const std::string field = "\nX-Stress-Marker: ";
  const std::size_t end = box.find("\n\n", pos);
  const std::size_t found = box.find(field, pos);
  if (found == std::string::npos || (end != std::string::npos && found > end)) return {};
  const std::size_t start = found + field.size();
  std::string marker = box.substr(start, box.find('\n', start) - start);
  if (!marker.empty() && marker.back() == '\r') marker.pop_back();
  return marker;
}

// Walks a mail file message by message; every message must be a planned one,
// stored byte for byte. Adds each marker found to counts; false (with why)
// when the file holds anything else.
bool account_for(const std::string& box, const std::map<std::string, std::string>& expected,
                 std::map<std::string, int>& counts, std::string& why) {
  std::size_t pos = 0;
  while (pos < box.size()) {
    const std::string marker = marker_at(box, pos);
    auto it = expected.find(marker);
    if (it == expected.end()) {
      why = "unknown or damaged message at byte " + std::to_string(pos) + ": " + box.substr(pos, 120);
      return false;
    }
    if (box.compare(pos, it->second.size(), it->second) != 0) {
      why = "message " + marker + " at byte " + std::to_string(pos) + " differs from what was sent";
      return false;
    }
    ++counts[marker];
    pos += it->second.size();
  }
  return true;
}

std::vector<std::string> record_ids(const std::string& path) {
  std::vector<std::string> ids;
  std::istringstream in(sandbox::read(path));
  for (std::string line; std::getline(in, line);) ids.push_back(line);
  return ids;
}

// A worker process: runs its part and writes one line per event to its
// results file ("status <marker> <n>", "deleted <marker>", "error ...").
template <typename Body>
pid_t start_worker(const std::string& results, Body body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    std::ofstream out(results);
    body(out);
    out.flush();
    ::_exit(0);
  }
  return pid;
}

TEST(Stress, ConcurrentDeliveryHoldReleaseAndPanelActionsLoseNothing) {
  const auto started = std::chrono::steady_clock::now();
  const int scale = stress_scale();
  Sandbox box;
  const std::string home = box.add_user("bob");
  const std::string emaildir = home + "/etc";
  const std::string inbox = home + "/mail/inbox";
  const std::string queue = emaildir + "/sendvetter/queue";
  // First run makes the directories; the white list is the owner's file.
  ASSERT_EQ(box.filter("bob", "From: nobody\n\n").status, 0);
  sandbox::write(emaildir + "/.sendvetter/white-list.txt", "# stress senders\nfrom ^white-\n");
  const std::string results = box.root() + "/results";
  ::mkdir(results.c_str(), 0700);

  std::vector<Planned> plan;
  std::map<std::string, std::string> expected;  // marker -> stored form
  auto add = [&](const std::string& sender, const std::string& marker, int shape) {
    plan.push_back({marker, sender, make_message(sender, marker, shape)});
    expected[marker] = sandbox::stored_form(plan.back().input);
    return plan.size() - 1;
  };

  const int kWhiteWorkers = 2, kUnknownWorkers = 3;
  const int white_messages = 15 * scale;
  const int unknown_senders = 4 * scale;
  std::vector<std::vector<std::size_t>> white_slices(kWhiteWorkers);
  for (int w = 0; w < kWhiteWorkers; ++w)
    for (int i = 0; i < white_messages; ++i)
      white_slices[w].push_back(add("white-" + std::to_string(w) + "@stress.test",
                                    "w" + std::to_string(w) + "-" + std::to_string(i), (w + i) % 5));
  // Per unknown sender: three held messages, a reply to the first challenge,
  // one message after it. The last sender of each worker ("k...") never
  // replies and the panel leaves it alone, so some mail stays held.
  struct UnknownSender {
    std::string address;
    std::vector<std::size_t> held;
    std::size_t after;
    bool replies;
  };
  std::vector<std::vector<UnknownSender>> unknown_slices(kUnknownWorkers);
  for (int w = 0; w < kUnknownWorkers; ++w)
    for (int s = 0; s < unknown_senders; ++s) {
      UnknownSender sender;
      sender.replies = s + 1 < unknown_senders;
      const std::string name = (sender.replies ? "u" : "k") + std::to_string(w) + "-" + std::to_string(s);
      sender.address = name + "@stress.test";
      for (int i = 0; i < 3; ++i) sender.held.push_back(add(sender.address, name + "-" + std::to_string(i), (s + i) % 5));
      sender.after = add(sender.address, name + "-after", s % 5);
      unknown_slices[w].push_back(sender);
    }

  std::vector<pid_t> workers;
  for (int w = 0; w < kWhiteWorkers; ++w)
    workers.push_back(start_worker(results + "/white" + std::to_string(w), [&, w](std::ofstream& out) {
      for (std::size_t index : white_slices[w])
        out << "status " << plan[index].marker << " " << box.filter("bob", plan[index].input).status << "\n";
    }));
  for (int w = 0; w < kUnknownWorkers; ++w)
    workers.push_back(start_worker(results + "/unknown" + std::to_string(w), [&, w](std::ofstream& out) {
      for (const UnknownSender& sender : unknown_slices[w]) {
        for (std::size_t index : sender.held)
          out << "status " << plan[index].marker << " " << box.filter("bob", plan[index].input).status << "\n";
        if (sender.replies) {
          // The challenge's id, as the sender would quote it: the first one
          // still recorded (a panel action may have taken some already).
          const auto ids = record_ids(emaildir + "/sendvetter/verifications/" + sender.address);
          if (!ids.empty()) {
            const std::string reply = "From " + sender.address + " Mon Jan  1 00:00:00 2024\nFrom: " +
                                      sender.address + "\nSubject: Re: (verify#" + ids.front() +
                                      ") Please confirm\n\nyes\n";
            out << "reply " << sender.address << " " << box.filter("bob", reply).status << "\n";
          }
        }
        out << "status " << plan[sender.after].marker << " "
            << box.filter("bob", plan[sender.after].input).status << "\n";
      }
    }));
  // The panel: acts on whatever is queued at the moment, newest files first
  // (the ones most likely still being written).
  const int panel_rounds = 20 * scale;
  workers.push_back(start_worker(results + "/panel", [&](std::ofstream& out) {
    static const char* const kActions[] = {"deliver", "delete", "deliverall"};
    for (int round = 0; round < panel_rounds; ++round) {
      ::usleep(100 * 1000);
      std::vector<std::pair<long long, std::string>> held;
      for (const std::string& name : sandbox::list(queue))
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".msg") == 0) {
          struct stat st;
          if (::stat((queue + "/" + name).c_str(), &st) == 0) held.push_back({st.st_mtime, name});
        }
      std::sort(held.rbegin(), held.rend());
      std::string name, marker;
      for (std::size_t i = 0; i < held.size() && name.empty(); ++i) {
        const auto& candidate = held[(static_cast<std::size_t>(round) + i) % held.size()].second;
        // A file whose header is not readable yet is still being stored (a
        // test of its own); a delete of it could not be accounted for.
        marker = marker_at(sandbox::read(queue + "/" + candidate), 0);
        if (!marker.empty() && marker[0] != 'k') name = candidate;
      }
      if (name.empty()) continue;
      const std::string action = kActions[round % 3];
      if (action == std::string("delete")) out << "deleted " << marker << "\n";
      out.flush();
      auto r = box.panel({"SendVetter_messageaction", "bob", "", name, action});
      // A reply may have released the message since it was listed.
      const bool gone = r.status == 1 && r.out == "The queued message does not exist; nothing was done. ";
      if (r.status != 0 && !gone) out << "error panel " << action << " status " << r.status << "\n";
    }
  }));

  for (pid_t pid : workers) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  // Every run answered 0: handled, none to be retried.
  std::set<std::string> deleted;
  int runs = 0, replies = 0;
  for (const std::string& name : sandbox::list(results)) {
    std::istringstream in(sandbox::read(results + "/" + name));
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      std::string kind, what, status;
      words >> kind >> what >> status;
      if (kind == "status") {
        ++runs;
        EXPECT_EQ(status, "0") << line;
      } else if (kind == "reply") {
        ++replies;
        EXPECT_EQ(status, "0") << line;
      } else if (kind == "deleted") {
        deleted.insert(what);
      } else {
        ADD_FAILURE() << name << ": " << line;
      }
    }
  }
  EXPECT_EQ(runs, static_cast<int>(plan.size()));

  std::map<std::string, int> in_inbox, in_queue;
  std::string why;
  EXPECT_TRUE(account_for(sandbox::read(inbox), expected, in_inbox, why)) << why;
  std::map<std::string, std::string> queued_ids;  // id -> marker
  for (const std::string& name : sandbox::list(queue)) {
    ASSERT_TRUE(name.size() == 36 && name.compare(32, 4, ".msg") == 0) << "stray file in the queue: " << name;
    std::map<std::string, int> one;
    EXPECT_TRUE(account_for(sandbox::read(queue + "/" + name), expected, one, why)) << name << ": " << why;
    EXPECT_EQ(one.size(), 1u) << name << " holds more or less than one message";
    for (const auto& [marker, n] : one) {
      in_queue[marker] += n;
      queued_ids[name.substr(0, 32)] = marker;
    }
  }

  int released = 0, delivered = 0, held = 0;
  for (const Planned& p : plan) {
    const int n = in_inbox[p.marker] + in_queue[p.marker];
    if (deleted.count(p.marker))
      EXPECT_LE(n, 1) << p.marker << " was deleted and yet is there twice";
    else
      EXPECT_EQ(n, 1) << p.marker << " found " << n << " times (inbox " << in_inbox[p.marker] << ", queue "
                      << in_queue[p.marker] << ")";
    held += in_queue[p.marker];
    delivered += in_inbox[p.marker];
    if (p.sender[0] != 'w' && in_inbox[p.marker]) ++released;
  }
  // The run exercised every path it is meant to.
  EXPECT_GT(released, 0);
  EXPECT_GT(held, 0);
  EXPECT_GT(replies, 0);

  // Records: no id twice, and every held message listed for its sender.
  const std::string verifications = emaildir + "/sendvetter/verifications";
  std::map<std::string, std::string> listed;  // id -> record
  for (const std::string& record : sandbox::list(verifications)) {
    std::set<std::string> seen;
    for (const std::string& id : record_ids(verifications + "/" + record)) {
      EXPECT_TRUE(seen.insert(id).second) << record << " lists " << id << " twice";
      listed[id] = record;
    }
  }
  for (const auto& [id, marker] : queued_ids) {
    const std::string sender = marker.substr(0, marker.rfind('-'));
    auto it = listed.find(id);
    ASSERT_NE(it, listed.end()) << "held message " << marker << " (" << id << ") is in no record";
    EXPECT_EQ(it->second, sender + "@stress.test") << marker;
  }

  for (const std::string& path : sandbox::tree(home)) {
    EXPECT_EQ(path.find(".lock"), std::string::npos) << "left behind: " << path;
    EXPECT_EQ(path.find("..rewrite"), std::string::npos) << "left behind: " << path;
  }

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("stress: scale %d, %zu processes, %zu messages (%d runs + %d replies + %d panel actions), "
              "%d delivered, %d released, %d held, %zu named by deletes, %.1f s\n",
              scale, workers.size(), plan.size(), runs, replies, panel_rounds, delivered, released, held,
              deleted.size(), seconds);
}

#endif  // SENDVETTER_NO_SANDBOX

}  // namespace
