// Orvane::SendVetter — the challenge-response mail filter's module.
//
// Every function the filter program and the control panel call, by name.
// Arguments are positional texts, lists and maps; results are texts, 1/0
// for truth, or lists. Nothing throws: a lookup that finds nothing returns
// an empty text, and failures of files and child programs are empty or false
// results. Only the programs under bin/ end the process; a function that
// would end the run says so in its result.
//
// Every file of a mailbox (email directory E, delivery directory D) is named
// in Orvane/SendVetter/account/mailbox.h.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "SafeFile/SafeFile.h"

namespace Orvane {

// Supplied by the control panel: the logged-in panel user's account and the
// panel's installation directory (sendvetter-panel --user / --root).
extern std::string user;
extern std::string root;

namespace SendVetter {

using Lines = std::vector<std::string>;
using Conf = std::map<std::string, std::string>;

// ---- account lookup --------------------------------------------------------

// (home directory, domain) of an account; both empty when it cannot be resolved.
std::pair<std::string, std::string> SendVetter_getaccountinfo(const std::string& account);
// Owner of a domain from the host's userdomains file, or empty.
std::string SendVetter_getdomainowner(const std::string& domain);
// Home directory of a user from the host's passwd file, links followed, or empty.
std::string SendVetter_gethomedir(const std::string& user);
// (email directory, delivery directory), creating them when missing; both
// empty when either is not a directory afterwards.
std::pair<std::string, std::string> SendVetter_getemaildirs(const std::string& account,
                                                            const std::string& homedir);
// "mail." + domain, or the host's name for an empty domain.
std::string SendVetter_getwebdomain(const std::string& domain);
// 1 when text begins with prefix, ASCII letters compared without case.
int SendVetter_beginmatch(const std::string& text, const std::string& prefix);

// ---- configuration ---------------------------------------------------------

// The mailbox configuration with "froms" and "stale-queue-time" always set.
Conf SendVetter_loadconf(const std::string& emaildir, const std::string& account);
// Rewrites the configuration file with the two values; prints only on failure.
void SendVetter_saveconf(const std::string& account, const std::string& froms,
                         const std::string& staletime);
// 1 when the filter is switched on for the account.
int SendVetter_isenabled(const std::string& account);
// Prints the account's settings directory, creating it first.
void SendVetter_getboxconfdir(const std::string& account);
// Module initialisation: no effect, returns 1.
int SendVetter_init();

// ---- identity and random data ----------------------------------------------

// The mailbox's identity, made on first use. nullopt: no random data could be
// had (the message is already printed; the run ends with status 1).
std::optional<std::string> SendVetter_getourid(const std::string& emaildir);
// length word characters ([A-Za-z0-9_]) from the random device. nullopt: the
// device could not be read (message printed; the run ends with status 1).
std::optional<std::string> SendVetter_getranddata(std::size_t length = 10, int flag = 1);

// ---- header intake and addresses -------------------------------------------

// Reads standard input up to the empty line ending the header block; the body
// stays unread for SendVetter_delivermessage or body_lines().
Lines SendVetter_getheaders();
// Unfolded value of the first header of that name, or empty.
std::string SendVetter_getheader(const std::string& name, const Lines& headers);
// Envelope sender from the "From " line, or empty.
std::string SendVetter_getsender(const Lines& headers);
// Protocol word of a Received value, or empty.
std::string SendVetter_gettransportmethod(const std::string& value);
// First address-like token of a header value, lower-cased, or empty.
std::string SendVetter_extractaddress(const std::string& value);
// A To/Cc value split at commas and semicolons, white space removed.
Lines SendVetter_splitaddresses(const std::string& value);
// SendVetter_extractaddress of each piece, same length and order.
Lines SendVetter_extractaddresses(const Lines& pieces);
// The configured own address that is among the recipients, else the account.
std::string SendVetter_findreturnaddy(const std::string& account, const std::string& froms,
                                      const Lines& recipients);

// ---- sender lists -----------------------------------------------------------

// 1 when a rule of the list ("white", "black", "ignore") matches; logs the rule.
int SendVetter_checklist(const std::string& list, const std::string& emaildir,
                         const std::string& email, const Lines& to, const Lines& cc,
                         const std::string& subject);
// The activity log line for a matching rule.
void SendVetter_logmatch(const std::string& emaildir, const std::string& list,
                         const std::string& keyword, const std::string& pattern, int lineno);
// Appends "from <escaped address>" to the list file.
void SendVetter_addaddytolist(const std::string& list, const std::string& address,
                              const std::string& emaildir);
// 1 when email is the account or one of the comma-separated froms.
int SendVetter_isfromself(const std::string& email, const std::string& account,
                          const std::string& froms);
// 1 when text equals an element of list exactly.
int SendVetter_isinarray(const std::string& text, const Lines& list);

// ---- storage ----------------------------------------------------------------

// The mail-file lock pair: lock file holding our pid, plus flock on the target
// when it could be opened (errno then tells why it could not).
std::string SendVetter_popsafeopen(SafeFile::Handle& handle, const std::string& mode,
                                   const std::string& path);
bool SendVetter_popsafeclose(SafeFile::Handle& handle, const std::string& lockname);
// Appends one message (headers, empty line, body) to a mail file under its
// lock. The body is the rest of standard input unless body lines are given.
// true only when the whole message is on stable storage; on false the file is
// as it was before.
bool SendVetter_delivermessage(const std::string& path, const Lines& headers,
                               const Lines* body = nullptr);
// A fresh queue file name (id + ".msg"); nullopt when none could be drawn.
std::optional<std::string> SendVetter_getqueueid(const std::string& emaildir);
// Appends the queue id to the sender's verifications record (durably).
bool SendVetter_queuemessage(const std::string& emaildir, const std::string& email,
                             const std::string& queuefile);
// Deletes queue files, verifications records and log files older than the
// configured age.
void SendVetter_checkdeadq(const std::string& emaildir, const Conf& conf);

// ---- challenge messages -------------------------------------------------------

// Mails a form ("verify", "blacklist", "returnverify") through sendmail -t.
void SendVetter_sendformmessage(const std::string& form, const std::string& emaildir,
                                const std::string& email, const std::string& subject,
                                const std::string& queuefile, const Lines& headers,
                                const std::string& webdomain, const std::string& account,
                                const std::string& id, const std::string& returnaddy);
// Counts the sender's burst; false when the sender was challenged too often
// and the run must end (status 0) without holding or answering the message.
bool SendVetter_loopprotect(const std::string& email, const std::string& emaildir);

// ---- activity log ---------------------------------------------------------------

// Appends one line to the mailbox's log of the day.
void SendVetter_clog(int level, const std::string& emaildir, const std::string& text);
// month, day, year, hour, minute, second of a time, in local time.
Lines SendVetter_nicedate(long long time);
// Prints month-day-year of a time (empty: now), no line end.
void SendVetter_logdate(const std::string& time);

// ---- management functions (print HTML fragments to standard output) ---------------
// Those that open the account's mailbox print the account-check message (the
// account HTML-escaped) instead when its directories are not found.

// Prints "enabled" or "disabled": the account's filter state (an account that
// cannot be resolved is "disabled").
void SendVetter_status(const std::string& account);
// Prints the submit button that switches the filter state the other way.
void SendVetter_statusbutton(const std::string& account);
// Creates the enable flag when action holds "enable" (any case), else removes
// it; prints the new state word.
void SendVetter_changestatus(const std::string& account, const std::string& action);
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
// printing one sentence per action and any delivery failure.
void SendVetter_messageaction(const std::string& account, const std::string& logdate,
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
// Makes the account's private copy of a system form unless one exists.
void SendVetter_editmsg(const std::string& account, const std::string& form);
// Removes the account's private copy of a form.
void SendVetter_resetmsg(const std::string& account, const std::string& form);

}  // namespace SendVetter
}  // namespace Orvane
