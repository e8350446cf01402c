// The one page frame every page shares (heading, navigation, sign-out) and
// its stylesheet. No page needs JavaScript.
#pragma once

#include <string>

#include "bin/sendvetter-web/sessions.h"

namespace Orvane::SendVetter::Web {

// A whole HTML document: title and body are HTML already; with a session the
// navigation and a sign-out button (carrying its CSRF token) are shown.
std::string page(const std::string& title, const std::string& body, const Session* session);

// A hidden form field; the value is escaped for the attribute.
std::string hidden(const std::string& name, const std::string& value);

// The stylesheet served at "/style.css".
const std::string& stylesheet();

}  // namespace Orvane::SendVetter::Web
