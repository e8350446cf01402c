// The page of form templates: the system forms with Edit and Reset buttons,
// and the account's private copies that Edit makes and Reset removes.
//
// A private copy is made natively and never replaces an existing one: the
// system form is written to a fresh temporary file beside the copy and then
// hard-linked into place, which fails when the copy already exists; so
// earlier edits survive and the filter never reads a half-written form.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/host_paths.h"
#include "Orvane/SendVetter/panel/html.h"
#include "Orvane/SendVetter/panel/panel.h"
#include "Orvane/SendVetter/panel/support.h"
#include "SafeFile/SafeFile.h"

namespace Orvane::SendVetter {

namespace {

bool copy_without_replacing(const std::string& from, const std::string& to) {
  SafeFile::Handle source;
  struct stat st;
  if (!source.open(from, "<") || ::fstat(source.fd(), &st) != 0 || !S_ISREG(st.st_mode))
    return false;
  std::string temp = to.substr(0, to.rfind('/') + 1) + ".copy-XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  SafeFile::Handle target(fd);
  LineReader reader(source.fd());
  std::string chunk;
  bool written = true;
  while (written && reader.read_chunk(chunk, 1 << 16)) written = target.write_all(chunk);
  written = written && ::fsync(target.fd()) == 0;
  written = target.close() && written;
  bool linked = written && ::link(temp.c_str(), to.c_str()) == 0;
  ::unlink(temp.c_str());
  return linked;
}

void print_hidden_fields(const std::string& account, const std::string& form,
                         const std::string& formdir) {
  std::cout << "<input type=hidden name=account value=\"" << account << "\">"
            << "<input type=hidden name=form value=\"" << form << ".txt\">"
            << "<input type=hidden name=emaildir value=\"" << formdir << "\">";
}

}  // namespace

void SendVetter_listmsgs(const std::string& account, const std::string& editfile,
                         const std::string& resetfile) {
  // Without the account's directories the "emaildir" field would name a
  // directory outside any account.
  auto mailbox = panel_account(account, Directories::kExisting);
  if (!mailbox) return;
  const std::string shown_account = html_escape(account);
  const std::string formdir = html_escape(mailbox->forms_dir());
  const std::string edit_target = url_target(editfile);
  const std::string reset_target = url_target(resetfile);
  for (const std::string& name : list_directory(host_paths().formdir)) {
    if (name[0] == '.') continue;
    std::string form = name;
    if (form.ends_with(".txt")) form.resize(form.size() - 4);
    form = html_escape(form);
    std::cout << "<tr>"
              << "<td>" << form << "</td>\n"
              << "<td><form action=" << edit_target << ">";
    print_hidden_fields(shown_account, form, formdir);
    std::cout << "<input type=submit value=Edit></form></td>\n"
              << "<td><form action=" << reset_target << ">";
    print_hidden_fields(shown_account, form, formdir);
    std::cout << "<input type=submit value=\"Reset to default\"></form></td>\n"
              << "</tr>";
  }
}

bool SendVetter_editmsg(const std::string& account, const std::string& form) {
  const std::string name = clean_form_name(form);
  auto mailbox = panel_account(account);
  if (!mailbox || name.empty()) return false;
  ensure_dir(mailbox->settings_dir());
  ensure_dir(mailbox->forms_dir());
  const std::string copy = mailbox->form_copy(name);
  if (!path_exists(copy)) copy_without_replacing(host_paths().formdir + "/" + name, copy);
  return path_exists(copy);
}

bool SendVetter_resetmsg(const std::string& account, const std::string& form) {
  const std::string name = clean_form_name(form);
  auto mailbox = panel_account(account);
  if (!mailbox || name.empty()) return false;
  return ::unlink(mailbox->form_copy(name).c_str()) == 0 || errno == ENOENT;
}

}  // namespace Orvane::SendVetter
