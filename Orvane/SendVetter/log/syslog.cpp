// The system log line, written to the logger's datagram socket in the
// local form "<PRI>Mmm dd hh:mm:ss sendvetter[pid]: text". The socket is a
// host path, so the test build can read what an installed program would send.
#include "Orvane/SendVetter/log/syslog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "Orvane/SendVetter/base/host_paths.h"

namespace Orvane::SendVetter {

namespace {

// Longer lines are cut: loggers drop oversized datagrams whole.
constexpr std::size_t kMaxText = 1024;

}  // namespace

void system_log(const std::string& text) {
  const std::string& path = host_paths().syslog;
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
  std::string line = "<" + std::to_string(LOG_MAIL | LOG_INFO) + ">" + stamp + " sendvetter[" +
                     std::to_string(::getpid()) + "]: " + text.substr(0, kMaxText);
  // Header values come from anyone: no control character (a line end would
  // forge a second line) reaches the log.
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';

  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return;
  ::sendto(fd, line.data(), line.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
           sizeof address);
  ::close(fd);
}

}  // namespace Orvane::SendVetter
