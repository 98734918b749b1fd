#include "publish/publish.h"

#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <vector>

#include "publish/pe_version.h"
#include "store/archive.h"
#include "base/text.h"
#include "store/version_name.h"

namespace fs = std::filesystem;

namespace {

constexpr char GameManifestPath[] = "release/windows-x86_64-manifest.json";
constexpr char LauncherManifestPath[] = "release/windows-launcher-x86_64-manifest.json";
constexpr char LauncherFileName[] = "TESSIK-Launcher-Windows-x64.exe";

std::string ReadWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("Cannot read " + file.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The same escaping the launcher's reader undoes.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

void RequireSafeVersion(const std::string& version) {
    try {
        if (IsSafeVersionName(Utf8ToUtf16(version))) return;
    } catch (const std::exception&) {
    }
    throw std::runtime_error("The version \"" + version +
                             "\" cannot name a build folder; use dotted numbers such as 1.0.2");
}

std::string BaseUrl(const std::string& baseUrl) {
    if (baseUrl.rfind("https://", 0) != 0)
        throw std::runtime_error("The base URL must begin with https://");
    return baseUrl.back() == '/' ? baseUrl.substr(0, baseUrl.size() - 1) : baseUrl;
}

// Written under a temporary name in the same folder, then renamed over.
void WriteAtomically(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    const fs::path temporary = file.string() + ".tmp-" + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            fs::remove(temporary);
            throw std::runtime_error("Cannot write " + file.string());
        }
    }
    fs::rename(temporary, file);
}

Published Publish(const fs::path& source, const std::string& version, const std::string& executable,
                  const std::string& stem, const std::string& extension, const char* manifestPath,
                  const std::string& baseUrl, const fs::path& out) {
    const std::string base = BaseUrl(baseUrl);
    Published result;
    result.sha256 = Sha256OfFile(source);
    const std::string relative = "builds/" + stem + "-" + version + "-" + result.sha256 + extension;
    result.file = out / relative;
    result.url = base + "/" + relative;
    result.manifest = out / manifestPath;
    // The file first, the manifest last: a launcher never reads a manifest
    // whose file is not there yet.
    if (!fs::exists(result.file)) WriteAtomically(result.file, ReadWhole(source));
    const std::string manifest =
        "{\"version\":" + JsonString(version) +
        ",\"platform\":\"windows-x86_64\",\"url\":" + JsonString(result.url) +
        ",\"sha256\":" + JsonString(result.sha256) + ",\"executable\":" + JsonString(executable) +
        "}\n";
    WriteAtomically(result.manifest, manifest);
    return result;
}

}  // namespace

std::string Sha256OfFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("Cannot read " + file.string());
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(in.gcount()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 0x0F]);
    }
    return text;
}

void CheckGameArchive(const fs::path& archive) {
    std::unique_ptr<struct archive, decltype(&archive_read_free)> reader(archive_read_new(),
                                                                         &archive_read_free);
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_filename(reader.get(), archive.c_str(), 65536) != ARCHIVE_OK) {
        throw std::runtime_error("The archive cannot be read as a zip file");
    }
    // The launcher checks the names that tar lists; this lists them the same
    // way, one per line, and applies the launcher's own check to the listing.
    std::string listing;
    struct archive_entry* entry = nullptr;
    int status;
    while ((status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        const char* name = archive_entry_pathname(entry);
        listing += std::string(name == nullptr ? "" : name) + "\n";
        if (archive_read_data_skip(reader.get()) != ARCHIVE_OK) {
            throw std::runtime_error("The archive is damaged");
        }
    }
    if (status != ARCHIVE_EOF) throw std::runtime_error("The archive is damaged");
    try {
        CheckArchiveListing(listing);
    } catch (const std::exception& refusal) {
        // The launcher's own sentence, so the two can be matched.
        throw std::runtime_error(refusal.what());
    }
}

std::string LauncherVersionOf(const fs::path& executable) {
    const ExecutableFacts facts = ReadExecutableFacts(ReadWhole(executable));
    if (!facts.pe32Plus || !facts.guiSubsystem) {
        throw std::runtime_error("The file is not a 64-bit Windows GUI executable");
    }
    const auto original = facts.versionStrings.find("OriginalFilename");
    if (original == facts.versionStrings.end() || original->second != LauncherFileName) {
        throw std::runtime_error(std::string("The executable's original file name is not ") +
                                 LauncherFileName);
    }
    const auto version = facts.versionStrings.find("FileVersion");
    if (version == facts.versionStrings.end() || version->second.empty()) {
        throw std::runtime_error("The executable has no version text");
    }
    return version->second;
}

Published PublishGame(const fs::path& archive, const std::string& version,
                      const std::string& baseUrl, const fs::path& out) {
    RequireSafeVersion(version);
    CheckGameArchive(archive);
    return Publish(archive, version, "tessik.exe", "tessik", ".zip", GameManifestPath, baseUrl,
                   out);
}

Published PublishLauncher(const fs::path& executable, const std::string& baseUrl,
                          const fs::path& out) {
    const std::string version = LauncherVersionOf(executable);
    RequireSafeVersion(version);
    return Publish(executable, version, LauncherFileName, "TESSIK-Launcher-Windows-x64", ".exe",
                   LauncherManifestPath, baseUrl, out);
}
