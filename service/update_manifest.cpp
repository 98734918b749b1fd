#include "service/update_manifest.h"

#include <algorithm>
#include <cctype>

#include "app/launcher_error.h"
#include "store/storage.h"

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

UpdateManifest ParseUpdateManifest(const std::string& text, const std::string& expectedExecutable) {
    UpdateManifest manifest;
    manifest.version = ReadJsonStringField(text, "version", true);
    manifest.url = Utf8ToUtf16(ReadJsonStringField(text, "url", true));
    manifest.sha256 = ReadJsonStringField(text, "sha256", true);
    manifest.executable = ReadJsonStringField(text, "executable", false);
    if (manifest.executable.empty()) {
        manifest.executable = "tessik.exe";
    }

    std::transform(
        manifest.sha256.begin(), manifest.sha256.end(), manifest.sha256.begin(),
        [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    const bool hexDigest = manifest.sha256.size() == 64 &&
                           std::all_of(manifest.sha256.begin(), manifest.sha256.end(), [](char c) {
                               return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                           });
    if (!hexDigest) {
        throw LauncherError("The update manifest has an invalid SHA-256 digest");
    }
    if (manifest.url.compare(0, 8, L"https://") != 0) {
        throw LauncherError("The update manifest does not use HTTPS");
    }
    if (manifest.executable != expectedExecutable) {
        throw LauncherError("The update manifest names an unexpected executable");
    }
    return manifest;
}
