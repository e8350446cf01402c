// The held-mail pages: a day of held mail, the search, one message and the
// actions on it. The listings, the message text and the actions are the
// panel's own management functions, run as the mailbox's owner; the account
// is always the session's, whatever the request names.
#include <ctime>
#include <set>

#include "Orvane/SendVetter/panel/html.h"
#include "bin/sendvetter-web/layout.h"
#include "bin/sendvetter-web/web_app.h"

namespace Orvane::SendVetter::Web {

namespace {

const std::set<std::string> kActions = {"deliver",   "deliverall", "delete",
                                        "whitelist", "blacklist",  "ignorelist"};

std::string search_form(const std::string& field, const std::string& text) {
  std::string options;
  for (const char* name : {"sender", "subject", "body"})
    options += std::string("<option value=") + name + (field == name ? " selected>" : ">") + name +
               "</option>";
  return "<div class=card><form class=inline method=get action=\"/search\">"
         "<label>Search in<select name=field>" +
         options +
         "</select></label>"
         "<label>for<input type=text name=s value=\"" +
         html_escape(text) +
         "\"></label>"
         "<button>Search</button></form></div>";
}

std::string listing(const std::string& rows) {
  if (rows.find("<tr>") == std::string::npos)
    return "<p class=note>Nothing is held for this day.</p>";
  return "<div class=\"card scroll\"><table><tr><th></th><th>From</th><th>Subject</th>"
         "<th>Received</th></tr>" +
         rows + "</table></div>";
}

void day_page(const Session& s, const httplib::Request& req, httplib::Response& res,
              const WebApp& app) {
  const std::string day = param(req, "logdate");
  const auto controls =
      call_panel(app, s, {"SendVetter_logcontrols", {day, s.account, "queue"}, "queue"});
  const auto rows =
      call_panel(app, s, {"SendVetter_showqueue", {day, s.account, "/message", "showmsg"}, ""});
  if (!controls || !rows) return send_failure(res, s);
  send_page(res, page("Held mail",
                      "<p>Mail from senders who have not yet confirmed. Open a message to "
                      "deliver it, or put its sender on a list.</p>" +
                          search_form("", "") + "<table class=days><tr>" + *controls +
                          "</tr></table>" + listing(*rows),
                      &s));
}

void search_page(const Session& s, const httplib::Request& req, httplib::Response& res,
                 const WebApp& app) {
  const std::string field = param(req, "field"), text = param(req, "s");
  const auto rows = call_panel(
      app, s, {"SendVetter_showqueuesearch", {field, text, s.account, "/message", "showmsg"}, ""});
  if (!rows) return send_failure(res, s);
  send_page(res, page("Search held mail", search_form(field, text) + listing(*rows), &s));
}

std::string action_button(const char* action, const char* label, const char* kind = "") {
  return std::string("<button name=action value=") + action + (*kind ? " class=" : "") + kind +
         ">" + label + "</button>";
}

void message_page(const Session& s, const httplib::Request& req, httplib::Response& res,
                  const WebApp& app) {
  const std::string q = param(req, "q"), t = param(req, "t");
  const auto text = call_panel(app, s, {"SendVetter_showmessage", {s.account, t, q}, ""});
  if (!text) return send_failure(res, s);
  if (text->empty()) {
    send_page(res, page("Message", "<p class=note>This message is no longer held.</p>", &s), 404);
    return;
  }
  const std::string form = "<form class=\"card actions\" method=post action=\"/message\">" +
                           hidden("csrf", s.csrf) + hidden("q", q) + hidden("t", t) +
                           action_button("deliver", "Deliver") +
                           action_button("deliverall", "Deliver all from this sender", "quiet") +
                           action_button("whitelist", "White-list sender", "quiet") +
                           action_button("blacklist", "Black-list sender", "quiet") +
                           action_button("ignorelist", "Ignore sender", "quiet") +
                           action_button("delete", "Delete", "danger") + "</form>";
  send_page(res, page("Held message", form + "<pre>" + *text + "</pre>", &s));
}

void message_action(const Session& s, const httplib::Request& req, httplib::Response& res,
                    const WebApp& app) {
  const std::string action = param(req, "action");
  if (!kActions.count(action)) {
    send_page(res, page("Not done", "<p class=\"note error\">Unknown action.</p>", &s), 400);
    return;
  }
  const auto said = call_panel(
      app, s,
      {"SendVetter_messageaction", {s.account, param(req, "t"), param(req, "q"), action}, ""});
  if (!said) return send_failure(res, s);
  send_page(
      res,
      page("Done", "<p class=note>" + *said + "</p><p><a href=\"/queue\">Back to held mail</a></p>",
           &s));
}

}  // namespace

void add_mail_pages(httplib::Server& server, WebApp& app) {
  using namespace std::placeholders;
  server.Get("/queue", signed_in(app, false, std::bind(day_page, _1, _2, _3, std::cref(app))));
  server.Get("/search", signed_in(app, false, std::bind(search_page, _1, _2, _3, std::cref(app))));
  server.Get("/message",
             signed_in(app, false, std::bind(message_page, _1, _2, _3, std::cref(app))));
  server.Post("/message",
              signed_in(app, true, std::bind(message_action, _1, _2, _3, std::cref(app))));
}

}  // namespace Orvane::SendVetter::Web
