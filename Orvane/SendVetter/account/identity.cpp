// The mailbox identity (settings directory + "/id": 32 word characters, no
// line end) and the random word characters it and the queue ids are drawn
// from.
//
// The identity file is written to a temporary name and renamed into place,
// without replacing an identity another run put there first, so no run ever
// reads it empty and concurrent first runs agree on one identity.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <unistd.h>

#include "Orvane/SendVetter/account/account.h"
#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/host_paths.h"
#include "Orvane/SendVetter/base/text.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

namespace {

// Read passes before a device that yields no word characters counts as broken.
constexpr int kMaxRandomPasses = 64;

bool is_word_char(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

void report_unreadable_device(const std::string& reason) {
  std::cout << "Fatal Error: Unable to read data from /dev/urandom (" << reason
            << ").  Please contact your system admin to have them repair the problem.\n"
            << std::flush;
}

}  // namespace

std::optional<std::string> SendVetter_getranddata(std::size_t length, int /*flag*/) {
  SafeFile::Handle device;
  if (!device.open(host_paths().urandom, "<")) {
    report_unreadable_device(std::strerror(errno));
    return std::nullopt;
  }
  std::string result;
  std::string buffer(length * 16, '\0');
  for (int pass = 0; result.size() < length; ++pass) {
    if (pass == kMaxRandomPasses) {
      report_unreadable_device("no usable data");
      return std::nullopt;
    }
    ssize_t n = ::read(device.fd(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    // Each pass replaces the one before, as the buffer is refilled whole.
    result.clear();
    for (ssize_t i = 0; i < n; ++i)
      if (is_word_char(static_cast<unsigned char>(buffer[i]))) result.push_back(buffer[i]);
  }
  result.resize(length);
  return result;
}

std::optional<std::string> SendVetter_getourid(const std::string& emaildir) {
  const std::string path = Mailbox::at(emaildir).id_file();
  // An empty identity (a file cut short, or emptied by hand) would go out
  // as an empty header that no returning form could be told by: made anew.
  const auto in_place = [&] { return path_exists(path) ? first_line(read_file(path)) : ""; };
  if (std::string id = in_place(); !id.empty()) return id;
  auto fresh = SendVetter_getranddata(32, 1);
  if (!fresh) return std::nullopt;
  const std::string temp = path + ".new." + std::to_string(::getpid());
  SafeFile::Handle file;
  if (file.open(temp, ">") && file.write_all(*fresh) && file.close()) {
    // link() does not replace: the run that loses the race reads the winner's.
    if (::link(temp.c_str(), path.c_str()) != 0 && in_place().empty())
      std::rename(temp.c_str(), path.c_str());
    ::unlink(temp.c_str());
    if (std::string id = in_place(); !id.empty()) return id;
  } else {
    ::unlink(temp.c_str());
  }
  return fresh;
}

}  // namespace Orvane::SendVetter
