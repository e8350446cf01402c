// Every management function under its full name. Functions that print are
// called as they are; functions that return a value have it printed here.
#include "bin/sendvetter-panel/functions.h"

#include <iostream>

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
      {"SendVetter_saveconf", [](const PanelArgs& a) { SendVetter_saveconf(a[0], a[1], a[2]); }},
      {"SendVetter_getboxconfdir", [](const PanelArgs& a) { SendVetter_getboxconfdir(a[0]); }},
      {"SendVetter_isenabled", [](const PanelArgs& a) { print(SendVetter_isenabled(a[0])); }},
      {"SendVetter_init", [](const PanelArgs&) { print(SendVetter_init()); }},
      {"SendVetter_logdate", [](const PanelArgs& a) { SendVetter_logdate(a[0]); }},
  };
  return table;
}

}  // namespace Orvane::SendVetter
