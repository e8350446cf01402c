// The filter's exit statuses, in one table. The mail server reads them:
// 0 the message is handled (whatever its fate) and may be forgotten;
// 75 (EX_TEMPFAIL) keep the message and retry later; 1 a fatal set-up error.
#pragma once

#include <sysexits.h>

namespace Orvane::SendVetter {

enum ExitStatus : int {
  kExitHandled = EX_OK,
  kExitUnknownAccount = 1,
  kExitNoRandomData = 1,
  kExitTempFail = EX_TEMPFAIL,
};

}  // namespace Orvane::SendVetter
