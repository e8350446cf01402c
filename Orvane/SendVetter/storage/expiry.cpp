// Stale-queue expiry: queue files, verifications records and log files whose
// last modification is older than stale-queue-time days are deleted, each
// deletion logged. Strict: a file exactly at the age stays. A negative age
// counts as 0, so a file modified in the current second always stays.
//
// It runs at the end of every filter run over queues of thousands of files,
// so each directory is read once and each entry costs one stat relative to
// the open directory; the path text is built only for a file that goes.
#include <algorithm>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/log/log.h"
#include "Orvane/SendVetter/storage/storage.h"
#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

void SendVetter_checkdeadq(const std::string& emaildir, const Conf& conf) {
  const double now = static_cast<double>(std::time(nullptr));
  auto found = conf.find("stale-queue-time");
  // A negative age would expire even a message held in this very second.
  const double age =
      std::max(0.0, found == conf.end() ? 0.0 : leading_decimal(found->second)) * 86400;
  char age_text[64];
  std::snprintf(age_text, sizeof age_text, "%.15g", age);
  const Mailbox mailbox = Mailbox::at(emaildir);
  for (const std::string& dirpath : {mailbox.queue_dir(), mailbox.verifications_dir(), mailbox.log_dir()}) {
    DIR* listing = ::opendir(dirpath.c_str());
    if (!listing) continue;
    const int dirfd = ::dirfd(listing);
    while (const struct dirent* entry = ::readdir(listing)) {
      const char* name = entry->d_name;
      // Only a regular file (links followed) expires; a directory entry
      // the listing names as a directory cannot be one, so it needs no stat.
      if (entry->d_type == DT_DIR) continue;
      struct stat st;
      if (::fstatat(dirfd, name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
      if (static_cast<double>(st.st_mtime) + age < now) {
        ::unlinkat(dirfd, name, 0);
        SendVetter_clog(2, emaildir,
                        "Unlinking " + dirpath + "/" + name + " because its older then " +
                            age_text + " seconds");
      }
    }
    ::closedir(listing);
  }
}

}  // namespace Orvane::SendVetter
