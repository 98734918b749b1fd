#include "publish/manifest_json.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "format/json.h"
#include "format/manifest_keys.h"
#include "format/manifest_signing_text.h"

std::string JsonString(const std::string& text) {
    if (HoldsControlCharacter(text)) {
        throw std::runtime_error("A manifest value holds a control character");
    }
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

namespace {

using FieldValue = std::string (*)(const ManifestFields&);
struct ManifestKey {
    const char* name;
    FieldValue value;
};

// Every key in the order written: the four and "platform" always, each
// further key only with a value, the signatures last. A new key is one line.
constexpr ManifestKey ManifestKeys[] = {
    {"version", [](const ManifestFields& f) { return f.version; }},
    {"platform", [](const ManifestFields&) { return std::string("windows-x86_64"); }},
    {"url", [](const ManifestFields& f) { return f.url; }},
    {"sha256", [](const ManifestFields& f) { return f.sha256; }},
    {"executable", [](const ManifestFields& f) { return f.executable; }},
    {ByteRangesKey,
     [](const ManifestFields& f) { return std::string(f.byteRanges ? ByteRangesValue : ""); }},
    {BuildIndexKey, [](const ManifestFields& f) { return f.buildIndex; }},
    {KeepBuildsKey, [](const ManifestFields& f) { return f.keepBuilds; }},
    {"sequence", [](const ManifestFields& f) { return f.sequence; }},
    {"expires", [](const ManifestFields& f) { return f.expires; }},
    {FourValueSignatureKey, [](const ManifestFields& f) { return f.signature; }},
    {FullSignatureKey, [](const ManifestFields& f) { return f.fullSignature; }},
    {SecondFullSignatureKey, [](const ManifestFields& f) { return f.secondFullSignature; }},
};
constexpr size_t AlwaysWritten = 5;

}  // namespace

std::string ManifestJson(const ManifestFields& fields) {
    std::string text;
    for (size_t i = 0; i < std::size(ManifestKeys); ++i) {
        const std::string value = ManifestKeys[i].value(fields);
        if (value.empty() && i >= AlwaysWritten) continue;
        if (HoldsControlCharacter(value)) {
            throw std::runtime_error(std::string("The manifest's ") + ManifestKeys[i].name +
                                     " holds a control character, which a signed manifest "
                                     "cannot carry");
        }
        text += (text.empty() ? "{\"" : ",\"") + std::string(ManifestKeys[i].name) +
                "\":" + JsonString(value);
    }
    return text + "}\n";
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
    fields.secondFullSignature = ReadJsonStringField(text, SecondFullSignatureKey, false);
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
