#include "format/manifest_object.h"

#include <iterator>
#include <optional>

#include "format/launcher_error.h"
#include "format/manifest_keys.h"
#include "format/manifest_signing_text.h"

std::string StringMember(const ManifestObject& object, const std::string& name) {
    const auto member = object.find(name);
    return member != object.end() && member->second ? *member->second : std::string();
}

namespace {

// The keys beyond the four: only ever from a strict object.
void ReadFurtherKeys(const ManifestObject& object, ManifestFields& fields) {
    fields.sequence = StringMember(object, "sequence");
    fields.expires = StringMember(object, "expires");
    fields.byteRanges = StringMember(object, ByteRangesKey) == ByteRangesValue;
    fields.signature = StringMember(object, FourValueSignatureKey);
    fields.fullSignature = StringMember(object, FullSignatureKey);
    fields.secondFullSignature = StringMember(object, SecondFullSignatureKey);
    fields.buildIndex = StringMember(object, BuildIndexKey);
    fields.keepBuilds = StringMember(object, KeepBuildsKey);
}

// The four keys in their order, each read by `readFour(key, required)`.
template <typename Read>
ManifestFields ReadFourKeys(const Read& readFour,
                            const std::function<void(const std::string&)>& urlRead) {
    ManifestFields fields;
    fields.version = readFour("version", true);
    fields.url = readFour("url", true);
    if (urlRead) urlRead(fields.url);
    fields.sha256 = readFour("sha256", true);
    fields.executable = readFour("executable", false);
    return fields;
}

}  // namespace

ManifestFields ManifestFieldsOf(const ManifestObject& object,
                                const std::function<void(const std::string&)>& urlRead) {
    const auto readFour = [&](const char* key, bool required) {
        const auto member = object.find(key);
        if (member == object.end()) {
            if (required) {
                throw LauncherError(("The update manifest is missing " + std::string(key)).c_str());
            }
            return std::string();
        }
        if (!member->second) throw LauncherError("The update manifest is malformed");
        return *member->second;
    };
    ManifestFields fields = ReadFourKeys(readFour, urlRead);
    ReadFurtherKeys(object, fields);
    return fields;
}

ManifestFields ReadManifestFields(const std::string& text, bool keyed,
                                  const std::function<void(const std::string&)>& urlRead) {
    const std::optional<ManifestObject> object = ReadJsonObject(text);
    if (keyed) {
        if (!object) throw LauncherError("The update manifest is malformed");
        return ManifestFieldsOf(*object, urlRead);
    }
    ManifestFields fields = ReadFourKeys(
        [&](const char* key, bool required) { return ReadJsonStringField(text, key, required); },
        urlRead);
    if (object) ReadFurtherKeys(*object, fields);
    return fields;
}

namespace {

using FieldValue = std::string (*)(const ManifestFields&);
struct ManifestKey {
    const char* name;
    FieldValue value;
};

// Every key in the order written. A new key is a field of ManifestFields, a
// line here and one in ReadManifestFields.
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
        // Without control characters, every launcher shipped reads the text
        // back: the escaper then writes no \u, which the key lookup refuses.
        if (HoldsControlCharacter(value)) {
            throw LauncherError((std::string("The manifest's ") + ManifestKeys[i].name +
                                 " holds a control character, which a signed manifest "
                                 "cannot carry")
                                    .c_str());
        }
        text += text.empty() ? '{' : ',';
        text += JsonText(ManifestKeys[i].name) + ':' + JsonText(value);
    }
    return text + "}\n";
}
