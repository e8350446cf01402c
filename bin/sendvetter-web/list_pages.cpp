// The white, black and ignore lists: the rules of one list, a sender added,
// a rule removed, through the panel's list functions as the owner. The list
// a request names is passed only as one of the three fixed names.
#include "bin/sendvetter-web/layout.h"
#include "bin/sendvetter-web/web_app.h"

namespace Orvane::SendVetter::Web {

namespace {

struct ListInfo {
  const char* name;
  const char* title;
  const char* meaning;
};

constexpr ListInfo kLists[] = {
    {"white", "White list", "Mail from these senders is delivered at once."},
    {"black", "Black list", "These senders are told their mail is refused; it is dropped."},
    {"ignore", "Ignore list", "Mail from these senders is dropped without a word."},
};

// The list the request names, the white list when it names none; nullptr
// for any other name.
const ListInfo* list_of(const httplib::Request& req) {
  const std::string name = param(req, "list");
  if (name.empty()) return &kLists[0];
  for (const ListInfo& list : kLists)
    if (name == list.name) return &list;
  return nullptr;
}

void no_such_list(const Session& s, httplib::Response& res) {
  send_page(res, page("Not found", "<p class=\"note error\">There is no such list.</p>", &s), 404);
}

void list_page(const Session& s, const httplib::Request& req, httplib::Response& res,
               const WebApp& app, const std::string& note) {
  const ListInfo* found = list_of(req);
  if (!found) return no_such_list(s, res);
  const ListInfo& list = *found;
  const auto rows = call_panel(app, s, {"SendVetter_showlist", {s.account, list.name}, ""});
  if (!rows) return send_failure(res, s);
  std::string tabs = "<nav class=tabs>";
  for (const ListInfo& other : kLists)
    tabs += std::string("<a href=\"/lists?list=") + other.name + "\"" +
            (&other == &list ? " aria-current=page" : "") + ">" + other.title + "</a>";
  const std::string fields = hidden("csrf", s.csrf) + hidden("list", list.name);
  const std::string body =
      tabs + "</nav>" + note + "<p>" + list.meaning + "</p>" +
      "<form class=\"card inline\" method=post action=\"/lists\">" + fields +
      "<label>Sender address, or @domain for a whole domain"
      "<input type=text name=address></label><button>Add</button></form>" +
      (rows->find("<tr>") == std::string::npos
           ? "<p class=note>This list is empty.</p>"
           : "<form class=\"card scroll\" method=post action=\"/lists\">" + fields +
                 "<table class=rules><tr><th>Rule</th><th></th></tr>" + *rows + "</table></form>");
  send_page(res, page(list.title, body, &s));
}

void change_list(const Session& s, const httplib::Request& req, httplib::Response& res,
                 const WebApp& app) {
  const ListInfo* list = list_of(req);
  if (!list) return no_such_list(s, res);
  // Both functions print only when nothing was changed.
  const bool remove = req.has_param("rule");
  const auto said = call_panel(app, s,
                               {remove ? "SendVetter_listremove" : "SendVetter_listadd",
                                {s.account, list->name, param(req, remove ? "rule" : "address")},
                                ""});
  if (!said) return send_failure(res, s);
  list_page(s, req, res, app,
            said->empty()
                ? std::string("<p class=note>") + (remove ? "Removed." : "Added.") + "</p>"
                : "<p class=\"note error\">" + *said + "</p>");
}

}  // namespace

void add_list_pages(httplib::Server& server, WebApp& app) {
  using namespace std::placeholders;
  server.Get("/lists",
             signed_in(app, false, std::bind(list_page, _1, _2, _3, std::cref(app), "")));
  server.Post("/lists", signed_in(app, true, std::bind(change_list, _1, _2, _3, std::cref(app))));
}

}  // namespace Orvane::SendVetter::Web
