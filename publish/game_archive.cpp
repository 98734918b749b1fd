#include "publish/game_archive.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "publish/app_manifest.h"
#include "publish/authenticode.h"
#include "publish/pe_version.h"
#include "store/archive.h"
#include "format/windows_names.h"
#include "format/zip_directory.h"

namespace {

constexpr size_t ExecutableHeadSize = 65536;

void AppendExpanded(std::string& out, char c) {
    if (std::isprint(static_cast<unsigned char>(c)) && c != '\\') {
        out.push_back(c);
        return;
    }
    constexpr std::string_view escaped = "\a\b\f\n\r\t\v\\", letters = "abfnrtv\\";
    out.push_back('\\');
    if (const size_t at = escaped.find(c); at != std::string_view::npos) {
        out.push_back(letters[at]);
        return;
    }
    char octal[4];
    std::snprintf(octal, sizeof octal, "%03o", static_cast<unsigned char>(c));
    out += octal;
}

[[noreturn]] void Refuse(const std::string& line, const std::string& why) {
    throw std::runtime_error("The archive entry \"" + line + "\" " + why);
}

// The zip's own records, read as Windows' tar.exe reads them, before
// libarchive reads a byte of data: what follows may only confirm them.
std::vector<ZipEntry> ReadCheckedDirectory(const std::filesystem::path& archive) {
    try {
        return ReadZipDirectory(archive);
    } catch (const ZipRefusal& refusal) {
        throw std::runtime_error(ZipRefusalSentence(refusal));
    }
}

// The names as Windows' tar.exe and NTFS will store them, read from the zip's
// own records (central directory beside each local header), not as this
// machine's libarchive lists them.
GameArchiveFacts CheckWindowsNames(const std::vector<ZipEntry>& entries) {
    if (const std::optional<EntryProblem> problem = FindWindowsEntryProblem(entries)) {
        Refuse(ListingLine(problem->entry), problem->why);
    }
    GameArchiveFacts facts;
    for (const ZipEntry& entry : entries) {
        // Characters as Windows counts them: UTF-16 units.
        size_t units = 0;
        for (const char c : entry.name) {
            const auto byte = static_cast<unsigned char>(c);
            units += (byte & 0xC0) != 0x80 ? 1 : 0;
            units += byte >= 0xF0 ? 1 : 0;
        }
        if (units > LongEntryPathWarning) {
            facts.warnings.push_back(
                "the archive entry \"" + ListingLine(entry.name) + "\" has a path of " +
                std::to_string(units) + " characters; beyond " +
                std::to_string(LongEntryPathWarning) +
                ", a player's storage path in front of it may pass Windows' 260-character limit");
        }
    }
    return facts;
}

// The launcher starts such a game through the shell, so Windows asks the
// player for administrator rights at every start of the game.
std::string ElevationWarning(const std::string& level) {
    const char* who = level == "requireAdministrator" ? "every player"
                      : level == "highestAvailable"
                          ? "every player whose account is an administrator"
                          : nullptr;
    if (who == nullptr) return "";
    return "the game's tessik.exe asks in its manifest to run as administrator (" + level +
           "): " + who +
           " sees a Windows elevation prompt at every start of the game; build it with level "
           "asInvoker unless it needs those rights";
}

}  // namespace

std::string ListingLine(const std::string& name) {
    std::string out;
    std::mbstate_t state{};
    for (size_t at = 0; at < name.size();) {
        wchar_t wide = 0;
        const size_t length = std::mbrtowc(&wide, name.data() + at, name.size() - at, &state);
        if (length == static_cast<size_t>(-1) || length == static_cast<size_t>(-2) || length == 0) {
            state = std::mbstate_t{};
            AppendExpanded(out, name[at++]);
            continue;
        }
        if (std::iswprint(static_cast<wint_t>(wide)) && wide != L'\\') {
            out.append(name, at, length);
        } else {
            for (size_t k = 0; k < length; ++k) AppendExpanded(out, name[at + k]);
        }
        at += length;
    }
    return out;
}

