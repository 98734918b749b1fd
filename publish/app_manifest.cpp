#include "publish/app_manifest.h"

#include <utility>

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The markup as ASCII: every name and value this reader looks for is ASCII,
// so a UTF-16 text keeps its ASCII units and marks the others.
std::string MarkupText(const std::string& bytes) {
    const bool little = bytes.compare(0, 2, "\xFF\xFE") == 0;
    if (!little && bytes.compare(0, 2, "\xFE\xFF") != 0) return bytes;
    std::string text;
    for (size_t at = 2; at + 1 < bytes.size(); at += 2) {
        const auto low = static_cast<unsigned char>(bytes[at + (little ? 0 : 1)]);
        const auto high = static_cast<unsigned char>(bytes[at + (little ? 1 : 0)]);
        text.push_back(high == 0 && low < 0x80 ? static_cast<char>(low) : '?');
    }
    return text;
}

std::string LocalName(const std::string& name) {
    const size_t colon = name.rfind(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

}  // namespace

std::string RequestedExecutionLevel(const std::string& manifest) {
    const std::string text = MarkupText(manifest);
    const size_t end = text.size();
    size_t at = text.find('<');
    while (at != std::string::npos) {
        // Markup that holds no element: skipped whole.
        for (const auto& [open, close] : {std::pair<const char*, const char*>{"<!--", "-->"},
                                          {"<![CDATA[", "]]>"},
                                          {"<?", "?>"}}) {
            const size_t length = std::char_traits<char>::length(open);
            if (text.compare(at, length, open) != 0) continue;
            const size_t closed = text.find(close, at + length);
            if (closed == std::string::npos) return "";
            at = closed;
            break;
        }
        if (text[at] != '<') {
            at = text.find('<', at);
            continue;
        }
        size_t pos = at + 1;
        while (pos < end && !IsSpace(text[pos]) && text[pos] != '>' && text[pos] != '/') ++pos;
        const bool wanted =
            LocalName(text.substr(at + 1, pos - at - 1)) == "requestedExecutionLevel";
        // Its attributes, each name="value" or name='value', up to the tag's end.
        while (pos < end && text[pos] != '>') {
            if (IsSpace(text[pos]) || text[pos] == '/') {
                ++pos;
                continue;
            }
            const size_t nameAt = pos;
            while (pos < end && !IsSpace(text[pos]) && text[pos] != '=' && text[pos] != '>' &&
                   text[pos] != '/') {
                ++pos;
            }
            const std::string name = text.substr(nameAt, pos - nameAt);
            while (pos < end && IsSpace(text[pos])) ++pos;
            if (pos >= end || text[pos] != '=') continue;
            ++pos;
            while (pos < end && IsSpace(text[pos])) ++pos;
            if (pos >= end || (text[pos] != '"' && text[pos] != '\'')) continue;
            const size_t closed = text.find(text[pos], pos + 1);
            if (closed == std::string::npos) return "";
            if (wanted && LocalName(name) == "level") return text.substr(pos + 1, closed - pos - 1);
            pos = closed + 1;
        }
        at = text.find('<', pos);
    }
    return "";
}
