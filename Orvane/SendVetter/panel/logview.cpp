// The log page (one day of the activity log, and links to the neighbouring
// days) and the own-addresses setting shown on the settings page.
#include <cstdlib>
#include <ctime>
#include <iostream>

#include "Orvane/SendVetter/account/account.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/log/log.h"
#include "Orvane/SendVetter/panel/html.h"
#include "Orvane/SendVetter/panel/panel.h"
#include "Orvane/SendVetter/panel/support.h"
#include "Orvane/SendVetter/types.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

namespace {

constexpr long long kDay = 86400;

long long day_time(const std::string& logdate) {
  return logdate.empty() ? static_cast<long long>(std::time(nullptr)) : leading_integer(logdate);
}

std::string date_text(long long time) {
  Lines date = SendVetter_nicedate(time);
  return date[0] + "-" + date[1] + "-" + date[2];
}

}  // namespace

void SendVetter_showlog(const std::string& logdate, const std::string& account) {
  const std::string day = date_text(day_time(logdate));
  auto mailbox = panel_account(account, Directories::kExisting);
  if (!mailbox) return;
  SafeFile::Handle file;
  if (!file.open(mailbox->log_file(day), "<")) return;
  LineReader reader(file.fd());
  std::string line;
  while (reader.getline(line)) std::cout << SendVetter_cleanfield(line);
}

void SendVetter_logcontrols(const std::string& logdate, const std::string& account,
                            const std::string& bxaction) {
  const long long now = day_time(logdate);
  const char* script = std::getenv("SCRIPT_URI");
  std::string page = script ? script : "";
  // Web servers set SCRIPT_URI to the whole URL; the link takes its path,
  // else it would read "/https://...".
  if (const std::size_t scheme = page.find("://"); scheme != std::string::npos) {
    const std::size_t path = page.find('/', scheme + 3);
    page = path == std::string::npos ? std::string() : page.substr(path + 1);
  }
  const std::string link_start = "<a href=\"/" + url_escape(page) +
                                 "?bxaction=" + url_escape(bxaction) +
                                 "&account=" + url_escape(account) + "&logdate=";
  const long long previous = now - kDay, next = now + kDay;
  std::cout << "<td align=left>" << link_start << previous << "\">&lt;&lt; " << date_text(previous)
            << "</a>"
            << "</td><td align=center>" << date_text(now) << "</td><td align=right>" << link_start
            << next << "\">" << date_text(next) << " &gt;&gt;</a>"
            << "</td>";
}

void SendVetter_showemails(const std::string& account) {
  auto mailbox = panel_account(account, Directories::kExisting);
  if (!mailbox) return;
  // The setting was typed into a panel form; it must not add markup.
  std::cout << html_escape(SendVetter_loadconf(mailbox->emaildir, account)["froms"]);
}

}  // namespace Orvane::SendVetter
