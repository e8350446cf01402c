// The held-mail pages: the day view and the search of an account's queue,
// the queue expiry setting, and the small helpers they share with the other
// management functions (cleanfield, extractfrom, extractbody).
//
// Listing reads the queue without locks and changes nothing. The day view
// stats every queue file but opens only those of the requested day; the
// search keeps at most one message body in memory at a time, and a body
// search reads each file once, taking the header of a match from the same
// read.
#include <algorithm>
#include <ctime>
#include <iostream>
#include <string_view>
#include <sys/stat.h>

#include "Orvane/SendVetter/account/account.h"
#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/regex.h"
#include "Orvane/SendVetter/base/text.h"
#include "Orvane/SendVetter/log/log.h"
#include "Orvane/SendVetter/message/header_block.h"
#include "Orvane/SendVetter/message/message.h"
#include "Orvane/SendVetter/panel/html.h"
#include "Orvane/SendVetter/panel/panel.h"
#include "Orvane/SendVetter/panel/support.h"
#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

namespace {

struct QueueEntry {
  long long time = 0;
  std::string queuefile;
  std::string email;
  std::string subject;
  std::string nicetime;
};

QueueEntry make_entry(const std::string& name, long long mtime, const Lines& header) {
  QueueEntry entry;
  entry.time = mtime;
  entry.queuefile = name;
  entry.email = listed_sender(header);
  entry.subject = SendVetter_cleanfield(SendVetter_getheader("subject", header));
  Lines date = SendVetter_nicedate(mtime);
  entry.nicetime = date[0] + "/" + date[1] + " " + date[3] + ":" + date[4] + ":" + date[5];
  return entry;
}

struct QueueFile {
  std::string name, path;
  long long mtime;
};

// The queue's regular files; anything else (a FIFO, a device) is no held
// message and reading it could block the page for ever.
std::vector<QueueFile> queue_files(const Mailbox& mailbox) {
  std::vector<QueueFile> files;
  for (std::string& name : list_directory(mailbox.queue_dir())) {
    if (name[0] == '.') continue;
    std::string path = mailbox.queue_file(name);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    files.push_back({std::move(name), std::move(path), static_cast<long long>(st.st_mtime)});
  }
  return files;
}

// Oldest first; equal times by name, so a page lists the same way each time.
void sort_entries(std::vector<QueueEntry>& entries) {
  std::sort(entries.begin(), entries.end(), [](const QueueEntry& a, const QueueEntry& b) {
    return a.time != b.time ? a.time < b.time : a.queuefile < b.queuefile;
  });
}

// query_start: the part of each link's query before "&q=" (already escaped).
void print_rows(const std::vector<QueueEntry>& entries, const std::string& deletepage,
                const std::string& showfile, const std::string& query_start,
                const std::string& bxaction) {
  const std::string delete_target = url_target(deletepage);
  const std::string view_target = url_target(showfile);
  const std::string view_tail = "&bxaction=" + url_escape(bxaction) + "\">";
  for (const QueueEntry& entry : entries) {
    const std::string query = query_start + "&q=" + url_escape(entry.queuefile);
    std::cout << "<tr>"
              << "<td><a href=\"" << delete_target << query
              << "&bxaction=msgaction&action=delete\">Delete</a></td>";
    for (const std::string* value : {&entry.email, &entry.subject, &entry.nicetime})
      std::cout << "<td><a href=\"" << view_target << query << view_tail << *value << "</a></td>";
    std::cout << "</tr>";
  }
}

void print_no_results() {
  std::cout << "<tr><td>No Search Results</td>\n<td>NA</td><td>NA</td><td>NA</td>\n</tr>\n";
}

bool only_white_space(std::string_view line) {
  return line.find_first_not_of(" \t\n\r\f\v") == std::string_view::npos;
}

// The next line of text from start, with its "\n" (the last may lack one).
std::string_view next_line(std::string_view text, std::size_t start) {
  const std::size_t nl = text.find('\n', start);
  return text.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl + 1 - start);
}

