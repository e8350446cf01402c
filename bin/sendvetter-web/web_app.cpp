// The shared request helpers.
#include "bin/sendvetter-web/web_app.h"

#include <unistd.h>

#include <climits>
#include <ctime>

#include "bin/sendvetter-web/layout.h"
#include "bin/sendvetter-web/owner.h"

namespace Orvane::SendVetter::Web {

namespace {

constexpr std::time_t kMinute = 60;
constexpr std::time_t kSessionLifetime = 12 * 60 * kMinute;
constexpr int kLoginFailures = 5;
constexpr std::time_t kLoginWindow = 15 * kMinute;

std::string program_beside_me(const std::string& name) {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return name;
  std::string path(self, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + name;
}

}  // namespace

WebApp::WebApp(WebOptions o)
    : options(std::move(o)),
      sessions(options.session_minutes * kMinute, kSessionLifetime),
      limiter(kLoginFailures, kLoginWindow) {
  if (options.panel.empty()) options.panel = program_beside_me("sendvetter-panel");
}

std::string cookie_value(const httplib::Request& req, const std::string& name) {
  const std::string header = req.get_header_value("Cookie");
  const std::string key = name + "=";
  for (std::size_t start = 0; start < header.size();) {
    const std::size_t end = std::min(header.find(';', start), header.size());
    std::size_t first = header.find_first_not_of(' ', start);
    if (first < end && header.compare(first, key.size(), key) == 0)
      return header.substr(first + key.size(), end - first - key.size());
    start = end + 1;
  }
  return {};
}

std::optional<Session> session_of(WebApp& app, const httplib::Request& req) {
  const std::string id = cookie_value(req, kSessionCookie);
  if (id.empty()) return std::nullopt;
  return app.sessions.find(id, std::time(nullptr));
}

std::string cookie(const WebApp& app, const std::string& name, const std::string& value,
                   long max_age) {
  std::string text = name + "=" + value + "; Path=/; HttpOnly; SameSite=Strict";
  if (max_age >= 0) text += "; Max-Age=" + std::to_string(max_age);
  if (app.options.secure_cookie) text += "; Secure";
  return text;
}

std::string client_of(const WebApp& app, const httplib::Request& req) {
  if (!app.options.client_header.empty()) {
    const std::string value = req.get_header_value(app.options.client_header.c_str());
    if (!value.empty()) return value;
  }
  return req.remote_addr;
}

std::string param(const httplib::Request& req, const char* name) {
  return req.has_param(name) ? req.get_param_value(name) : std::string();
}

void send_page(httplib::Response& res, const std::string& html, int status) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; "
                 "frame-ancestors 'none'; base-uri 'none'");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_content(html, "text/html; charset=utf-8");
}

void redirect(httplib::Response& res, const std::string& path) {
  res.status = 303;
  res.set_header("Location", path);
  res.set_header("Cache-Control", "no-store");
}

std::optional<std::string> call_panel(const WebApp& app, const Session& session, PanelCall call) {
  const auto owner = mailbox_owner(session.account);
  if (!owner) return std::nullopt;
  return run_as_owner(*owner, app.options.panel, call);
}

httplib::Server::Handler signed_in(WebApp& app, bool post, PageHandler handler) {
  return [&app, post, handler](const httplib::Request& req, httplib::Response& res) {
    const auto session = session_of(app, req);
    if (!session) {
      redirect(res, "/login");
      return;
    }
    if (post && !same_token(session->csrf, param(req, "csrf"))) {
      send_page(
          res,
          page("Not done", "<p class=\"note error\">The form had expired; nothing was changed.</p>",
               &*session),
          403);
      return;
    }
    handler(*session, req, res);
  };
}

void send_failure(httplib::Response& res, const Session& session) {
  send_page(res,
            page("Not available",
                 "<p class=\"note error\">Your mailbox cannot be opened just now.</p>", &session),
            500);
}

}  // namespace Orvane::SendVetter::Web
