// Fixture: the hosts the filter and the panel run on (test sandboxes set up
// as a hosting server's), the messages, lists and queues they are given,
// and the baselines they are measured against.
//
// The filter and the panel take their host files from the sandbox through
// SENDVETTER_HOST_ROOT, so they must come from a build with
// SENDVETTER_SANDBOX_HOST_PATHS.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bench/runner.h"
#include "tests/sandbox.h"

namespace bench {

// The programs under measurement and the sendmail stand-in they submit to.
struct Programs {
  std::string filter, panel, sendmail;
  // An earlier build of the filter measured beside it (--before), or empty.
  std::string before;
};

// A system account ("bench") makes the filter ask the hostname program for
// its web domain; an address account (user@bench.test) does not.
enum class Account { kAddress, kSystem };

// A sandbox with passwd and userdomains of some 60 entries each, the
// account's owner among them, the forms, one mailbox with its directories
// made and a small white list whose last rule lets friend@sender.test in.
// Submissions go to the sendmail stand-in.
class Host {
 public:
  Host(const std::string& root, Account account, const Programs& programs);

  sandbox::Sandbox box;
  std::string account;     // the filter's argument
  std::string emaildir;    // settings, queue, verifications, log
  std::string deliverdir;  // the inbox
  std::vector<std::string> env;

  std::string settings() const { return emaildir + "/.sendvetter"; }
  std::string inbox() const { return deliverdir + "/inbox"; }
  std::string queue() const { return emaildir + "/sendvetter/queue"; }
  std::string verifications() const { return emaildir + "/sendvetter/verifications"; }
  std::string logdir() const { return emaildir + "/sendvetter/log"; }

  // The filter for this account; the panel with the given arguments.
  Cmd filter() const;
  Cmd panel(const std::vector<std::string>& args) const;
  // Switches submissions to the sandbox's capturing sendmail (true) or
  // back to the stand-in.
  void capture_mail(bool on);

 private:
  const Programs& programs_;
};

// The message a contender gets for run i.
using Input = std::function<std::string(int)>;

Contender filter_contender(const std::string& label, const Host& host, Input input);

// The procmail and cat references every mail scenario runs interleaved with.
class Baselines {
 public:
  explicit Baselines(const std::string& dir);
  // procmail -m RCFILE with only DEFAULT=MBOX in RCFILE: no recipes.
  Contender procmail(Input input) const;
  // /bin/cat with its standard output opened for appending.
  Contender cat(Input input) const;

  std::string dir, rc, mbox, catbox;
};

// A plain-text message of about total bytes: envelope line, a realistic
// header block (two Received hops, display names, MIME headers), body lines
// of 72 characters. The body carries "order number <seed>" for the searches.
std::string make_message(const std::string& from, const std::string& subject, std::size_t total,
                         unsigned long long seed);
// The address of the i-th sender on no list.
std::string stranger(int i);

// Deterministic pseudo-random numbers for ids and texts.
struct Rng {
  unsigned long long state;
  explicit Rng(unsigned long long seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
  unsigned long long next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};
// A queue id as the filter makes them: 32 word characters.
std::string queue_id(Rng& rng);

// A list of n rules of the kinds the system and owners write: mostly the
// escaped "from" rules that white-listing appends, some comments, and one
// owner-written regular expression in fifty (anchored, alternations,
// subject/to/cc keywords). None matches the benchmark's strangers.
std::string make_list(int n, const std::string& tag);

// Fills host's queue with n held 4 KB messages from n/2 senders, their
// verifications records, and two weeks of log files; modification times
// spread over the last 14 days, so nothing is old enough to expire (15 days).
void fill_queue(const Host& host, int n);

// Puts host's queue back to empty after a held message, so every run meets
// the same state (one fresh loop-protection entry, an empty queue).
void reset_held(const Host& host);

// sandbox::write, or the end of the harness: a fixture not as described
// measures something else.
void write_file(const std::string& path, const std::string& content);
long long file_size(const std::string& path);
// Empties a file grown past limit, so that many runs do not fill the disk.
void truncate_if_large(const std::string& path, long long limit = 64ll << 20);

}  // namespace bench
