// The exit statuses of the programs, in one table.
//
// The filter's are read by the mail server: 0 the message is handled
// (whatever its fate) and may be forgotten; 75 (EX_TEMPFAIL) keep the message
// and retry later, the reason on standard error; 1 a fatal set-up error. The
// panel's are read by the control panel: 0 the function ran; 2 the call
// named no function. The web server's by its service manager: 0 stopped; 1
// it could not listen (or set up libcurl); 2 the command line is wrong.
#pragma once

#include <sysexits.h>

namespace Orvane::SendVetter {

enum ExitStatus : int {
  kExitHandled = EX_OK,
  kExitUnknownAccount = 1,
  kExitNoRandomData = 1,
  kExitTempFail = EX_TEMPFAIL,
  kExitPanelDone = EX_OK,
  kExitUnknownFunction = 2,
  kExitWebStopped = EX_OK,
  kExitCannotListen = 1,
  kExitWebUsage = 2,
};

}  // namespace Orvane::SendVetter
