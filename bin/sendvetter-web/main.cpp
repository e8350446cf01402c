// sendvetter-web — the web pages for mailbox owners: held mail, the actions
// on it, the sender lists, the settings, the form texts and the activity
// log, behind the provider's web server.
//
//   sendvetter-web [--listen HOST:PORT] [--imap URL] [--imap-ca FILE]
//                  [--imap-plain] [--secure-cookie] [--client-header NAME]
//                  [--session-minutes N] [--panel PATH]
//
// Listens on 127.0.0.1:8480 unless told otherwise. Owners sign in with their
// mailbox address and mail password, checked by the IMAP server (default
// imap://127.0.0.1:143 with STARTTLS). Every page runs sendvetter-panel as
// the mailbox's owner. Exit status 2: bad command line; 1: cannot listen.
#include <curl/curl.h>

#include <csignal>
#include <iostream>

#include "bin/exit_status.h"
#include "bin/sendvetter-web/web_app.h"

namespace {

constexpr std::size_t kMaxRequestBody = 64 * 1024;
constexpr time_t kReadSeconds = 15;

}  // namespace

int main(int argc, char** argv) {
  using namespace Orvane::SendVetter;
  using namespace Orvane::SendVetter::Web;
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  auto options = parse_options(std::vector<std::string>(argv + 1, argv + argc));
  if (!options) {
    std::cerr << "usage: sendvetter-web [--listen HOST:PORT] [--imap URL] [--imap-ca FILE]\n"
                 "       [--imap-plain] [--secure-cookie] [--client-header NAME]\n"
                 "       [--session-minutes N] [--panel PATH]\n";
    return kExitWebUsage;
  }
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return kExitCannotListen;
  WebApp app(*options);
  httplib::Server server;
  server.set_payload_max_length(kMaxRequestBody);
  server.set_read_timeout(kReadSeconds, 0);
  add_login_pages(server, app);
  add_mail_pages(server, app);
  add_settings_pages(server, app);
  add_list_pages(server, app);
  add_form_pages(server, app);
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty())
      send_page(res, "<!DOCTYPE html><title>Not found</title><p>Not found.</p>\n", res.status);
  });
  std::cerr << "sendvetter-web: listening on " << app.options.host << ":" << app.options.port
            << "\n";
  if (!server.listen(app.options.host.c_str(), app.options.port)) {
    std::cerr << "sendvetter-web: cannot listen on " << app.options.host << ":" << app.options.port
              << "\n";
    return kExitCannotListen;
  }
  return kExitWebStopped;
}
