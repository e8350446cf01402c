// Sign-in and sign-out.
//
// The sign-in form is protected like every other form: before there is a
// session, its token is a random value in a cookie of its own that the form
// must repeat. The password is checked by the IMAP server; a mailbox must
// also have an owner on this host. Every refusal says the same, so the page
// does not tell which addresses exist.
#include <cctype>
#include <ctime>

#include "bin/sendvetter-web/layout.h"
#include "bin/sendvetter-web/owner.h"
#include "bin/sendvetter-web/web_app.h"

namespace Orvane::SendVetter::Web {

namespace {

constexpr std::size_t kMaxAddress = 254;
constexpr std::size_t kMaxPassword = 1024;

// Lower case, as the IMAP server's default user name format has it; empty
// when the text cannot be a mailbox name.
std::string mailbox_address(const std::string& text) {
  if (text.empty() || text.size() > kMaxAddress) return {};
  std::string address;
  for (unsigned char c : text) {
    if (!std::isalnum(c) &&
        std::string_view("@._+-").find(static_cast<char>(c)) == std::string_view::npos)
      return {};
    address.push_back(static_cast<char>(std::tolower(c)));
  }
  return address;
}

void login_form(WebApp& app, httplib::Response& res, const std::string& note, int status) {
  const auto token = random_token();
  if (!token) {
    send_page(
        res, page("Sign in", "<p class=\"note error\">The server has no random data.</p>", nullptr),
        503);
    return;
  }
  res.set_header("Set-Cookie", cookie(app, kLoginCookie, *token));
  const std::string body =
      "<div class=\"card login\">" + note + "<form method=post action=\"/login\">" +
      hidden("csrf", *token) +
      "<label>Mailbox address<input type=text name=address inputmode=email autocomplete=username "
      "required></label>"
      "<label>Mail password<input type=password name=password autocomplete=current-password "
      "required></label>"
      "<button>Sign in</button></form>"
      "<p class=who>Use the address and password of your mailbox, as in your mail "
      "program.</p></div>";
  send_page(res, page("Sign in", body, nullptr), status);
}

std::string note(const std::string& text) { return "<p class=\"note error\">" + text + "</p>"; }

void sign_in(WebApp& app, const httplib::Request& req, httplib::Response& res) {
  const std::string token = cookie_value(req, kLoginCookie);
  if (token.empty() || !same_token(token, param(req, "csrf"))) {
    login_form(app, res, note("The form had expired. Please sign in again."), 403);
    return;
  }
  const std::time_t now = std::time(nullptr);
  const std::string address = mailbox_address(param(req, "address"));
  const std::string password = param(req, "password");
  const std::string client = client_of(app, req);
  if (!app.limiter.allowed(address, client, now)) {
    login_form(app, res, note("Too many failed sign-ins. Please wait a quarter of an hour."), 429);
    return;
  }
  LoginResult result = LoginResult::refused;
  if (!address.empty() && !password.empty() && password.size() <= kMaxPassword)
    result = imap_login(app.options.imap, address, password);
  if (result == LoginResult::unavailable) {
    login_form(app, res, note("The mail server cannot be reached. Please try again later."), 503);
    return;
  }
  const auto owner = result == LoginResult::accepted ? mailbox_owner(address) : std::nullopt;
  if (!owner || owner->uid == 0) {
    app.limiter.failed(address, client, now);
    login_form(app, res, note("Wrong address or password."), 403);
    return;
  }
  const auto id = app.sessions.create(address, now);
  if (!id) {
    login_form(app, res, note("The server has no random data."), 503);
    return;
  }
  res.set_header("Set-Cookie", cookie(app, kSessionCookie, *id));
  redirect(res, "/queue");
}

}  // namespace

void add_login_pages(httplib::Server& server, WebApp& app) {
  server.Get("/login", [&app](const httplib::Request& req, httplib::Response& res) {
    if (session_of(app, req))
      redirect(res, "/queue");
    else
      login_form(app, res, "", 200);
  });
  server.Post("/login", [&app](const httplib::Request& req, httplib::Response& res) {
    sign_in(app, req, res);
  });
  server.Post("/logout", [&app](const httplib::Request& req, httplib::Response& res) {
    const auto session = session_of(app, req);
    if (!session || !same_token(session->csrf, param(req, "csrf"))) {
      redirect(res, session ? "/queue" : "/login");
      return;
    }
    app.sessions.erase(cookie_value(req, kSessionCookie));
    res.set_header("Set-Cookie", cookie(app, kSessionCookie, "", 0));
    redirect(res, "/login");
  });
  server.Get("/", [&app](const httplib::Request& req, httplib::Response& res) {
    redirect(res, session_of(app, req) ? "/queue" : "/login");
  });
  server.Get("/style.css", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "max-age=3600");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(stylesheet(), "text/css; charset=utf-8");
  });
}

}  // namespace Orvane::SendVetter::Web
