#include "publish/base_url.h"

#include <cctype>
#include <stdexcept>

#include "format/hex.h"

namespace {

bool IsUnreserved(unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

[[noreturn]] void Refuse(const std::string& why) {
    throw std::runtime_error("The base URL " + why);
}

void CheckHost(const std::string& host) {
    if (host.empty()) Refuse("names no host");
    size_t start = 0;
    while (start <= host.size()) {
        size_t end = host.find('.', start);
        if (end == std::string::npos) end = host.size();
        const std::string label = host.substr(start, end - start);
        if (label.empty() || label.front() == '-' || label.back() == '-') {
            Refuse("has an invalid host name");
        }
        for (const unsigned char c : label) {
            if (!std::isalnum(c) && c != '-') Refuse("has an invalid host name");
        }
        start = end + 1;
    }
}

void CheckPath(const std::string& path) {
    // Segments between slashes; the caller dropped one trailing slash.
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string segment = path.substr(start, end - start);
        if (segment.empty() || segment == "." || segment == "..") {
            Refuse("has an empty, \".\" or \"..\" path element");
        }
        for (size_t i = 0; i < segment.size(); ++i) {
            const unsigned char c = segment[i];
            if (c == '%') {
                if (i + 2 >= segment.size() || HexDigitValue(segment[i + 1]) < 0 ||
                    HexDigitValue(segment[i + 2]) < 0) {
                    Refuse("has a % that is not followed by two hex digits");
                }
                i += 2;
            } else if (!IsUnreserved(c) &&
                       std::string("!$&'()*+,;=:@").find(c) == std::string::npos) {
                Refuse(std::string("has the character '") + static_cast<char>(c) +
                       "' in its path; percent-encode it");
            }
        }
        start = end + 1;
    }
}

}  // namespace

BaseUrl ParseBaseUrl(const std::string& url) {
    for (const unsigned char c : url) {
        if (c <= 0x20 || c >= 0x7F)
            Refuse("contains a blank, a control character or non-ASCII text");
    }
    if (url.rfind("https://", 0) != 0) Refuse("must begin with https://");
    if (url.find('?') != std::string::npos) Refuse("must not have a query (?...)");
    if (url.find('#') != std::string::npos) Refuse("must not have a fragment (#...)");
    if (url.find('\\') != std::string::npos) Refuse("must not contain a backslash");
    const std::string rest = url.substr(8);
    const size_t slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    std::string path = slash == std::string::npos ? "" : rest.substr(slash);
    if (authority.find('@') != std::string::npos) Refuse("must not name a user (user@)");
    BaseUrl base;
    const size_t colon = authority.find(':');
    base.host = authority.substr(0, colon);
    for (char& c : base.host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    CheckHost(base.host);
    if (colon != std::string::npos) {
        base.port = authority.substr(colon + 1);
        const bool digits = !base.port.empty() && base.port.size() <= 5 &&
                            base.port.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoul(base.port) == 0 || std::stoul(base.port) > 65535) {
            Refuse("has an invalid port");
        }
    }
    if (!path.empty() && path.back() == '/') path.pop_back();
    if (!path.empty()) CheckPath(path);
    base.text = "https://" + base.host + (base.port.empty() ? "" : ":" + base.port) + path;
    return base;
}

std::string PercentEncode(const std::string& element) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : element) {
        if (IsUnreserved(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out;
}

std::string PercentDecode(const std::string& element) {
    std::string out;
    for (size_t i = 0; i < element.size(); ++i) {
        if (element[i] == '%' && i + 2 < element.size() && HexDigitValue(element[i + 1]) >= 0 &&
            HexDigitValue(element[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexDigitValue(element[i + 1]) * 16 +
                                            HexDigitValue(element[i + 2])));
            i += 2;
        } else {
            out.push_back(element[i]);
        }
    }
    return out;
}
