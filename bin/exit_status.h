// The exit statuses of the programs, in one table.
//
// The filter's are read by the mail server: 0 the message is handled
// (whatever its fate) and may be forgotten; 75 (EX_TEMPFAIL) keep the message
// and retry later, the reason on standard error; 1 the account is unknown
// (the mail server bounces); 64 (EX_USAGE) the command line is wrong.
//
// The panel's are read by the control panel: 0 done; 1 refused or failed
// (the page still says why); 2 usage error or unknown function.
//
// The web server's by its service manager: 0 stopped; 1 it could not listen
// (or set up libcurl); 2 the command line is wrong.
#pragma once

#include <sysexits.h>

namespace Orvane::SendVetter {

enum ExitStatus : int {
  kExitHandled = EX_OK,
  kExitUnknownAccount = 1,
  kExitTempFail = EX_TEMPFAIL,
  // No random data: retrying later is the mail server's best chance.
  kExitNoRandomData = EX_TEMPFAIL,
  // Started as root and unable to become the mailbox's owner.
  kExitCannotBecomeOwner = EX_TEMPFAIL,
  kExitUsage = EX_USAGE,

  kExitPanelDone = EX_OK,
  kExitPanelFailed = 1,
  kExitPanelUsage = 2,
  kExitWebStopped = EX_OK,
  kExitCannotListen = 1,
  kExitWebUsage = 2,
};

}  // namespace Orvane::SendVetter
