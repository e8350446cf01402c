// The text of one form for an edit page, and saving an edited text as the
// account's private copy. Only the system forms the form list offers can be
// read or saved, so a request names no other file.
#include <iostream>
#include <optional>

#include "Orvane/SendVetter/base/files.h"
#include "Orvane/SendVetter/base/host_paths.h"
#include "Orvane/SendVetter/panel/html.h"
#include "Orvane/SendVetter/panel/panel.h"
#include "Orvane/SendVetter/panel/support.h"

namespace Orvane::SendVetter {

namespace {

// The cleaned name when it names a file the form list offers (a regular file
// of the system form directory, not beginning with "."); nullopt otherwise.
std::optional<std::string> system_form(const std::string& form) {
  const std::string name = clean_form_name(form);
  if (name.empty() || name[0] == '.' || !is_regular_file(host_paths().formdir + "/" + name))
    return std::nullopt;
  return name;
}

}  // namespace

void SendVetter_showmsgtext(const std::string& account, const std::string& form) {
  const auto name = system_form(form);
  const auto mailbox = name ? panel_account(account, Directories::kExisting) : std::nullopt;
  if (!mailbox) return;
  const std::string copy = mailbox->form_copy(*name);
  const std::string text =
      read_file(path_exists(copy) ? copy : host_paths().formdir + "/" + *name);
  // The line feed after the tag is dropped by the browser, so a text that
  // starts with an empty line keeps it.
  std::cout << "<textarea name=text rows=18 spellcheck=false>\n" << html_escape(text)
            << "</textarea>";
}

bool SendVetter_savemsgtext(const std::string& account, const std::string& form,
                            const std::string& text) {
  const auto name = system_form(form);
  if (!name) {
    std::cout << "Unknown form.";
    return false;
  }
  const auto mailbox = panel_account(account);
  if (!mailbox) return false;
  ensure_dir(mailbox->settings_dir());
  ensure_dir(mailbox->forms_dir());
  if (replace_file(mailbox->form_copy(*name), text)) return true;
  std::cout << "The text could not be saved.";
  return false;
}

}  // namespace Orvane::SendVetter
