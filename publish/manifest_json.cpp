#include "publish/manifest_json.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

ManifestFields ParseManifestText(const std::string& text) {
    return ReadManifestFields(text, false);
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
