#pragma once

#include <string>
#include <string_view>

// The service's two plain web pages: what it is, and the privacy text the
// application shows too. Built once; every byte of text is HTML-escaped.
namespace merrowfax::relay {

// &, <, >, " and ' as character references; everything else unchanged.
std::string escapeHtml(std::string_view text);

// GET /merrowfax/: what the service is, with a link to the privacy page.
const std::string& aboutPage();
// GET /merrowfax/privacy.
const std::string& privacyPage();

}  // namespace merrowfax::relay
