// Races no single end-to-end run shows: first runs making the mailbox
// identity, a list rewritten during an append.
#include <gtest/gtest.h>
#include <fstream>
#include <random>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/base/host_paths.h"
#include "sandbox.h"

using namespace Orvane::SendVetter;

namespace {

// Every first run gets the identity that ends up in place, and it is made
// once. The random device is a pipe filled only after the runs had time to
// wait on it, so they are all between "no identity yet" and "place mine".
TEST(Identity, ConcurrentFirstRunsAgreeOnOne) {
  const HostPaths saved = host_paths();
  std::mt19937 rng(7);
  for (int round = 0; round < 3; ++round) {
    sandbox::TempDir dir;
    ::mkdir((dir / ".sendvetter").c_str(), 0700);
    host_paths().urandom = dir / "random";
    int out[2];
    ASSERT_EQ(::mkfifo(host_paths().urandom.c_str(), 0600) | ::pipe(out), 0);
    for (int i = 0; i < 8; ++i) {
      if (::fork() != 0) continue;
      const std::string id = SendVetter_getourid(dir.path()).value_or("none") + "\n";
      (void)!::write(out[1], id.data(), id.size());
      ::_exit(0);
    }
    ::close(out[1]);
    ::usleep(100'000);
    std::string data, got, expected;
    while (data.size() < 16384) data += "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_"[rng() % 63];
    std::ofstream(host_paths().urandom) << data;  // less than a pipe holds: never blocks
    char buffer[512];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) got.append(buffer, n);
    ::close(out[0]);
    while (::wait(nullptr) > 0) continue;
    const std::string id = sandbox::read(dir / ".sendvetter/id");
    EXPECT_EQ(id.size(), 32u);
    for (int i = 0; i < 8; ++i) expected += id + "\n";
    EXPECT_EQ(got, expected) << "round " << round;
    EXPECT_EQ(sandbox::list(dir / ".sendvetter"), std::vector<std::string>{"id"});
  }
  host_paths() = saved;
}

// A rule removed while another process is appending (holding the list's
// lock): the removal waits, so the new rule lands in the list it keeps.
TEST(ListLock, RemovingARuleKeepsAnAppendInProgress) {
  sandbox::TempDir dir;
  ::mkdir((dir / ".sendvetter").c_str(), 0700);
  const std::string path = dir / ".sendvetter/white-list.txt";
  sandbox::write(path, "from a@x\nfrom b@x\n");
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  int removed = -1;
  std::thread remover([&] { removed = SendVetter_removerule("white", "from a@x", dir.path()); });
  ::usleep(300000);
  ASSERT_EQ(::write(fd, "from c@x\n", 9), 9);
  ::close(fd);
  remover.join();
  EXPECT_EQ(removed, 1);
  EXPECT_EQ(sandbox::read(path), "from b@x\nfrom c@x\n");
}

}  // namespace
