// IMAP login through libcurl: connect, STARTTLS, LOGIN, NOOP, LOGOUT.
#include "bin/sendvetter-web/imap_login.h"

#include <curl/curl.h>

#include <iostream>
#include <memory>

namespace Orvane::SendVetter::Web {

namespace {

constexpr long kConnectSeconds = 10;
constexpr long kTotalSeconds = 20;

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

}  // namespace

LoginResult imap_login(const ImapServer& server, const std::string& address,
                       const std::string& password) {
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return LoginResult::unavailable;
  CURL* c = curl.get();
  const std::string url = server.url + "/";
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "imap,imaps");
  curl_easy_setopt(c, CURLOPT_USERNAME, address.c_str());
  curl_easy_setopt(c, CURLOPT_PASSWORD, password.c_str());
  curl_easy_setopt(c, CURLOPT_USE_SSL, server.plain ? CURLUSESSL_NONE : CURLUSESSL_ALL);
  if (!server.ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, server.ca_file.c_str());
  curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "NOOP");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, kTotalSeconds);
  const CURLcode code = curl_easy_perform(c);
  if (code == CURLE_OK) return LoginResult::accepted;
  if (code == CURLE_LOGIN_DENIED) return LoginResult::refused;
  std::cerr << "sendvetter-web: IMAP server " << server.url << ": " << curl_easy_strerror(code)
            << "\n";
  return LoginResult::unavailable;
}

}  // namespace Orvane::SendVetter::Web
