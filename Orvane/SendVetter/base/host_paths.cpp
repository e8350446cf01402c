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
  // The system configuration file sits beside the form directory.
  const std::string formdir = SENDVETTER_FORM_DIR;
  const std::string sysconf = formdir.substr(0, formdir.rfind('/')) + "/sendvetter.conf";
  return HostPaths{prefix + "/etc/passwd", prefix + "/etc/userdomains",
                   prefix + "/usr/sbin/sendmail", prefix + formdir,
                   prefix + sysconf, "/dev/urandom", prefix + "/dev/log"};
}

}  // namespace

HostPaths& host_paths() {
  static HostPaths paths = make_host_paths();
  return paths;
}

}  // namespace Orvane::SendVetter
