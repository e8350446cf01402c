// Stale-queue expiry: queue files, verifications records and log files whose
// last modification is older than stale-queue-time days are deleted, each
// deletion logged. Strict: a file exactly at the age stays.
#include <ctime>
#include <unistd.h>

#include "Orvane/SendVetter.h"
#include "Orvane/SendVetter/files.h"
#include "Orvane/SendVetter/text.h"

namespace Orvane::SendVetter {

void SendVetter_checkdeadq(const std::string& emaildir, const Conf& conf) {
  const double now = static_cast<double>(std::time(nullptr));
  auto found = conf.find("stale-queue-time");
  const double age = (found == conf.end() ? 0.0 : leading_decimal(found->second)) * 86400;
  char age_text[64];
  std::snprintf(age_text, sizeof age_text, "%.15g", age);
  for (const char* dir : {"sendvetter/queue", "sendvetter/verifications", "sendvetter/log"}) {
    const std::string dirpath = emaildir + "/" + dir;
    for (const std::string& name : list_directory(dirpath)) {
      const std::string path = dirpath + "/" + name;
      if (!is_regular_file(path)) continue;
      if (static_cast<double>(modification_time(path)) + age < now) {
        ::unlink(path.c_str());
        SendVetter_clog(2, emaildir,
                        "Unlinking " + path + " because its older then " + age_text + " seconds");
      }
    }
  }
}

}  // namespace Orvane::SendVetter
