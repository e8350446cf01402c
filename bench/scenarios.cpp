// Scenarios implementation. To add one: write a function of Bench& below
// and name it in scenarios() at the end of the file.
#include "bench/scenarios.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iostream>
#include <unistd.h>

namespace bench {

Host& Bench::host(const std::string& name, Account account, const std::function<void(Host&)>& fill) {
  for (auto& [made, host] : hosts_)
    if (made == name) return *host;
  hosts_.emplace_back(name, std::make_unique<Host>(work_ + "/" + name, account, programs));
  Host& host = *hosts_.back().second;
  if (fill) fill(host);
  return host;
}

Baselines Bench::baselines(const std::string& name) const { return Baselines(work_ + "/" + name); }

Sample Bench::check_filter(Host& host, const std::string& message, std::vector<std::string>* sent) {
  host.capture_mail(true);
  const std::size_t before = host.box.sent().size();
  const Sample sample = runner.run(host.filter(), message);
  if (sent) {
    const std::vector<std::string> all = host.box.sent();
    sent->assign(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
  }
  host.capture_mail(false);
  return sample;
}

int Bench::rounds(int base) const { return std::max(3, static_cast<int>(std::lround(base * scale_))); }

Group Bench::measure(const std::string& scenario, std::vector<Contender>& contenders, int base_rounds,
                     int warmup) {
  runner.interleave(contenders, rounds(base_rounds), warmup);
  const Group group = report.add(scenario, contenders);
  std::cerr << "  done: " << scenario << "\n";
  for (const Row& r : group.rows)
    std::cerr << "    " << r.program << ": wall " << fmt(r.stats.wall) << " ms, cpu " << fmt(r.stats.cpu)
              << " ms, rss " << fmt(r.stats.rss, 1) << " MB\n";
  return group;
}

namespace {

// Ends the harness unless ok: the figures would not be of the path claimed.
void check(bool ok, const std::string& what) {
  if (!ok) die("scenario check failed: " + what);
}

std::size_t held(const Host& host) { return sandbox::list(host.queue()).size(); }

// The filter for a sender it holds; the queue is put back after each run.
Contender held_contender(const std::string& label, const Host& host, Input input) {
  Contender c = filter_contender(label, host, std::move(input));
  c.after = [&host](int) { reset_held(host); };
  return c;
}

// A queue of n held messages, shared by the scenarios that need one.
Host& queue_host(Bench& b, int n) {
  return b.host("queue-" + std::to_string(n), Account::kAddress, [n](Host& h) { fill_queue(h, n); });
}

// A white-listed message of size bytes for an address account, against
// procmail and cat; with_system adds a system account and the start-up alone.
Group delivery(Bench& b, const std::string& name, const std::string& slug, std::size_t size,
               bool with_system, int base_rounds) {
  const std::string msg = make_message("friend@sender.test", "Lunch on Friday", size, 1);
  const auto size_of_msg = static_cast<long long>(msg.size());
  Host& h = b.host(slug + "-mail");
  check(b.check_filter(h, msg).status == 0, name + ": filter run");
  check(file_size(h.inbox()) == size_of_msg, name + ": white-listed message delivered");
  check(held(h) == 0, name + ": nothing held");
  Input input = [&msg](int) { return msg; };
  std::vector<Contender> cs = {filter_contender("sendvetter, address account", h, input)};
  if (with_system) {
    Host& hs = b.host(slug + "-system", Account::kSystem);
    check(b.check_filter(hs, msg).status == 0 && file_size(hs.inbox()) == size_of_msg,
          name + ": system account delivery");
    cs.push_back(filter_contender("sendvetter, system account", hs, input));
    // Start-up alone: the program's loading and static initialisation.
    cs.emplace_back("sendvetter --bincheck (start-up only)",
                    Cmd{b.programs.filter, {"sendvetter", "--bincheck"}, h.env, ""}, input);
  }
  const Baselines bl = b.baselines(slug + "-base");
  cs.push_back(bl.procmail(input));
  cs.push_back(bl.cat(input));
  return b.measure(name, cs, base_rounds, 5);
}

void deliver_4k(Bench& b) {
  const Group g = delivery(b, "white-listed 4 KB message", "deliver4k", 4096, true, 250);
  const Stats& filter = g.rows.front().stats;
  b.report.ratio_target("White-listed 4 KB delivery against procmail", "≤ 0.9×", 0.9, filter, *g.procmail);
  b.report.ratio_target("White-listed 4 KB delivery against cat >> inbox", "≤ 3×", 3.0, filter, *g.cat);
}

void deliver_1m(Bench& b) { delivery(b, "white-listed 1 MB message", "deliver1m", 1u << 20, false, 80); }

void challenge(Bench& b) {
  const std::string name = "unknown sender, 4 KB: held and challenged";
  Host& h = b.host("challenge");
  std::vector<std::string> sent;
  check(b.check_filter(h, make_message(stranger(0), "Hello there", 4096, 2), &sent).status == 0,
        "challenge: filter run");
  check(held(h) == 1, "challenge: message held");
  check(sent.size() == 1 && sent[0].find("verify#") != std::string::npos, "challenge: verify form sent");
  reset_held(h);
  Input input = [](int i) { return make_message(stranger(i), "Hello there", 4096, static_cast<unsigned>(i)); };
  const Baselines bl = b.baselines("challenge-base");
  std::vector<Contender> cs = {held_contender("sendvetter", h, input), bl.procmail(input), bl.cat(input)};
  b.measure(name, cs, 150, 5);
}

void release(Bench& b) {
  const std::string name = "verification reply releasing 10 held messages";
  Host& h = b.host("release");
  const std::string sender = "replier@known.test";
  const std::string white = sandbox::read(h.settings() + "/white-list.txt");
  const std::string message = make_message(sender, "Held message", 4096, 3);
  std::vector<std::string> ids;
  // Ten held messages of the sender and their record; the white list as it
  // was before the reply added the sender.
  auto prepare = [&](int i) {
    Rng rng(static_cast<unsigned long long>(i) + 1000);
    ids.clear();
    std::string record;
    for (int k = 0; k < 10; ++k) {
      ids.push_back(queue_id(rng));
      write_file(h.queue() + "/" + ids.back() + ".msg", message);
      record += ids.back() + "\n";
    }
    write_file(h.verifications() + "/" + sender, record);
    write_file(h.settings() + "/white-list.txt", white);
    truncate_if_large(h.inbox());
  };
  auto reply = [&](int) {
    return make_message(sender, "Re: Please verify your message (verify#" + ids.front() + ")", 4096, 4);
  };
  prepare(0);
  const long long before = file_size(h.inbox());
  check(b.check_filter(h, reply(0)).status == 0, "release: filter run");
  check(held(h) == 0, "release: queue emptied");
  check(file_size(h.inbox()) - std::max(0ll, before) == 10 * static_cast<long long>(message.size()),
        "release: ten messages in the inbox");
  const Baselines bl = b.baselines("release-base");
  std::vector<Contender> cs = {filter_contender("sendvetter", h, reply), bl.procmail(reply), bl.cat(reply)};
  cs[0].prepare = prepare;
  const Group g = b.measure(name, cs, 100, 3);
  b.report.ratio_target("Verification reply releasing 10 held messages against procmail", "≤ 1.5×", 1.5,
                        g.rows.front().stats, *g.procmail);
  b.report.add_note("The release row is one whole run: the reply is read, the sender white-listed, "
                    "ten 4 KB queue files appended to the inbox and deleted; procmail and cat "
                    "deliver the reply alone.");
}

void list_size(Bench& b) {
  const std::string name = "list size: sender on no list (held and challenged)";
  const std::vector<int> sizes = {0, 10, 1000, 10000};
  std::vector<Host*> hosts;
  for (int n : sizes) {
    Host& h = b.host("lists-" + std::to_string(n));
    for (const char* list : {"ignore", "white", "black"})
      write_file(h.settings() + "/" + list + "-list.txt", make_list(n, list));
    hosts.push_back(&h);
  }
  // With the biggest lists the stranger still ends up held.
  check(b.check_filter(*hosts.back(), make_message(stranger(1), "Quarterly report", 4096, 5)).status == 0,
        "lists: filter run");
  check(held(*hosts.back()) == 1, "lists: stranger held");
  Input input = [](int i) {
    return make_message(stranger(i), "Quarterly report " + std::to_string(i), 4096, static_cast<unsigned>(i));
  };
  std::vector<Contender> cs;
  for (std::size_t k = 0; k < sizes.size(); ++k) {
    reset_held(*hosts[k]);
    cs.push_back(held_contender("sendvetter, 3 lists × " + std::to_string(sizes[k]) + " rules", *hosts[k], input));
  }
  const Baselines bl = b.baselines("lists-base");
  cs.push_back(bl.procmail(input));
  cs.push_back(bl.cat(input));
  b.measure(name, cs, 60, 3);
  for (std::size_t k = 0; k < sizes.size(); ++k)
    b.report.by_list.emplace_back(std::to_string(sizes[k]), cs[k].stats());
  b.report.added_target("10,000 rules in each of the ignore, white and black lists: added time per message",
                        "≤ 10 ms", 10.0, cs[0].stats(), cs[3].stats());
}

// Nothing in these queues is due (fill_queue), so the expiry's state record
// lets every run after the first skip the scan; with --before, the earlier
// build runs the same deliveries on the same hosts beside it.
void queue_size(Bench& b) {
  const std::string name = "queue size: white-listed 4 KB delivery, nothing due";
  const std::vector<int> sizes = {0, 1000, 20000, 200000};
  std::vector<Host*> hosts;
  for (int n : sizes) hosts.push_back(&queue_host(b, n));
  Host& full = *hosts[2];
  const std::string msg = make_message("friend@sender.test", "Lunch on Friday", 4096, 1);
  check(b.check_filter(*hosts.back(), msg).status == 0, "queue: filter run");
  check(held(*hosts.back()) == 200000, "queue: nothing expired or held");
  Input input = [&msg](int) { return msg; };
  std::vector<Contender> cs;
  for (std::size_t k = 0; k < sizes.size(); ++k)
    cs.push_back(filter_contender("sendvetter, " + std::to_string(sizes[k]) + " held", *hosts[k], input));
  const bool before = !b.programs.before.empty();
  for (std::size_t k = 0; before && k < sizes.size(); ++k) {
    cs.push_back(filter_contender("sendvetter before, " + std::to_string(sizes[k]) + " held", *hosts[k], input));
    cs.back().cmd.path = b.programs.before;
  }
  const Baselines bl = b.baselines("queue-base");
  cs.push_back(bl.procmail(input));
  cs.push_back(bl.cat(input));
  // The least any scan by modification time can cost: find reading the same
  // three directories of the 20,000 host and testing each file's age.
  cs.emplace_back("find (the same scan, 20000 held)",
                  Cmd{"/usr/bin/find",
                      {"find", full.queue(), full.verifications(), full.logdir(), "-type", "f", "-mtime", "+15"},
                      {"PATH=/usr/bin:/bin", "LC_ALL=C"},
                      ""},
                  input);
  b.measure(name, cs, 100, 3);
  for (std::size_t k = 0; k < sizes.size(); ++k) {
    b.report.by_queue.emplace_back(std::to_string(sizes[k]), cs[k].stats());
    if (before) b.report.by_queue_before.emplace_back(std::to_string(sizes[k]), cs[sizes.size() + k].stats());
  }
  const Stats find = cs.back().stats();
  b.report.added_target("White-listed 4 KB delivery, 20,000 held, nothing due: added time per message", "≤ 0.5 ms",
                        0.5, cs[0].stats(), cs[2].stats(),
                        " (find over the same queue: " + fmt(find.wall) + " ms wall, " + fmt(find.cpu) + " ms CPU)");
  b.report.added_target("The same with 200,000 held", "≤ 0.5 ms", 0.5, cs[0].stats(), cs[3].stats());
}

void big_message(Bench& b) {
  const std::string name = "white-listed 100 MB message";
  Host& h = b.host("big");
  const std::string msg = make_message("friend@sender.test", "The big one", 100u << 20, 6);
  check(b.check_filter(h, msg).status == 0, "big: filter run");
  check(file_size(h.inbox()) == static_cast<long long>(msg.size()), "big: delivered whole");
  ::truncate(h.inbox().c_str(), 0);
  Input input = [&msg](int) { return msg; };
  const Baselines bl = b.baselines("big-base");
  std::vector<Contender> cs = {filter_contender("sendvetter", h, input), bl.procmail(input), bl.cat(input)};
  // Every run starts from an empty mailbox.
  auto emptied = [](const std::string& path) { return [path](int) { ::truncate(path.c_str(), 0); }; };
  cs[0].after = emptied(h.inbox());
  cs[1].after = emptied(bl.mbox);
  cs[2].after = emptied(bl.catbox);
  b.measure(name, cs, 5, 1);
  b.report.memory_target("Peak resident memory of the filter for a 100 MB message", "≤ 8 MB", 8.0, cs[0].stats());
}

// Hostile header blocks without an empty line, of every shape, and a To
// header of ten million addresses, from a white-listed sender: the filter
// may hold the block once more at most (2 × its size + 8 MB). Sizes are
// 400 MB and 50 MB times --scale when that is below 1.
void hostile_memory(Bench& b) {
  const double part = std::min(1.0, b.scale());
  const auto block = static_cast<std::size_t>(400.0 * part * (1 << 20));
  const auto to_size = static_cast<std::size_t>(50.0 * part * (1 << 20));
  const std::string envelope = "From friend@sender.test Mon Dec  7 10:00:00 2026\nFrom: friend@sender.test\n";
  auto pad = [](std::string text, std::size_t size, const std::string& unit) {
    while (text.size() + unit.size() <= size) text += unit;
    return text;
  };
  struct Shape {
    std::string label;
    std::function<std::string()> make;
    std::size_t size;
  };
  const std::string mb = fmt(static_cast<double>(block) / (1 << 20), 0) + " MB";
  const std::vector<Shape> shapes = {
      {mb + " header block in one line", [&] { return pad(envelope + "Subject: ", block, std::string(4096, 's')); },
       block},
      {mb + " header block of short lines", [&] { return pad(envelope, block, "X-Pad: 0123456789\n"); }, block},
      {mb + " header block, one header folded deep",
       [&] { return pad(envelope + "Subject: folded\n", block, " x\n"); }, block},
      {fmt(static_cast<double>(to_size) / (1 << 20), 0) + " MB To header, 5-byte addresses",
       [&] { return pad(envelope + "Subject: many\nTo: ", to_size, "ab@c,") + "\n\nbody\n"; }, to_size},
  };
  Host& h = b.host("hostile");
  std::vector<Contender> cs;
  for (const Shape& shape : shapes) {
    const std::string message = shape.make();
    check(b.check_filter(h, message).status == 0 && held(h) == 0, "hostile: " + shape.label + " delivered");
    ::truncate(h.inbox().c_str(), 0);
    cs.push_back(filter_contender("sendvetter, " + shape.label, h, [message](int) { return message; }));
    cs.back().after = [inbox = h.inbox()](int) { ::truncate(inbox.c_str(), 0); };
  }
  b.measure("hostile header blocks: peak memory", cs, 3, 0);
  for (std::size_t k = 0; k < shapes.size(); ++k) {
    const double limit = 2.0 * static_cast<double>(shapes[k].size) / (1 << 20) + 8;
    b.report.memory_target("Peak RSS, " + shapes[k].label, "≤ " + fmt(limit, 0) + " MB", limit, cs[k].stats());
  }
}

void panel_search(Bench& b) {
  const std::string name = "panel over 20,000 held messages";
  const Host& h = queue_host(b, 20000);
  const std::string pattern = "order number 1234[0-9]";
  const Cmd show = h.panel({"SendVetter_showqueue", "", h.account, "showmsg.html", "view"});
  const Cmd search = h.panel({"SendVetter_showqueuesearch", "body", pattern, h.account, "showmsg.html", "view"});
  const Cmd grep{
      "/usr/bin/grep", {"grep", "-r", "-l", "-i", pattern, h.queue()}, {"PATH=/usr/bin:/bin", "LC_ALL=C"}, ""};
  // The panel search finds what grep finds: the ten messages of "order
  // number 12340" to "12349".
  const std::string out = h.box.root() + "/panel-check.out";
  for (const Cmd* c : {&search, &grep}) {
    Cmd copy = *c;
    copy.out = out;
    ::unlink(out.c_str());
    check(b.runner.run(copy, "").status == 0, "panel: " + c->argv[1]);
    const std::string text = sandbox::read(out);
    int found = 0;
    for (std::size_t at = 0; (at = text.find(".msg", at)) != std::string::npos; ++at) ++found;
    if (c == &search) found /= 4;  // four links per row
    check(found == 10, "panel: " + c->argv[1] + " finds the 10 messages (found " + std::to_string(found) + ")");
  }
  Input none = [](int) { return std::string(); };
  std::vector<Contender> cs = {{"SendVetter_showqueue (today)", show, none},
                               {"SendVetter_showqueuesearch body", search, none},
                               {"grep -r -l -i", grep, none, Reference::kGrep}};
  b.measure(name, cs, 9, 1);
  b.report.ratio_target("Body search over 20,000 held messages, against grep -r -l -i", "≤ 1.5×", 1.5,
                        cs[1].stats(), cs[2].stats());
}

}  // namespace

const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> kAll = {
      {"deliver4k", deliver_4k}, {"deliver1m", deliver_1m}, {"challenge", challenge}, {"release", release},
      {"lists", list_size},      {"queue", queue_size},     {"big", big_message},     {"hostile", hostile_memory},
      {"panel", panel_search},
  };
  return kAll;
}

}  // namespace bench
