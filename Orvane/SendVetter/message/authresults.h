// Sender authentication as this host's mail server recorded it in an
// "Authentication-Results:" header (RFC 8601).
#pragma once

#include <string>

#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

// true when the topmost Authentication-Results header whose authserv-id is
// authserv_id (compared without case) says that from_domain failed:
// "dmarc=fail", or "spf=fail" for the envelope domain from_domain with no
// "dkim=pass" for it. Headers with other ids are ignored; any other result,
// no such header, or an empty authserv_id gives false.
bool from_domain_failed(const PackedLines& headers, const std::string& authserv_id,
                        const std::string& from_domain);

}  // namespace Orvane::SendVetter
