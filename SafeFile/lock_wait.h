// The lock-file waiting rules shared by both lock pairs.
#pragma once

#include <string>
#include <string_view>

#include "SafeFile/SafeFile.h"

namespace SafeFile {

// Modification time of the lock file in seconds; 0 when it is absent.
long long lock_mtime(const std::string& lockname);
bool lock_exists(const std::string& lockname);
// Waits while the lock file exists, polling once a second, and stops when
// unchanged_limit successive polls saw the same modification time (stale).
void wait_while_lock_unchanged(const std::string& lockname, int unchanged_limit);
// Creates or truncates the lock file with content (mode 0600).
bool write_lock_file(const std::string& lockname, std::string_view content);
// flock(LOCK_EX) on the handle; the warning line on standard error if it
// fails. true when the lock is held.
bool lock_target(Handle& handle, const std::string& path);

}  // namespace SafeFile
