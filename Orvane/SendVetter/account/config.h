// Configuration files in the "name=value" format of sendvetter.conf.
#pragma once

#include <string>

#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

// Every "name=value" line of the file, split at the first "=", the last line
// for a name winning; empty when the file is absent or cannot be read.
Conf read_conf_file(const std::string& path);

// The host-wide settings (host_paths().sysconf). Key "authserv-id": the id
// this host's mail server writes in Authentication-Results; empty turns
// sender authentication off.
Conf load_system_conf();

}  // namespace Orvane::SendVetter
