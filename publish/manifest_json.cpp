#include "publish/manifest_json.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "base/json_field.h"
#include "store/build_index.h"

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

std::string ManifestJson(const ManifestFields& fields) {
    return "{\"version\":" + JsonString(fields.version) +
           ",\"platform\":\"windows-x86_64\",\"url\":" + JsonString(fields.url) +
           ",\"sha256\":" + JsonString(fields.sha256) +
           ",\"executable\":" + JsonString(fields.executable) +
           (fields.buildIndex.empty()
                ? ""
                : ",\"" + std::string(BuildIndexKey) + "\":" + JsonString(fields.buildIndex)) +
           (fields.signature.empty() ? "" : ",\"signature\":" + JsonString(fields.signature)) +
           "}\n";
}

std::optional<ManifestFields> ReadManifestFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ManifestFields fields;
    fields.version = ReadJsonStringField(text, "version", true);
    fields.url = ReadJsonStringField(text, "url", true);
    fields.sha256 = ReadJsonStringField(text, "sha256", true);
    fields.executable = ReadJsonStringField(text, "executable", false);
    fields.signature = ReadJsonStringField(text, "signature", false);
    fields.buildIndex = ReadJsonStringField(text, BuildIndexKey, false);
    return fields;
}
