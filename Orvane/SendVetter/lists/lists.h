// The sender lists: rule matching and list maintenance.
// One part of the module header Orvane/SendVetter.h, whose opening comment
// states the rules every function keeps.
#pragma once

#include <string>

#include "Orvane/SendVetter/types.h"

namespace Orvane::SendVetter {

// ---- sender lists -----------------------------------------------------------

// 1 when a rule of the list ("white", "black", "ignore") matches; logs the rule.
int SendVetter_checklist(const std::string& list, const std::string& emaildir,
                         const std::string& email, const PackedLines& to,
                         const PackedLines& cc, const std::string& subject);
// The activity log line for a matching rule.
void SendVetter_logmatch(const std::string& emaildir, const std::string& list,
                         const std::string& keyword, const std::string& pattern, int lineno);
// Appends "from <escaped address>" to the list file, after a line feed when
// its last line lacks one. false when the rule could not be written.
bool SendVetter_addaddytolist(const std::string& list, const std::string& address,
                              const std::string& emaildir);
// Removes every line of the list file that is exactly rule (without its
// "\n"), replacing the file all at once; 1 when a line was removed, 0 when
// none matched or the file could not be replaced.
int SendVetter_removerule(const std::string& list, const std::string& rule,
                          const std::string& emaildir);
// 1 when list is the name of a sender list: "white", "black" or "ignore".
int SendVetter_islistname(const std::string& list);
// 1 when email is the account or one of the comma-separated froms.
int SendVetter_isfromself(const std::string& email, const std::string& account,
                          const std::string& froms);
// 1 when text equals an element of list exactly.
int SendVetter_isinarray(const std::string& text, const Lines& list);

}  // namespace Orvane::SendVetter
