// The activity log: Mailbox::log_file, "MM-DD-YYYY.log", one
// file per local day, one line per event, the caller's text as it is. Lines
// are appended without a lock: each is one write to a file opened for append.
#include <ctime>
#include <iostream>
#include <sys/uio.h>

#include "Orvane/SendVetter/account/mailbox.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/log/log.h"
#include "Orvane/SendVetter/types.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

namespace {

std::string two_digits(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d", value);
  return text;
}

}  // namespace

Lines SendVetter_nicedate(long long time) {
  std::time_t t = static_cast<std::time_t>(time);
  std::tm local{};
  ::localtime_r(&t, &local);
  return {two_digits(local.tm_mon + 1), two_digits(local.tm_mday),
          std::to_string(local.tm_year + 1900), two_digits(local.tm_hour),
          two_digits(local.tm_min), two_digits(local.tm_sec)};
}

void SendVetter_logdate(const std::string& time) {
  long long when = time.empty() ? static_cast<long long>(std::time(nullptr)) : leading_integer(time);
  Lines date = SendVetter_nicedate(when);
  std::cout << date[0] << "-" << date[1] << "-" << date[2];
}

void SendVetter_clog(int /*level*/, const std::string& emaildir, const std::string& text) {
  Lines date = SendVetter_nicedate(static_cast<long long>(std::time(nullptr)));
  const Mailbox mailbox = Mailbox::at(emaildir);
  ensure_dir(mailbox.state_dir());
  ensure_dir(mailbox.log_dir());
  SafeFile::Handle file;
  if (!file.open(mailbox.log_file(date[0] + "-" + date[1] + "-" + date[2]), ">>")) return;
  // One write for the line and its end (concurrent runs append whole
  // lines) without copying a line that may carry a huge subject.
  struct iovec parts[] = {{const_cast<char*>(text.data()), text.size()}, {const_cast<char*>("\n"), 1}};
  ::writev(file.fd(), parts, 2);
}

}  // namespace Orvane::SendVetter
