// Escaping of request values and file names printed into the panel's pages.
//
// url_escape is for a value placed inside a link's URL (href, form action):
// every byte other than ASCII letters, digits and "@ . _ - / : ," becomes
// %XX (uppercase hex), so the value can neither end the attribute nor add a
// query parameter. html_escape is for any other attribute or text: & < > "
// and ' become entities. Values made only of the kept bytes pass unchanged.
// url_target is url_escape for a value that starts a URL (the page a link or
// form goes to): a value naming a scheme other than http or https (such as
// "javascript:") is refused and gives "", so it cannot run script.
// Text taken from mail and logs goes through SendVetter_cleanfield instead.
#pragma once

#include <string>
#include <string_view>

namespace Orvane::SendVetter {

std::string url_escape(std::string_view value);
std::string html_escape(std::string_view value);
std::string url_target(std::string_view value);

}  // namespace Orvane::SendVetter
