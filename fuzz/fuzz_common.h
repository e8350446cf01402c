// Shared pieces of the fuzz targets: a private scratch directory removed at
// exit, small file helpers, standard output captured into a string, and the
// failure report that makes libFuzzer keep the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace fuzz {

[[noreturn]] inline void fail(const std::string& what, const std::string& detail = "") {
  std::fprintf(stderr, "INVARIANT BROKEN: %s\n", what.c_str());
  if (!detail.empty()) std::fprintf(stderr, "---- detail (%zu bytes):\n%s\n----\n", detail.size(), detail.c_str());
  std::abort();
}

inline void check(bool ok, const std::string& what, const std::string& detail = "") {
  if (!ok) fail(what, detail);
}

inline void remove_tree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

// A directory of this process below /tmp, made on first use.
inline const std::string& scratch() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/sendvetter-fuzz-XXXXXX";
    std::string made = ::mkdtemp(tmpl);
    static std::string to_remove = made;
    std::atexit([] { remove_tree(to_remove); });
    return made;
  }();
  return dir;
}

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void make_dirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
}

// A descriptor at offset 0 whose content is data (a memfd reused per call).
inline int input_fd(const std::string& data) {
  static int fd = ::memfd_create("fuzz-input", MFD_CLOEXEC);
  if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) fail("memfd reset");
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n <= 0) fail("memfd write");
    done += static_cast<std::size_t>(n);
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

// Standard output (both std::cout and stdio) redirected into a memfd.
class CaptureStdout {
 public:
  CaptureStdout() {
    static int fd = ::memfd_create("fuzz-stdout", MFD_CLOEXEC);
    fd_ = fd;
    std::cout.flush();
    std::fflush(stdout);
    if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) fail("memfd reset");
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(fd_, STDOUT_FILENO);
  }
  ~CaptureStdout() {
    if (saved_ >= 0) finish();
  }
  std::string finish() {
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    saved_ = -1;
    std::string out;
    ::lseek(fd_, 0, SEEK_SET);
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    return out;
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
};

}  // namespace fuzz
