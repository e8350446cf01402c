// The management functions the control panel calls by name; they print HTML
// fragments to standard output.
// One part of the module header Orvane/SendVetter.h, whose opening comment
// states the rules every function keeps.
#pragma once

#include <string>

#include "Orvane/SendVetter/types.h"

namespace Orvane {

// Supplied by the control panel: the logged-in panel user's account and the
// panel's installation directory (sendvetter-panel --user / --root).
extern std::string user;
extern std::string root;

}  // namespace Orvane

namespace Orvane::SendVetter {

// ---- management functions (print HTML fragments to standard output) ---------------
// Those that open the account's mailbox print the account-check message (the
// account HTML-escaped) instead when its directories are not found.

// Prints "enabled" or "disabled": the account's filter state (an account that
// cannot be resolved is "disabled").
void SendVetter_status(const std::string& account);
// Prints the submit button that switches the filter state the other way.
void SendVetter_statusbutton(const std::string& account);
// Creates the enable flag for action "Enable", removes it for "Disable";
// prints the new state word. Any other value is refused and changes nothing.
// false when refused or failed.
bool SendVetter_changestatus(const std::string& account, const std::string& action);
// One table row per account the panel user manages (the user first): name,
// state and a "Manage" link to link.
void SendVetter_accountmanagelist(const std::string& link);
// The panel user's address accounts, from the panel's handoff program.
Lines SendVetter_listpops();

// Table rows of the messages held on the local day of logdate (empty: today),
// sorted, each linking to showfile; nothing when none was held that day.
void SendVetter_showqueue(const std::string& logdate, const std::string& account,
                          const std::string& showfile, const std::string& bxaction);
// Table rows of the held messages whose field ("sender", "subject", "body")
// matches the pattern string, without case; a "No Search Results" row when
// none does, the pattern is empty or invalid, or the field is unknown.
void SendVetter_showqueuesearch(const std::string& field, const std::string& string,
                                const std::string& account, const std::string& showfile,
                                const std::string& bxaction);
// Prints the "stale-queue-time" setting, HTML-escaped.
void SendVetter_showqueuetime(const std::string& account);
// value with < > and " as entities: text from mail and logs made safe for a page.
std::string SendVetter_cleanfield(const std::string& value);
// The quoted display name of a From value, else its address.
std::string SendVetter_extractfrom(const std::string& value);
// What follows the first line of only white space in a file; empty without one.
std::string SendVetter_extractbody(const std::string& path);

// Prints the first 200 lines of a held message, each cleaned.
void SendVetter_showmessage(const std::string& account, const std::string& logdate,
                            const std::string& queuefile);
// Applies the comma-separated actions ("whitelist", "blacklist", "ignorelist",
// "deliver", "deliverall", "delete") to a held message's sender or file,
// printing one sentence per action and any delivery failure. A missing queue
// file or an unknown action refuses the whole request. false when refused or
// failed.
bool SendVetter_messageaction(const std::string& account, const std::string& logdate,
                              const std::string& queuefile, const std::string& actions);

// Prints one day of the activity log (the local day of logdate), cleaned.
void SendVetter_showlog(const std::string& logdate, const std::string& account);
// Three table cells: a link to the day before, the day, a link to the day after.
void SendVetter_logcontrols(const std::string& logdate, const std::string& account,
                            const std::string& bxaction);
// Prints the "froms" setting, HTML-escaped.
void SendVetter_showemails(const std::string& account);
// One table row per system form with its Edit and Reset buttons, posting to
// editfile and resetfile.
void SendVetter_listmsgs(const std::string& account, const std::string& editfile,
                         const std::string& resetfile);
// Makes the account's private copy of a system form unless one exists; false
// when there is none afterwards.
bool SendVetter_editmsg(const std::string& account, const std::string& form);
// Removes the account's private copy of a form; false when it stays.
bool SendVetter_resetmsg(const std::string& account, const std::string& form);
// Prints a textarea named "text" holding the form's text, HTML-escaped: the
// account's private copy, else the system form. Nothing when the form is not
// one of the system forms.
void SendVetter_showmsgtext(const std::string& account, const std::string& form);
// Makes text the account's private copy of a system form, replacing any
// earlier copy all at once; prints why and returns false when it could not.
bool SendVetter_savemsgtext(const std::string& account, const std::string& form,
                            const std::string& text);

// Sender lists ("white", "black", "ignore"; any other name prints "Unknown
// list." and touches nothing).
// One table row per non-empty line of the list file: the line, and a Remove
// button (name "rule", the line as value), both HTML-escaped, for a form the
// caller wraps around the rows.
void SendVetter_showlist(const std::string& account, const std::string& list);
// Appends a "from" rule for the address (SendVetter_addaddytolist); prints
// why and returns false when the address is only white space or the rule was
// not written.
bool SendVetter_listadd(const std::string& account, const std::string& list,
                        const std::string& address);
// Removes every line that is exactly rule; prints why and returns false when
// none was removed.
bool SendVetter_listremove(const std::string& account, const std::string& list,
                           const std::string& rule);

}  // namespace Orvane::SendVetter
