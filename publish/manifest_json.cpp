#include "publish/manifest_json.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "base/json_field.h"
#include "base/manifest_keys.h"
#include "base/manifest_signing_text.h"

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                // The launcher's reader has no \u escape.
                if (static_cast<unsigned char>(c) < 0x20) {
                    throw std::runtime_error("A manifest value holds a control character");
                }
                out.push_back(c);
        }
    }
    return out + "\"";
}

namespace {

// `,"key":"value"`, or nothing for an empty value.
std::string OptionalKey(const char* key, const std::string& value) {
    return value.empty() ? "" : ",\"" + std::string(key) + "\":" + JsonString(value);
}

}  // namespace

std::string ManifestJson(const ManifestFields& fields) {
    // Further keys after the four, the signatures last.
    return "{\"version\":" + JsonString(fields.version) +
           ",\"platform\":\"windows-x86_64\",\"url\":" + JsonString(fields.url) +
           ",\"sha256\":" + JsonString(fields.sha256) +
           ",\"executable\":" + JsonString(fields.executable) +
           (fields.byteRanges
                ? std::string(",\"") + ByteRangesKey + "\":" + JsonString(ByteRangesValue)
                : std::string()) +
           OptionalKey(BuildIndexKey, fields.buildIndex) +
           OptionalKey(KeepBuildsKey, fields.keepBuilds) +
           OptionalKey("sequence", fields.sequence) + OptionalKey("expires", fields.expires) +
           OptionalKey(FourValueSignatureKey, fields.signature) +
           OptionalKey(FullSignatureKey, fields.fullSignature) + "}\n";
}

ManifestFields ParseManifestText(const std::string& text) {
    ManifestFields fields;
    fields.version = ReadJsonStringField(text, "version", true);
    fields.url = ReadJsonStringField(text, "url", true);
    fields.sha256 = ReadJsonStringField(text, "sha256", true);
    fields.executable = ReadJsonStringField(text, "executable", false);
    fields.sequence = ReadJsonStringField(text, "sequence", false);
    fields.expires = ReadJsonStringField(text, "expires", false);
    fields.byteRanges = ReadJsonStringField(text, ByteRangesKey, false) == ByteRangesValue;
    fields.signature = ReadJsonStringField(text, FourValueSignatureKey, false);
    fields.fullSignature = ReadJsonStringField(text, FullSignatureKey, false);
    fields.buildIndex = ReadJsonStringField(text, BuildIndexKey, false);
    fields.keepBuilds = ReadJsonStringField(text, KeepBuildsKey, false);
    return fields;
}

std::optional<std::string> ReadManifestText(const std::filesystem::path& file) {
    std::error_code error;
    if (!std::filesystem::exists(file, error) && !error) return std::nullopt;
    // A manifest that is there but cannot be read is not "no manifest".
    std::ifstream in(file, std::ios::binary);
    std::string text;
    if (in && !std::filesystem::is_directory(file, error)) {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (!in || text.empty()) throw std::runtime_error("The manifest cannot be read");
    return text;
}

std::optional<ManifestFields> ReadManifestFile(const std::filesystem::path& file) {
    const std::optional<std::string> text = ReadManifestText(file);
    if (!text) return std::nullopt;
    return ParseManifestText(*text);
}
