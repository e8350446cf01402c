// Runner implementation: the spawning server, interleaved rounds, medians.
#include "bench/runner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/sandbox.h"

namespace bench {

void die(const std::string& why) {
  std::cerr << "bench: " << why << "\n";
  std::exit(1);
}

double now_ms() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t m = values.size() / 2;
  return values.size() % 2 ? values[m] : (values[m - 1] + values[m]) / 2;
}

Stats Contender::stats() const {
  std::vector<double> wall, cpu, rss;
  for (const Sample& s : samples) {
    wall.push_back(s.wall_ms);
    cpu.push_back(s.cpu_ms);
    rss.push_back(s.rss_mb);
  }
  return {static_cast<int>(samples.size()), median(wall), median(cpu), median(rss)};
}

namespace {

double cpu_ms(const struct rusage& ru) {
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

// Reads or writes (io) all size bytes at p; false at an end or an error.
template <typename Io, typename Byte>
bool whole(Io io, int fd, Byte* p, std::size_t size) {
  while (size > 0) {
    ssize_t n = io(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool read_exact(int fd, void* data, std::size_t size) {
  return whole(::read, fd, static_cast<char*>(data), size);
}

bool write_exact(int fd, const void* data, std::size_t size) {
  return whole(::write, fd, static_cast<const char*>(data), size);
}

// fields: path, out, input, argc, argv..., env...
Sample spawn(const std::vector<std::string>& fields) {
  const std::string& path = fields[0];
  const std::string& out = fields[1];
  const std::string& input = fields[2];
  const std::size_t argc = std::stoul(fields[3]);
  std::vector<char*> argv, envp;
  for (std::size_t i = 4; i < 4 + argc; ++i) argv.push_back(const_cast<char*>(fields[i].c_str()));
  argv.push_back(nullptr);
  for (std::size_t i = 4 + argc; i < fields.size(); ++i) envp.push_back(const_cast<char*>(fields[i].c_str()));
  envp.push_back(nullptr);
  int in = input.empty() ? -1 : ::open(input.c_str(), O_RDONLY | O_CLOEXEC);

  Sample s;
  const double start = now_ms();
  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) return s;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    ::dup2(pipefd[0], 0);
    int o = out.empty() ? ::open("/dev/null", O_WRONLY) : ::open(out.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    ::dup2(o, 1);
    int e = ::open("/dev/null", O_WRONLY);
    ::dup2(e, 2);
    ::execve(path.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(pipefd[0]);
  char buffer[65536];
  if (in >= 0) {
    for (;;) {
      ssize_t n = ::read(in, buffer, sizeof buffer);
      if (n <= 0) break;
      // A program that stopped reading (it dropped the message) ends the feed.
      if (!write_exact(pipefd[1], buffer, static_cast<std::size_t>(n))) break;
    }
  }
  ::close(pipefd[1]);
  int status = 0;
  struct rusage ru;
  while (::wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) {
  }
  s.wall_ms = now_ms() - start;
  if (in >= 0) ::close(in);
  s.cpu_ms = cpu_ms(ru);
  s.rss_mb = static_cast<double>(ru.ru_maxrss) / 1024.0;
  s.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return s;
}

// The server's loop: a request is a count of fields, then each field as its
// length and bytes; the answer is the Sample.
void serve(int sock) {
  for (;;) {
    std::uint32_t count = 0;
    if (!read_exact(sock, &count, sizeof count)) return;
    std::vector<std::string> fields(count);
    for (auto& f : fields) {
      std::uint32_t n = 0;
      if (!read_exact(sock, &n, sizeof n)) return;
      f.resize(n);
      if (n && !read_exact(sock, f.data(), n)) return;
    }
    Sample s = spawn(fields);
    if (!write_exact(sock, &s, sizeof s)) return;
  }
}

}  // namespace

void Runner::start() {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) die("socketpair");
  pid_t pid = ::fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    ::close(sv[0]);
    serve(sv[1]);
    ::_exit(0);
  }
  ::close(sv[1]);
  sock_ = sv[0];
  server_ = pid;
}

void Runner::stop() {
  if (sock_ < 0) return;
  ::close(sock_);
  int status;
  ::waitpid(server_, &status, 0);
  sock_ = -1;
}

Sample Runner::run(const Cmd& cmd, const std::string& input, const std::string& slot) {
  const std::string path = input_dir_ + "/" + slot + ".msg";
  auto it = written_.find(slot);
  if (it == written_.end() || it->second != input) {
    if (!sandbox::write(path, input)) die("cannot write " + path);
    written_[slot] = input;
  }
  std::vector<std::string> fields = {cmd.path, cmd.out, path, std::to_string(cmd.argv.size())};
  fields.insert(fields.end(), cmd.argv.begin(), cmd.argv.end());
  fields.insert(fields.end(), cmd.env.begin(), cmd.env.end());
  std::string request;
  for (const std::string& f : fields) {
    std::uint32_t n = static_cast<std::uint32_t>(f.size());
    request.append(reinterpret_cast<const char*>(&n), sizeof n);
    request += f;
  }
  std::uint32_t total = static_cast<std::uint32_t>(fields.size());
  request.insert(0, reinterpret_cast<const char*>(&total), sizeof total);
  if (!write_exact(sock_, request.data(), request.size())) die("spawner gone");
  Sample s;
  if (!read_exact(sock_, &s, sizeof s)) die("spawner gone");
  return s;
}

void Runner::interleave(std::vector<Contender>& contenders, int rounds, int warmup) {
  const int n = static_cast<int>(contenders.size());
  for (int r = -warmup; r < rounds; ++r) {
    for (int k = 0; k < n; ++k) {
      const std::size_t idx = static_cast<std::size_t>(((r % n) + n + k) % n);
      Contender& c = contenders[idx];
      const int i = r + warmup;
      if (c.prepare) c.prepare(i);
      Sample s = run(c.cmd, c.input(i), "contender" + std::to_string(idx));
      if (s.status != 0) die(c.label + " exited with status " + std::to_string(s.status));
      if (c.after) c.after(i);
      if (r >= 0) c.samples.push_back(s);
    }
  }
}

// The part of a delivery's wall time that the filter and procmail (both
// flush every delivery) spend waiting for the disk, and cat does not.
FlushCost measure_flush(const std::string& dir) {
  const std::string path = dir + "/fsync-probe";
  const std::string block(4096, 'x');
  std::vector<double> wall, cpu;
  for (int i = 0; i < 30; ++i) {
    struct rusage before, after;
    ::getrusage(RUSAGE_SELF, &before);
    const double start = now_ms();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0 || ::write(fd, block.data(), block.size()) < 0) die("fsync probe");
    ::fsync(fd);
    ::close(fd);
    wall.push_back(now_ms() - start);
    ::getrusage(RUSAGE_SELF, &after);
    cpu.push_back(cpu_ms(after) - cpu_ms(before));
  }
  ::unlink(path.c_str());
  return {median(wall), median(cpu)};
}

}  // namespace bench
