// The host files and programs the module uses, in one place.
//
// Installed programs use the real paths. A build configured with
// SENDVETTER_SANDBOX_HOST_PATHS prefixes each with $SENDVETTER_HOST_ROOT so
// the end-to-end tests run the real programs on fixture host files; unit
// tests may also assign the paths directly.
#pragma once

#include <string>

namespace Orvane::SendVetter {

struct HostPaths {
  std::string passwd;       // "/etc/passwd"
  std::string userdomains;  // "/etc/userdomains"
  std::string sendmail;     // "/usr/sbin/sendmail"
  std::string formdir;      // the system form directory, no trailing "/"
  std::string sysconf;      // the system configuration file, beside the form directory
  std::string urandom;      // "/dev/urandom"
  std::string syslog;       // "/dev/log", the system logger's socket
};

HostPaths& host_paths();

}  // namespace Orvane::SendVetter
