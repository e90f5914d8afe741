#include "relay/web_pages.h"

#include "base/privacy_text.h"

namespace merrowfax::relay {
namespace {

// Readable on a phone and a desktop alike, no outside resources.
constexpr std::string_view kStyle =
    "body{font:17px/1.5 -apple-system,system-ui,sans-serif;max-width:40em;margin:0 auto;"
    "padding:1em 1.2em;color:#222;background:#fff}"
    "h1{font-size:1.6em;margin-bottom:.2em}h2{font-size:1.1em;margin:1.4em 0 .3em}"
    ".date{color:#666;margin-top:0}a{color:#0a58ca}"
    "@media (prefers-color-scheme:dark){body{color:#ddd;background:#111}.date{color:#999}"
    "a{color:#6ea8fe}}";

std::string page(std::string_view title, const std::string& body) {
    std::string html;
    html += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    html += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    html += "<title>" + escapeHtml(title) + "</title>\n<style>";
    html += kStyle;
    html += "</style>\n</head>\n<body>\n" + body + "</body>\n</html>\n";
    return html;
}

std::string paragraph(std::string_view text, std::string_view cls = {}) {
    std::string open = cls.empty() ? "<p>" : "<p class=\"" + std::string(cls) + "\">";
    return open + escapeHtml(text) + "</p>\n";
}

}  // namespace

std::string escapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

const std::string& aboutPage() {
    static const std::string html = [] {
        std::string body = "<h1>Merrowfax</h1>\n";
        body += paragraph(
            "This is the Merrowfax relay service. Merrowfax is an application for text, "
            "calls and walkie-talkie between virtual numbers. The service passes live texts, "
            "calls and walkie between the devices of two numbers, keeps each number's PIN as "
            "a hash, and answers the public directory. It keeps no message contents.");
        body += paragraph(
            "There is nothing to do in a browser here: open Merrowfax on your phone, tablet "
            "or computer.");
        body += "<p><a href=\"/merrowfax/privacy\">" + escapeHtml(privacy::kTitle) + "</a></p>\n";
        return page("Merrowfax", body);
    }();
    return html;
}

const std::string& privacyPage() {
    static const std::string html = [] {
        std::string body = "<h1>" + escapeHtml(privacy::kTitle) + "</h1>\n";
        body += paragraph(privacy::kDate, "date");
        body += paragraph(privacy::kOpening);
        for (const auto& section : privacy::sections()) {
            body += "<h2>" + escapeHtml(section.heading) + "</h2>\n";
            body += paragraph(section.text);
        }
        body += "<p><a href=\"/merrowfax/\">Merrowfax</a></p>\n";
        return page(std::string("Merrowfax ") + std::string(privacy::kTitle), body);
    }();
    return html;
}

}  // namespace merrowfax::relay
