#include "format/json.h"

#include "format/launcher_error.h"
#include "format/utf8.h"

#include <cstdio>
#include <set>

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

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A recursive descent over text already known to be valid UTF-8. Every
// function returns false at the first fault and leaves `at` past what it read.
class StrictJson {
  public:
    explicit StrictJson(std::string_view text) : text_(text) {}

    std::optional<JsonMembers> TopObject() {
        JsonMembers members;
        SkipSpace();
        if (!Object(1, &members)) return std::nullopt;
        SkipSpace();
        if (at_ != text_.size()) return std::nullopt;
        return members;
    }

  private:
    bool Take(char expected) {
        if (at_ >= text_.size() || text_[at_] != expected) return false;
        ++at_;
        return true;
    }

    void SkipSpace() {
        while (at_ < text_.size() && IsJsonSpace(text_[at_])) ++at_;
    }

    bool Word(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    // Four hex digits after "\u".
    std::optional<char32_t> Hex4() {
        if (text_.size() - at_ < 4) return std::nullopt;
        char32_t unit = 0;
        for (int k = 0; k < 4; ++k) {
            const int digit = HexDigit(text_[at_++]);
            if (digit < 0) return std::nullopt;
            unit = unit << 4 | static_cast<char32_t>(digit);
        }
        return unit;
    }

    bool String(std::string& out) {
        if (!Take('"')) return false;
        while (at_ < text_.size()) {
            const char byte = text_[at_++];
            if (byte == '"') return true;
            if (static_cast<unsigned char>(byte) < 0x20) return false;
            if (byte != '\\') {
                out.push_back(byte);
                continue;
            }
            if (at_ == text_.size()) return false;
            const char letter = text_[at_++];
            if (letter != 'u') {
                const char unescaped = UnescapedByte(letter);
                if (unescaped == 0) return false;
                out.push_back(unescaped);
                continue;
            }
            std::optional<char32_t> point = Hex4();
            if (!point || (*point >= 0xDC00 && *point <= 0xDFFF)) return false;
            if (*point >= 0xD800 && *point <= 0xDBFF) {
                // A high surrogate counts only with the low one right after it.
                if (!Word("\\u")) return false;
                const std::optional<char32_t> low = Hex4();
                if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
                point = 0x10000 + ((*point - 0xD800) << 10) + (*low - 0xDC00);
            }
            AppendUtf8(out, *point);
        }
        return false;
    }

    bool Digits() {
        const size_t start = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
        return at_ > start;
    }

    bool Number() {
        Take('-');
        if (!Take('0') && !Digits()) return false;
        if (Take('.') && !Digits()) return false;
        if (Take('e') || Take('E')) {
            if (!Take('+')) Take('-');
            if (!Digits()) return false;
        }
        return true;
    }

    // One value; a string's text goes to `string` when it is given.
    bool Value(int depth, std::string* string) {
        if (at_ >= text_.size()) return false;
        switch (text_[at_]) {
            case '"': {
                std::string ignored;
                return String(string ? *string : ignored);
            }
            case '{':
                return Object(depth + 1, nullptr);
            case '[':
                return Array(depth + 1);
            case 't':
                return Word("true");
            case 'f':
                return Word("false");
            case 'n':
                return Word("null");
            default:
                return Number();
        }
    }

    bool Array(int depth) {
        if (depth > JsonDepthLimit || !Take('[')) return false;
        SkipSpace();
        if (Take(']')) return true;
        do {
            SkipSpace();
            if (!Value(depth, nullptr)) return false;
            SkipSpace();
        } while (Take(','));
        return Take(']');
    }

    // The members go to `members` for the top level; nested objects are only
    // checked, their names too.
    bool Object(int depth, JsonMembers* members) {
        if (depth > JsonDepthLimit || !Take('{')) return false;
        std::set<std::string> names;
        SkipSpace();
        if (Take('}')) return true;
        do {
            SkipSpace();
            std::string name;
            if (!String(name)) return false;
            SkipSpace();
            if (!Take(':')) return false;
            SkipSpace();
            const bool isString = at_ < text_.size() && text_[at_] == '"';
            std::string value;
            if (!Value(depth, &value)) return false;
            SkipSpace();
            if (!names.insert(name).second) return false;
            if (members) {
                members->emplace(std::move(name), isString
                                                      ? std::optional<std::string>(std::move(value))
                                                      : std::nullopt);
            }
        } while (Take(','));
        return Take('}');
    }

    std::string_view text_;
    size_t at_ = 0;
};

}  // namespace

std::optional<JsonMembers> ReadJsonObject(std::string_view text) {
    if (!IsValidUtf8(text)) return std::nullopt;
    return StrictJson(text).TopObject();
}

std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte >= 0x20) {
            out.push_back(c);
        } else if (const char* shortForm = c == '\b'   ? "\\b"
                                           : c == '\f' ? "\\f"
                                           : c == '\n' ? "\\n"
                                           : c == '\r' ? "\\r"
                                           : c == '\t' ? "\\t"
                                                       : nullptr) {
            out += shortForm;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        }
    }
    return out + "\"";
}
