// Page frame and stylesheet: one narrow column that widens up to a reading
// width; tables scroll sideways on small screens instead of squeezing.
#include "bin/sendvetter-web/layout.h"

#include "Orvane/SendVetter/panel/html.h"

namespace Orvane::SendVetter::Web {

std::string hidden(const std::string& name, const std::string& value) {
  return "<input type=hidden name=" + name + " value=\"" + html_escape(value) + "\">";
}

std::string page(const std::string& title, const std::string& body, const Session* session) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>"
      "<meta name=viewport content=\"width=device-width, initial-scale=1\">"
      "<title>" +
      title +
      " - SendVetter</title><link rel=stylesheet href=\"/style.css\"></head>"
      "<body><header><span class=brand>SendVetter</span>";
  if (session) {
    html +=
        "<nav><a href=\"/queue\">Held mail</a><a href=\"/lists\">Lists</a>"
        "<a href=\"/log\">Activity log</a><a href=\"/settings\">Settings</a>"
        "<a href=\"/forms\">Form texts</a></nav>"
        "<form class=signout method=post action=\"/logout\">";
    html += hidden("csrf", session->csrf) + "<span class=who>" + html_escape(session->account) +
            "</span><button>Sign out</button></form>";
  }
  html += "</header><main><h1>" + title + "</h1>" + body + "</main></body></html>\n";
  return html;
}

const std::string& stylesheet() {
  static const std::string css = R"css(
:root { --ink: #1d2330; --muted: #5b6474; --line: #d9dee7; --accent: #1f5fbf; --bg: #f5f7fa; }
* { box-sizing: border-box; }
body { margin: 0; font: 16px/1.5 system-ui, -apple-system, "Segoe UI", sans-serif; color: var(--ink); background: var(--bg); }
header { display: flex; flex-wrap: wrap; align-items: center; gap: .5rem 1.5rem; padding: .75rem 1.25rem; background: #fff; border-bottom: 1px solid var(--line); }
.brand { font-weight: 700; letter-spacing: .02em; }
nav { display: flex; flex-wrap: wrap; gap: 1rem; flex: 1; }
nav a { color: var(--ink); text-decoration: none; padding: .25rem 0; border-bottom: 2px solid transparent; }
nav a:hover { border-color: var(--accent); }
.signout { display: flex; align-items: center; gap: .75rem; margin: 0; }
.who { color: var(--muted); font-size: .9rem; overflow-wrap: anywhere; }
main { max-width: 60rem; margin: 0 auto; padding: 1.25rem; }
h1 { font-size: 1.4rem; margin: .5rem 0 1rem; }
a { color: var(--accent); }
.card { background: #fff; border: 1px solid var(--line); border-radius: 8px; padding: 1rem 1.25rem; margin-bottom: 1rem; }
.scroll { overflow-x: auto; }
table { width: 100%; border-collapse: collapse; }
th, td { text-align: left; padding: .5rem .6rem; border-bottom: 1px solid var(--line); vertical-align: top; overflow-wrap: anywhere; }
th { font-size: .85rem; color: var(--muted); font-weight: 600; }
td:first-child { white-space: nowrap; }
.days td { border: 0; padding: .25rem 0; }
pre { white-space: pre-wrap; overflow-wrap: anywhere; font-size: .9rem; background: #fff; border: 1px solid var(--line); border-radius: 8px; padding: 1rem; max-height: 60vh; overflow: auto; }
form.inline { display: flex; flex-wrap: wrap; gap: .5rem; align-items: end; margin: 0; }
label { display: flex; flex-direction: column; gap: .25rem; font-size: .9rem; color: var(--muted); }
input, select, button { font: inherit; padding: .45rem .6rem; border: 1px solid var(--line); border-radius: 6px; background: #fff; color: var(--ink); }
input[type=text], input[type=email], input[type=password] { min-width: 14rem; max-width: 100%; }
button { background: var(--accent); border-color: var(--accent); color: #fff; cursor: pointer; }
button.quiet { background: #fff; color: var(--ink); border-color: var(--line); }
button.danger { background: #b3261e; border-color: #b3261e; }
nav.tabs { flex: none; margin-bottom: 1rem; border-bottom: 1px solid var(--line); }
nav.tabs a[aria-current] { border-color: var(--accent); font-weight: 600; }
textarea { display: block; width: 100%; font: .9rem/1.4 ui-monospace, monospace; padding: .6rem; border: 1px solid var(--line); border-radius: 6px; }
.forms form { margin: 0; }
form.card { margin-bottom: 1rem; }
.actions { display: flex; flex-wrap: wrap; gap: .5rem; align-items: center; }
.note { padding: .75rem 1rem; border-radius: 6px; background: #e8f0fe; margin-bottom: 1rem; }
.error { background: #fdecea; }
.login { max-width: 24rem; margin: 2rem auto; }
main:has(.login) h1 { text-align: center; }
.login form { display: flex; flex-direction: column; gap: .75rem; }
.login input { min-width: 0; width: 100%; }
@media (max-width: 40rem) { main { padding: .75rem; } th, td { padding: .4rem; } }
)css";
  return css;
}

}  // namespace Orvane::SendVetter::Web
