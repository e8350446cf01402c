// The mailbox configuration file (Mailbox::conf_file), the system
// configuration file of the same format (host_paths().sysconf), and the
// enable flag (Mailbox::enable_flag).
//
// Format: one "name=value" line per key, split at the first "="; nothing is
// trimmed and the last line for a key wins. Keys read: "froms" (default: the
// account) and "stale-queue-time" (default: 15 days). The writer keeps only
// those two and replaces the file by rename, so a concurrent reader sees the
// old file or the new one, never a partial one. It refuses a queue time that
// is not a number of days, since the expiry reads such a value as 0 and
// would empty the whole queue; it prints why whenever nothing was saved.
#include <iostream>

#include "Orvane/SendVetter/account/account.h"
#include "Orvane/SendVetter/account/config.h"
#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/host_paths.h"
#include "Orvane/SendVetter/base/regex.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/panel/support.h"
#include "Orvane/SendVetter/types.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

Conf read_conf_file(const std::string& path) {
  Conf conf;
  SafeFile::Handle file;
  if (file.open(path, "<")) {
    LineReader reader(file.fd());
    std::string line;
    while (reader.getline(line)) {
      line = chomp(line);
      std::size_t eq = line.find('=');
      std::string name = line.substr(0, eq);
      if (name.empty()) continue;
      conf[name] = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    }
  }
  return conf;
}

Conf load_system_conf() { return read_conf_file(host_paths().sysconf); }

Conf SendVetter_loadconf(const std::string& emaildir, const std::string& account) {
  Conf conf = read_conf_file(Mailbox::at(emaildir).conf_file());
  if (conf["stale-queue-time"].empty()) conf["stale-queue-time"] = "15";
  if (conf["froms"].empty()) conf["froms"] = account;
  return conf;
}

bool SendVetter_saveconf(const std::string& account, const std::string& froms,
                         const std::string& staletime) {
  auto mailbox = panel_account(account);
  if (!mailbox) return false;
  // A line end in a value would smuggle in a second setting.
  if (froms.find_first_of("\r\n") != std::string::npos ||
      staletime.find_first_of("\r\n") != std::string::npos) {
    std::cout << "Settings not saved: a value may not contain a line break.";
    return false;
  }
  // Empty stays allowed: it reads as the default.
  static const Regex days("^(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)?$");
  if (!days.search(staletime)) {
    std::cout << "Settings not saved: the queue time must be a number of days, 0 or more.";
    return false;
  }
  if (replace_file(mailbox->conf_file(),
                   "froms=" + froms + "\n" + "stale-queue-time=" + staletime + "\n"))
    return true;
  std::cout << "Settings not saved: the settings file could not be written.";
  return false;
}

int SendVetter_isenabled(const std::string& account) {
  MailboxProblem problem;
  const Mailbox mailbox = resolve_mailbox(account, problem, Directories::kExisting);
  return problem == MailboxProblem::kNone && path_exists(mailbox.enable_flag()) ? 1 : 0;
}

void SendVetter_getboxconfdir(const std::string& account) {
  auto mailbox = panel_account(account);
  if (!mailbox) return;
  ensure_dir(mailbox->settings_dir());
  std::cout << mailbox->settings_dir();
}

int SendVetter_init() { return 1; }

}  // namespace Orvane::SendVetter
