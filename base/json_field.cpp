#include "base/json_field.h"

#include "base/launcher_error.h"

namespace {

// The byte that a JSON escape letter stands for, or 0 for an unsupported one.
char UnescapedByte(char letter) {
    switch (letter) {
        case '"':
            return '"';
        case '\\':
            return '\\';
        case '/':
            return '/';
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        default:
            return 0;
    }
}

}  // namespace

std::string ReadJsonStringField(const std::string& text, const std::string& key, bool required) {
    const std::string needle = '"' + key + '"';
    const size_t keyAt = text.find(needle);
    if (keyAt == std::string::npos) {
        if (required) {
            throw LauncherError(("The update manifest is missing " + key).c_str());
        }
        return {};
    }
    const size_t colon = text.find(':', keyAt + needle.size());
    if (colon == std::string::npos) {
        throw LauncherError("The update manifest is malformed");
    }
    const size_t open = text.find('"', colon + 1);
    if (open == std::string::npos) {
        throw LauncherError("The update manifest is malformed");
    }

    std::string value;
    for (size_t at = open + 1; at < text.size(); ++at) {
        const char byte = text[at];
        if (byte == '"') {
            return value;
        }
        if (byte != '\\') {
            value.push_back(byte);
            continue;
        }
        if (++at == text.size()) {
            break;  // a backslash as the last byte leaves the value open
        }
        const char unescaped = UnescapedByte(text[at]);
        if (unescaped == 0) {
            throw LauncherError("The update manifest contains an unsupported escape");
        }
        value.push_back(unescaped);
    }
    throw LauncherError("The update manifest contains an unterminated string");
}
