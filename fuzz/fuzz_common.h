// Shared pieces of the fuzz targets: the failure report that makes libFuzzer
// keep the input, a private scratch directory removed at exit, writing a file.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fuzz {

inline void check(bool ok, const std::string& what, const std::string& detail = "") {
  if (ok) return;
  std::fprintf(stderr, "INVARIANT BROKEN: %s\n---- detail (%zu bytes):\n%s\n----\n", what.c_str(), detail.size(),
               detail.c_str());
  std::abort();
}

// A directory of this process below /tmp, made on first use, with DIR below it.
inline std::string scratch(const std::string& dir) {
  static const std::string top = [] {
    char tmpl[] = "/tmp/sendvetter-fuzz-XXXXXX";
    static const std::string made = ::mkdtemp(tmpl);
    std::atexit([] { std::filesystem::remove_all(made); });
    return made;
  }();
  std::filesystem::create_directories(top + "/" + dir);
  return top + "/" + dir;
}

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

}  // namespace fuzz
