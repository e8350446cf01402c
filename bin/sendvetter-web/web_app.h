// What the request handlers share: the options, the session table, the
// login limit, and the helpers every page uses.
#pragma once

#include <httplib.h>

#include <optional>
#include <string>

#include "bin/sendvetter-web/login_limit.h"
#include "bin/sendvetter-web/options.h"
#include "bin/sendvetter-web/run_as_owner.h"
#include "bin/sendvetter-web/sessions.h"

namespace Orvane::SendVetter::Web {

// The cookie that carries the session id, and the one that carries the
// sign-in form's token before there is a session.
inline constexpr const char* kSessionCookie = "sv_session";
inline constexpr const char* kLoginCookie = "sv_login";

struct WebApp {
  explicit WebApp(WebOptions o);
  WebOptions options;
  SessionStore sessions;
  LoginLimiter limiter;
};

// The request's live session, or nullopt (the cookie is missing, unknown or
// its session expired).
std::optional<Session> session_of(WebApp& app, const httplib::Request& req);
// The value of the named cookie in the request, or empty.
std::string cookie_value(const httplib::Request& req, const std::string& name);
// A Set-Cookie value: HttpOnly, SameSite=Strict, Path=/, Secure when set up;
// max_age 0 deletes the cookie, negative makes it last for the browser session.
std::string cookie(const WebApp& app, const std::string& name, const std::string& value,
                   long max_age = -1);
// The client address for the login limit: the configured header, else the peer.
std::string client_of(const WebApp& app, const httplib::Request& req);
// The value of a request parameter (query or form), or empty.
std::string param(const httplib::Request& req, const char* name);

// Answers with a whole page and the headers every page carries (no caching,
// a policy that allows no script at all, no framing, no referrer).
void send_page(httplib::Response& res, const std::string& html, int status = 200);
// 303 to a path of this site.
void redirect(httplib::Response& res, const std::string& path);

// Runs a panel function as the session's mailbox owner; what it printed, or
// nullopt when the owner cannot be found or the call failed.
std::optional<std::string> call_panel(const WebApp& app, const Session& session, PanelCall call);

using PageHandler =
    std::function<void(const Session&, const httplib::Request&, httplib::Response&)>;
// A handler that runs only for a live session: without one, GET goes to the
// sign-in page; a POST also needs the session's CSRF token, else 403.
httplib::Server::Handler signed_in(WebApp& app, bool post, PageHandler handler);
// The page for a panel call that failed.
void send_failure(httplib::Response& res, const Session& session);

// Registers the pages of each area.
void add_login_pages(httplib::Server& server, WebApp& app);
void add_mail_pages(httplib::Server& server, WebApp& app);
void add_settings_pages(httplib::Server& server, WebApp& app);
void add_list_pages(httplib::Server& server, WebApp& app);
void add_form_pages(httplib::Server& server, WebApp& app);

}  // namespace Orvane::SendVetter::Web