GameArchiveFacts CheckGameArchive(const std::filesystem::path& archive) {
    const std::vector<ZipEntry> entries = ReadCheckedDirectory(archive);
    std::vector<std::string> directoryNames, listedNames;
    for (const ZipEntry& entry : entries) directoryNames.push_back(entry.name);
    std::unique_ptr<struct archive, decltype(&archive_read_free)> reader(archive_read_new(),
                                                                         &archive_read_free);
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_filename(reader.get(), archive.c_str(), 65536) != ARCHIVE_OK) {
        throw std::runtime_error("The archive cannot be read as a zip file");
    }
    const auto damaged = [](const std::string& line) {
        return std::runtime_error("The archive entry \"" + line +
                                  "\" does not unpack to the bytes its records describe (a bad "
                                  "CRC or broken compressed data)");
    };
    std::string listing;
    std::vector<char> buffer(1 << 16);
    size_t executables = 0;
    std::string executableHead;
    uint64_t executableSize = 0;
    std::unique_ptr<AuthenticodeReader> signature;
    ExecutableManifestReader manifest;
    struct archive_entry* entry = nullptr;
    int status;
    std::string line, warned;
    while ((status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK ||
           status == ARCHIVE_WARN) {
        const char* utf8 = archive_entry_pathname_utf8(entry);
        const char* raw = utf8 != nullptr ? utf8 : archive_entry_pathname(entry);
        listedNames.emplace_back(raw == nullptr ? "" : raw);
        line = ListingLine(listedNames.back());
        // A warning means two zip readers may see two builds: refused below,
        // after the rules that say more precisely why.
        if (status == ARCHIVE_WARN && warned.empty()) warned = line;
        listing += line + "\n";
        if (!IsSafeArchiveEntry(line)) {
            throw std::runtime_error("The update archive contains an unsafe path: \"" + line +
                                     "\"");
        }
        if (archive_entry_hardlink(entry) != nullptr || archive_entry_filetype(entry) == AE_IFLNK) {
            Refuse(line, "is a link; the launcher refuses a build that holds links");
        }
        const bool folder = archive_entry_filetype(entry) == AE_IFDIR;
        if (!folder && archive_entry_filetype(entry) != AE_IFREG) {
            Refuse(line, "is neither a file nor a folder");
        }
        const bool executable = line == "tessik.exe";
        if (executable && ++executables > 1) {
            Refuse(line,
                   "appears twice; which copy is unpacked would depend on the archive program");
        }
        // Every byte read, so the zip's CRC is checked as unpacking will.
        for (;;) {
            const la_ssize_t got = archive_read_data(reader.get(), buffer.data(), buffer.size());
            if (got < 0) throw damaged(line);
            if (got == 0) break;
            if (executable) {
                manifest.Add(buffer.data(), static_cast<size_t>(got));
                executableSize += static_cast<uint64_t>(got);
                const size_t head =
                    std::min(static_cast<size_t>(got), ExecutableHeadSize - executableHead.size());
                executableHead.append(buffer.data(), head);
                // Judged as it streams past, once its headers are known.
                if (!signature && executableHead.size() == ExecutableHeadSize) {
                    signature = std::make_unique<AuthenticodeReader>(executableHead);
                    signature->Add(executableHead.data(), executableHead.size());
                }
                if (signature && head < static_cast<size_t>(got)) {
                    signature->Add(buffer.data() + head, static_cast<size_t>(got) - head);
                }
            }
        }
    }
    if (status != ARCHIVE_EOF) throw std::runtime_error("The archive cannot be read to its end");
    // libarchive must list exactly the entries the records name.
    std::sort(directoryNames.begin(), directoryNames.end());
    std::sort(listedNames.begin(), listedNames.end());
    if (directoryNames != listedNames) {
        const auto differ = std::mismatch(directoryNames.begin(), directoryNames.end(),
                                          listedNames.begin(), listedNames.end());
        const std::string& name =
            differ.first != directoryNames.end() ? *differ.first : *differ.second;
        Refuse(ListingLine(name),
               "is listed by libarchive otherwise than the zip's records name it");
    }
    // The launcher's own check of the whole listing, with its own sentence.
    CheckArchiveListing(listing);
    if (executableSize == 0) Refuse("tessik.exe", "is empty");
    if (!IsWindowsProgramHeader(executableHead)) Refuse("tessik.exe", "is not a Windows program");
    GameArchiveFacts facts = CheckWindowsNames(entries);
    if (!warned.empty()) Refuse(warned, "is read by libarchive with a warning");
    facts.executableSignature = signature ? signature->Verdict() : AuthenticodeOf(executableHead);
    const std::string elevation = ElevationWarning(RequestedExecutionLevel(manifest.Manifest()));
    if (!elevation.empty()) facts.warnings.push_back(elevation);
    return facts;
}
