#include "format/json.h"

#include "format/launcher_error.h"

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

namespace {

bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// One strict JSON string from `at` (its opening quote) on; leaves `at` after
// its closing quote.
std::optional<std::string> ReadStrictString(const std::string& text, size_t& at) {
    if (at >= text.size() || text[at] != '"') return std::nullopt;
    std::string value;
    for (++at; at < text.size(); ++at) {
        const char byte = text[at];
        if (byte == '"') {
            ++at;
            return value;
        }
        if (static_cast<unsigned char>(byte) < 0x20) return std::nullopt;
        if (byte != '\\') {
            value.push_back(byte);
            continue;
        }
        if (++at == text.size()) break;
        const char unescaped = UnescapedByte(text[at]);
        if (unescaped == 0) return std::nullopt;
        value.push_back(unescaped);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::map<std::string, std::string>> ReadFlatJsonObject(const std::string& text) {
    size_t at = 0;
    const auto skipSpace = [&] {
        while (at < text.size() && IsJsonSpace(text[at])) ++at;
    };
    const auto take = [&](char expected) {
        skipSpace();
        if (at >= text.size() || text[at] != expected) return false;
        ++at;
        return true;
    };
    std::map<std::string, std::string> object;
    if (!take('{')) return std::nullopt;
    skipSpace();
    if (!take('}')) {
        do {
            skipSpace();
            std::optional<std::string> key = ReadStrictString(text, at);
            if (!key || !take(':')) return std::nullopt;
            skipSpace();
            std::optional<std::string> value = ReadStrictString(text, at);
            if (!value || !object.emplace(std::move(*key), std::move(*value)).second) {
                return std::nullopt;
            }
        } while (take(','));
        if (!take('}')) return std::nullopt;
    }
    skipSpace();
    if (at != text.size()) return std::nullopt;
    return object;
}
