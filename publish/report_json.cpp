#include "publish/report_json.h"

#include <cstdio>

std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

std::string JsonObject(const std::vector<std::pair<std::string, std::string>>& members) {
    std::string out = "{";
    for (const auto& [key, value] : members) {
        if (out.size() > 1) out += ',';
        out += JsonText(key) + ":" + value;
    }
    return out + "}";
}

std::string JsonArray(const std::vector<std::string>& values) {
    std::string out = "[";
    for (const std::string& value : values) {
        if (out.size() > 1) out += ',';
        out += value;
    }
    return out + "]";
}
