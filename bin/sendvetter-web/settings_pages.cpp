// The settings page (own addresses, expiry age of held mail) and the
// activity log, through the panel's management functions as the owner.
#include "bin/sendvetter-web/layout.h"
#include "bin/sendvetter-web/web_app.h"

namespace Orvane::SendVetter::Web {

namespace {

void settings_page(const Session& s, const httplib::Request&, httplib::Response& res,
                   const WebApp& app, const std::string& note) {
  // Both functions print the stored value already escaped for an attribute.
  const auto froms = call_panel(app, s, {"SendVetter_showemails", {s.account}, ""});
  const auto days = call_panel(app, s, {"SendVetter_showqueuetime", {s.account}, ""});
  if (!froms || !days) return send_failure(res, s);
  const std::string body =
      note + "<form class=card method=post action=\"/settings\">" + hidden("csrf", s.csrf) +
      "<p><label>Your own addresses (comma-separated): mail from them is never held"
      "<input type=text name=froms value=\"" +
      *froms +
      "\"></label></p>"
      "<p><label>Days before held mail is deleted"
      "<input type=text name=days inputmode=numeric value=\"" +
      *days +
      "\"></label></p>"
      "<button>Save</button></form>";
  send_page(res, page("Settings", body, &s));
}

void save_settings(const Session& s, const httplib::Request& req, httplib::Response& res,
                   const WebApp& app) {
  // The function prints only when it could not save.
  const auto said = call_panel(
      app, s, {"SendVetter_saveconf", {s.account, param(req, "froms"), param(req, "days")}, ""});
  if (!said) return send_failure(res, s);
  settings_page(
      s, req, res, app,
      said->empty() ? "<p class=note>Saved.</p>" : "<p class=\"note error\">" + *said + "</p>");
}

void log_page(const Session& s, const httplib::Request& req, httplib::Response& res,
              const WebApp& app) {
  const std::string day = param(req, "logdate");
  const auto controls =
      call_panel(app, s, {"SendVetter_logcontrols", {day, s.account, "log"}, "log"});
  const auto log = call_panel(app, s, {"SendVetter_showlog", {day, s.account}, ""});
  if (!controls || !log) return send_failure(res, s);
  send_page(res, page("Activity log",
                      "<table class=days><tr>" + *controls + "</tr></table>" +
                          (log->empty() ? "<p class=note>Nothing was logged this day.</p>"
                                        : "<pre>" + *log + "</pre>"),
                      &s));
}

}  // namespace

void add_settings_pages(httplib::Server& server, WebApp& app) {
  using namespace std::placeholders;
  server.Get("/settings",
             signed_in(app, false, std::bind(settings_page, _1, _2, _3, std::cref(app), "")));
  server.Post("/settings",
              signed_in(app, true, std::bind(save_settings, _1, _2, _3, std::cref(app))));
  server.Get("/log", signed_in(app, false, std::bind(log_page, _1, _2, _3, std::cref(app))));
}

}  // namespace Orvane::SendVetter::Web
