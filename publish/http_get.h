#pragma once

#include <cstdint>
#include <map>
#include <string>

// One HTTPS GET as a launcher makes it: redirects followed (HTTPS only, at
// most 10), the body streamed through a SHA-256 and kept only up to
// `keepBytes`. Raises std::runtime_error with one sentence when no reply
// arrives (no connection, a certificate that does not check, a cut reply).
struct HttpReply {
    long status = 0;
    std::map<std::string, std::string> headers;  // the final reply's, names in lowercase
    std::string body;                            // the first `keepBytes` bytes
    uint64_t size = 0;                           // bytes received
    std::string sha256;
};

// `caFile` (PEM) replaces the system's trusted roots when given.
HttpReply HttpGet(const std::string& url, const std::string& caFile, size_t keepBytes);
