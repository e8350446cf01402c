// The form texts: the list of forms, one form's text to edit, saving it as
// the owner's own text and resetting it to the system's, through the panel's
// form functions as the owner. The form list's Reset buttons submit with
// GET, so they lead to a page that asks first; only its POST resets.
#include "Orvane/SendVetter/panel/html.h"
#include "bin/sendvetter-web/layout.h"
#include "bin/sendvetter-web/web_app.h"

namespace Orvane::SendVetter::Web {

namespace {

void forms_page(const Session& s, const httplib::Request&, httplib::Response& res,
                const WebApp& app) {
  const auto rows =
      call_panel(app, s, {"SendVetter_listmsgs", {s.account, "/form", "/form/reset"}, ""});
  if (!rows) return send_failure(res, s);
  send_page(res, page("Form texts",
                      "<p>The messages the filter sends for you: the request to confirm, the "
                      "answer to a confirmation, the notice to a black-listed sender. Edit one to "
                      "use your own text; reset it to use the system's again.</p>"
                      "<div class=\"card scroll\"><table class=forms>" +
                          *rows + "</table></div>",
                      &s));
}

void form_page(const Session& s, const httplib::Request& req, httplib::Response& res,
               const WebApp& app, const std::string& note) {
  const std::string form = param(req, "form");
  const auto text = call_panel(app, s, {"SendVetter_showmsgtext", {s.account, form}, ""});
  if (!text) return send_failure(res, s);
  if (text->empty()) {
    send_page(res, page("Not found", "<p class=\"note error\">There is no such form.</p>", &s),
              404);
    return;
  }
  send_page(res, page("Form text: " + html_escape(form),
                      note + "<form class=card method=post action=\"/form\">" +
                          hidden("csrf", s.csrf) + hidden("form", form) + *text +
                          "<p class=actions><button name=action value=save>Save</button>"
                          "<button name=action value=reset class=quiet>Reset to the system "
                          "text</button><a href=\"/forms\">Back to the forms</a></p></form>",
                      &s));
}

void reset_question(const Session& s, const httplib::Request& req, httplib::Response& res) {
  const std::string form = param(req, "form");
  send_page(res, page("Reset form text",
                      "<form class=card method=post action=\"/form\">" + hidden("csrf", s.csrf) +
                          hidden("form", form) + "<p>Use the system's text for " +
                          html_escape(form) +
                          " again? Your own text is deleted.</p><p class=actions>"
                          "<button name=action value=reset class=danger>Reset</button>"
                          "<a href=\"/forms\">Back to the forms</a></p></form>",
                      &s));
}

// Browsers send a textarea's lines with CR LF; the forms are kept with LF.
std::string with_line_feeds(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') out += text[i];
  return out;
}

void change_form(const Session& s, const httplib::Request& req, httplib::Response& res,
                 const WebApp& app) {
  const std::string form = param(req, "form");
  const std::string action = param(req, "action");
  if (action != "save" && action != "reset") {
    send_page(res, page("Not done", "<p class=\"note error\">Unknown action.</p>", &s), 400);
    return;
  }
  const bool reset = action == "reset";
  // Both functions print only when nothing was changed.
  const auto said =
      reset ? call_panel(app, s, {"SendVetter_resetmsg", {s.account, form}, ""})
            : call_panel(app, s,
                         {"SendVetter_savemsgtext",
                          {s.account, form, with_line_feeds(param(req, "text"))}, ""});
  if (!said) return send_failure(res, s);
  form_page(s, req, res, app,
            !said->empty() ? "<p class=\"note error\">" + *said + "</p>"
            : reset        ? "<p class=note>The system's text is used again.</p>"
                           : "<p class=note>Saved: your text is used from now on.</p>");
}

}  // namespace

void add_form_pages(httplib::Server& server, WebApp& app) {
  using namespace std::placeholders;
  server.Get("/forms", signed_in(app, false, std::bind(forms_page, _1, _2, _3, std::cref(app))));
  server.Get("/form",
             signed_in(app, false, std::bind(form_page, _1, _2, _3, std::cref(app), "")));
  server.Get("/form/reset", signed_in(app, false, reset_question));
  server.Post("/form", signed_in(app, true, std::bind(change_form, _1, _2, _3, std::cref(app))));
}

}  // namespace Orvane::SendVetter::Web
