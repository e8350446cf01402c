// The host paths: real ones, or relocated below a sandbox in test builds.
#include "Orvane/SendVetter/base/host_paths.h"

#include <cstdlib>

#ifndef SENDVETTER_FORM_DIR
#define SENDVETTER_FORM_DIR "/usr/local/orvane/etc/sendvetter/forms"
#endif

namespace Orvane::SendVetter {

namespace {

HostPaths make_host_paths() {
  std::string prefix;
#ifdef SENDVETTER_SANDBOX_HOST_PATHS
  if (const char* root = std::getenv("SENDVETTER_HOST_ROOT")) prefix = root;
#endif
  return HostPaths{prefix + "/etc/passwd", prefix + "/etc/userdomains",
                   prefix + "/usr/sbin/sendmail", prefix + SENDVETTER_FORM_DIR,
                   "/dev/urandom"};
}

}  // namespace

HostPaths& host_paths() {
  static HostPaths paths = make_host_paths();
  return paths;
}

}  // namespace Orvane::SendVetter
