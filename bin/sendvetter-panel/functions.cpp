// Every management function under its full name. Functions that print are
// called as they are; functions that return a value have it printed here.
#include "bin/sendvetter-panel/functions.h"

#include <iostream>

#include "Orvane/SendVetter/base/text.h"

namespace Orvane::SendVetter {

namespace {

void print(const std::string& text) { std::cout << text; }
void print(int value) { std::cout << value; }
void print(const Lines& lines) {
  for (const std::string& line : lines) std::cout << line << "\n";
}

}  // namespace

const std::map<std::string, PanelFunction>& panel_functions() {
  static const std::map<std::string, PanelFunction> table = {
      // configuration entry points
      {"SendVetter_saveconf", [](const PanelArgs& a) { return SendVetter_saveconf(a[0], a[1], a[2]); }},
      {"SendVetter_getboxconfdir", [](const PanelArgs& a) { SendVetter_getboxconfdir(a[0]); return true; }},
      {"SendVetter_isenabled", [](const PanelArgs& a) { print(SendVetter_isenabled(a[0])); return true; }},
      {"SendVetter_init", [](const PanelArgs&) { print(SendVetter_init()); return true; }},
      {"SendVetter_logdate", [](const PanelArgs& a) { SendVetter_logdate(a[0]); return true; }},
      {"SendVetter_nicedate",
       [](const PanelArgs& a) { print(SendVetter_nicedate(leading_integer(a[0]))); return true; }},
      // account lookup and message parsing helpers
      {"SendVetter_getdomainowner",
       [](const PanelArgs& a) { print(SendVetter_getdomainowner(a[0])); return true; }},
      {"SendVetter_gethomedir", [](const PanelArgs& a) { print(SendVetter_gethomedir(a[0])); return true; }},
      {"SendVetter_getwebdomain", [](const PanelArgs& a) { print(SendVetter_getwebdomain(a[0])); return true; }},
      {"SendVetter_beginmatch",
       [](const PanelArgs& a) { print(SendVetter_beginmatch(a[0], a[1])); return true; }},
      {"SendVetter_extractaddress",
       [](const PanelArgs& a) { print(SendVetter_extractaddress(a[0])); return true; }},
      {"SendVetter_splitaddresses",
       [](const PanelArgs& a) { print(SendVetter_splitaddresses(a[0])); return true; }},
      {"SendVetter_gettransportmethod",
       [](const PanelArgs& a) { print(SendVetter_gettransportmethod(a[0])); return true; }},
      {"SendVetter_isfromself",
       [](const PanelArgs& a) { print(SendVetter_isfromself(a[0], a[1], a[2])); return true; }},
      // status and account list
      {"SendVetter_status", [](const PanelArgs& a) { SendVetter_status(a[0]); return true; }},
      {"SendVetter_statusbutton", [](const PanelArgs& a) { SendVetter_statusbutton(a[0]); return true; }},
      {"SendVetter_changestatus", [](const PanelArgs& a) { return SendVetter_changestatus(a[0], a[1]); }},
      {"SendVetter_accountmanagelist",
       [](const PanelArgs& a) { SendVetter_accountmanagelist(a[0]); return true; }},
      {"SendVetter_listpops", [](const PanelArgs&) { print(SendVetter_listpops()); return true; }},
      // queue listing and search
      {"SendVetter_showqueue",
       [](const PanelArgs& a) { SendVetter_showqueue(a[0], a[1], a[2], a[3]); return true; }},
      {"SendVetter_showqueuesearch",
       [](const PanelArgs& a) { SendVetter_showqueuesearch(a[0], a[1], a[2], a[3], a[4]); return true; }},
      {"SendVetter_showqueuetime", [](const PanelArgs& a) { SendVetter_showqueuetime(a[0]); return true; }},
      {"SendVetter_cleanfield", [](const PanelArgs& a) { print(SendVetter_cleanfield(a[0])); return true; }},
      {"SendVetter_extractfrom", [](const PanelArgs& a) { print(SendVetter_extractfrom(a[0])); return true; }},
      {"SendVetter_extractbody", [](const PanelArgs& a) { print(SendVetter_extractbody(a[0])); return true; }},
      // message view and actions
      {"SendVetter_showmessage",
       [](const PanelArgs& a) { SendVetter_showmessage(a[0], a[1], a[2]); return true; }},
      {"SendVetter_messageaction",
       [](const PanelArgs& a) { return SendVetter_messageaction(a[0], a[1], a[2], a[3]); }},
      // log view, settings display and form editing
      {"SendVetter_showlog", [](const PanelArgs& a) { SendVetter_showlog(a[0], a[1]); return true; }},
      {"SendVetter_logcontrols",
       [](const PanelArgs& a) { SendVetter_logcontrols(a[0], a[1], a[2]); return true; }},
      {"SendVetter_showemails", [](const PanelArgs& a) { SendVetter_showemails(a[0]); return true; }},
      {"SendVetter_listmsgs", [](const PanelArgs& a) { SendVetter_listmsgs(a[0], a[1], a[2]); return true; }},
      {"SendVetter_editmsg", [](const PanelArgs& a) { return SendVetter_editmsg(a[0], a[1]); }},
      {"SendVetter_resetmsg", [](const PanelArgs& a) { return SendVetter_resetmsg(a[0], a[1]); }},
      {"SendVetter_showmsgtext", [](const PanelArgs& a) { SendVetter_showmsgtext(a[0], a[1]); return true; }},
      {"SendVetter_savemsgtext",
       [](const PanelArgs& a) { return SendVetter_savemsgtext(a[0], a[1], a[2]); }},
      // sender lists
      {"SendVetter_showlist", [](const PanelArgs& a) { SendVetter_showlist(a[0], a[1]); return true; }},
      {"SendVetter_listadd", [](const PanelArgs& a) { return SendVetter_listadd(a[0], a[1], a[2]); }},
      {"SendVetter_listremove",
       [](const PanelArgs& a) { return SendVetter_listremove(a[0], a[1], a[2]); }},
      {"SendVetter_removerule",
       [](const PanelArgs& a) { print(SendVetter_removerule(a[0], a[1], a[2])); return true; }},
      {"SendVetter_islistname", [](const PanelArgs& a) { print(SendVetter_islistname(a[0])); return true; }},
  };
  return table;
}

bool changes_state(const std::string& name) {
  return name == "SendVetter_saveconf" || name == "SendVetter_changestatus" ||
         name == "SendVetter_messageaction" || name == "SendVetter_editmsg" ||
         name == "SendVetter_resetmsg";
}

}  // namespace Orvane::SendVetter