// The header lines of a stored message's content, as read_queue_header
// reads them from its file.
Lines header_of(std::string_view content) {
  Lines header;
  for (std::size_t start = 0; start < content.size();) {
    const std::string_view line = next_line(content, start);
    if (is_header_end(line)) break;
    header.emplace_back(line);
    start += line.size();
  }
  return header;
}

// What SendVetter_extractbody returns for a file with this content: what
// follows the first line of only white space; empty without such a line.
std::string_view body_of(std::string_view content) {
  for (std::size_t start = 0; start < content.size();) {
    const std::string_view line = next_line(content, start);
    start += line.size();
    if (only_white_space(line)) return content.substr(start);
  }
  return {};
}

}  // namespace

void SendVetter_showqueue(const std::string& logdate_arg, const std::string& account,
                          const std::string& showfile, const std::string& bxaction) {
  const std::string logdate = logdate_arg.empty()
                                  ? std::to_string(static_cast<long long>(std::time(nullptr)))
                                  : logdate_arg;
  const Lines day = SendVetter_nicedate(leading_integer(logdate));
  auto mailbox = panel_account(account, Directories::kExisting);
  if (!mailbox) return;
  std::vector<QueueEntry> entries;
  for (const QueueFile& file : queue_files(*mailbox)) {
    const Lines date = SendVetter_nicedate(file.mtime);
    if (date[0] != day[0] || date[1] != day[1] || date[2] != day[2]) continue;
    entries.push_back(make_entry(file.name, file.mtime, read_queue_header(file.path)));
  }
  if (entries.empty()) return;
  sort_entries(entries);
  const std::string deletepage = showfile == "showmsg.html" ? "msgaction.html" : showfile;
  print_rows(entries, deletepage, showfile,
             "?t=" + url_escape(logdate) + "&account=" + url_escape(account), bxaction);
}

void SendVetter_showqueuesearch(const std::string& field, const std::string& string,
                                const std::string& account, const std::string& showfile,
                                const std::string& bxaction) {
  if (string.empty()) {
    print_no_results();
    return;
  }
  auto mailbox = panel_account(account, Directories::kExisting);
  if (!mailbox) return;
  const bool body = field == "body";
  if (!body && field != "sender" && field != "subject") {
    print_no_results();
    return;
  }
  // The user's own pattern: one that does not compile gives no results. A
  // message on which it hits the match limits (its text is a stranger's) is
  // only not matched, so no message can blank the search for the others.
  const Regex pattern(string, Regex::kCaseless | (body ? Regex::kMultiline : Regex::kNone));
  if (!pattern.valid()) {
    print_no_results();
    return;
  }
  std::vector<QueueEntry> entries;
  for (const QueueFile& file : queue_files(*mailbox)) {
    if (body) {
      // One read of the file serves the body and, for a match, the header.
      const std::string content = read_file(file.path);
      if (pattern.search(body_of(content)))
        entries.push_back(make_entry(file.name, file.mtime, header_of(content)));
      continue;
    }
    QueueEntry entry = make_entry(file.name, file.mtime, read_queue_header(file.path));
    if (pattern.search(field == "sender" ? entry.email : entry.subject))
      entries.push_back(std::move(entry));
  }
  if (entries.empty()) {
    print_no_results();
    return;
  }
  sort_entries(entries);
  print_rows(entries, showfile, showfile, "?account=" + url_escape(account), bxaction);
}

void SendVetter_showqueuetime(const std::string& account) {
  auto mailbox = panel_account(account, Directories::kExisting);
  if (!mailbox) return;
  // The setting was typed into a panel form; it must not add markup.
  std::cout << html_escape(SendVetter_loadconf(mailbox->emaildir, account)["stale-queue-time"]);
}

std::string SendVetter_cleanfield(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '"')
      out += "&quot;";
    else
      out.push_back(c);
  }
  return out;
}

std::string SendVetter_extractfrom(const std::string& value) {
  static const Regex quoted("\"([^\"]+)\"");
  std::vector<std::string> captures;
  if (quoted.search(value, captures)) return captures[1];
  return SendVetter_extractaddress(value);
}

std::string SendVetter_extractbody(const std::string& path) {
  return std::string(body_of(read_file(path)));
}

}  // namespace Orvane::SendVetter
