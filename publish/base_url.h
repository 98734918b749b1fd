#pragma once

#include <string>

// The https address at which a release folder is served, as the release
// engineer gives it: "https://", a host with an optional port, an optional
// path, and nothing else (no user, query, fragment, blank or control text).
struct BaseUrl {
    std::string host;  // lowercase, without the port
    std::string port;  // digits, or empty
    std::string text;  // normalized, without a trailing slash
};

// Refuses anything else with one sentence (std::runtime_error).
BaseUrl ParseBaseUrl(const std::string& url);

// One path element percent-encoded: every byte but A-Z a-z 0-9 - . _ ~.
std::string PercentEncode(const std::string& element);

// The inverse, for addresses this tool wrote; malformed escapes stay as text.
std::string PercentDecode(const std::string& element);
