// Named steps at which a test build can stop the process with SIGKILL, so
// that the kill test reaches windows too narrow to hit with a random delay:
// SENDVETTER_KILL_AT=<step> kills the process when it reaches that step.
// Only the relocatable test build has the hook; in an installed build the
// macro expands to nothing and no environment variable is read.
#pragma once

#ifdef SENDVETTER_SANDBOX_HOST_PATHS
namespace Orvane::SendVetter {
void kill_point(const char* step);
}  // namespace Orvane::SendVetter
#define SENDVETTER_KILL_POINT(step) ::Orvane::SendVetter::kill_point(step)
#else
#define SENDVETTER_KILL_POINT(step) ((void)0)
#endif
