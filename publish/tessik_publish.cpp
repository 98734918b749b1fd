// tessik-publish: the studio's release tool. See Usage below and the README.
#include <clocale>
#include <cstdio>
#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "publish/keep_builds.h"
#include "publish/publish.h"
#include "publish/published_builds.h"
#include "publish/release_files.h"
#include "publish/release_lock.h"
#include "publish/report_json.h"

namespace {

constexpr char Usage[] =
    "usage:\n"
    "  tessik-publish game ARCHIVE --version V --base-url URL --out DIR [--force] [--dry-run]\n"
    "                 [--no-byte-ranges] [--signing-key KEY.pem [--expires-in DAYS]]\n"
    "                 [--patches N] [--patch-limit PERCENT] [--keep-builds N|all]\n"
    "  tessik-publish launcher EXE --base-url URL --out DIR [--force] [--dry-run]\n"
    "                 [--no-byte-ranges] [--signing-key KEY.pem [--expires-in DAYS]]\n"
    "  tessik-publish promote DIR --version V [--launcher] [--base-url URL] [--force]\n"
    "                 [--dry-run] [--no-byte-ranges] [--signing-key KEY.pem [--expires-in DAYS]]\n"
    "                 [--keep-builds N|all]\n"
    "  tessik-publish rollback DIR --version V [--launcher] [--base-url URL] [--force]\n"
    "                 [--dry-run] [--no-byte-ranges] [--signing-key KEY.pem [--expires-in DAYS]]\n"
    "                 [--keep-builds N|all]\n"
    "  tessik-publish status DIR [--public-key KEY.pem]\n"
    "  tessik-publish status [DIR] --url URL [--public-key KEY.pem] [--ca-file CA.pem]\n"
    "  tessik-publish prune DIR --keep N [--dry-run]\n"
    "  tessik-publish upload-order DIR\n"
    "  tessik-publish --version | --help\n"
    "Every command also takes --json (one JSON object on standard output, for CI).\n"
    "game      checks the zip as the launcher will, and reads every entry's data\n"
    "          (a bad CRC or a cut archive is refused); refuses links, special\n"
    "          entries, a missing, doubled, empty or non-Windows tessik.exe, a\n"
    "          version that cannot name one folder, and every entry name that\n"
    "          Windows' tar.exe and NTFS would store otherwise (see the README);\n"
    "          warns about entry paths over 160 characters and a tessik.exe whose\n"
    "          manifest asks to run as administrator. Copies the zip once,\n"
    "          taking its SHA-256 as it goes, to DIR/builds/tessik-V-<sha256>.zip,\n"
    "          then writes DIR/release/windows-x86_64-manifest.json. Beside the build\n"
    "          it writes its index (every file's path, size and SHA-256) and, from\n"
    "          each of the N newest earlier builds in DIR/builds/ (--patches, 3\n"
    "          unless given, 0 for none; the live build first), a patch zip holding\n"
    "          the new or changed files, each whole as the build stores them or as\n"
    "          the bytes that changed against any earlier file, if smaller; both\n"
    "          named by their SHA-256, which the manifest and the index carry. A\n"
    "          patch over --patch-limit PERCENT of the archive (50) is skipped.\n"
    "          ARCHIVE may be a build folder: it is written as a zip, the same\n"
    "          bytes for the same folder, and judged as one.\n"
    "launcher  reads the executable's own version record (version, update host,\n"
    "          release key) and Authenticode signature, checks it is the 64-bit GUI\n"
    "          launcher that reads its manifests at the base URL, and that its\n"
    "          release key is --signing-key's; copies it to DIR/builds/ and writes\n"
    "          DIR/release/windows-launcher-x86_64-manifest.json. Sign it before.\n"
    "promote,  re-point the game's (or with --launcher the launcher's) manifest at\n"
    "rollback  the build of version V already in DIR/builds/, verified first.\n"
    "status    what each manifest names (version, digest, size, address), whether\n"
    "          that build is there and matches its digest, and whether the manifest\n"
    "          is signed, its sequence and expiry (an expiry past or within a day\n"
    "          fails); with --public-key, whether that key verifies it. Reports\n"
    "          partial copies left by killed runs, builds no manifest ever named\n"
    "          (a publish that did not finish), and index and patch files no\n"
    "          build needs (the next writing command removes them). Fails (exit 1)\n"
    "          for a missing folder, an unreadable manifest, or a build, index or\n"
    "          patch that is not whole.\n"
    "          With --url (the base URL), reads both manifests from there as a\n"
    "          launcher does and fetches each build, its index and patches whole:\n"
    "          each must answer 200, immutable, with its digest; with DIR, each\n"
    "          manifest served must be DIR's. --ca-file replaces the system's\n"
    "          trusted roots.\n"
    "prune     removes builds that no manifest names, keeping the N newest of each\n"
    "          kind besides the live ones, with the index of each removed game\n"
    "          build and the patches that lead to it; removes nothing while a\n"
    "          manifest cannot be read.\n"
    "upload-order  what to copy to object storage or a CDN origin, in order (builds\n"
    "          with their patches and indexes, then manifests, then removals) with\n"
    "          each file's headers.\n"
    "URL is the https address at which DIR is served: https://, a host, an\n"
    "optional port and path, nothing else. Builds and manifests are written through\n"
    "flushed temporary files in DIR/.incoming/ and renamed into place, builds\n"
    "first; nothing is written for a refused input. --force publishes a version\n"
    "again with other bytes, an older launcher, a launcher built for another\n"
    "address, a game older than the live one, an unsigned manifest over a signed\n"
    "one, or a launcher whose release key is not the signing key's, each with a\n"
    "warning. --dry-run checks everything and writes nothing (it takes no lock).\n"
    "One writing command at a time: game, launcher, promote, rollback and prune\n"
    "hold DIR/.lock while they run; another is refused until it ends.\n"
    "--signing-key signs every manifest written with the studio's ECDSA P-256\n"
    "private key (PEM), for launchers built with TESSIK_RELEASE_PUBLIC_KEY; keep\n"
    "that key off the update host. A signed manifest carries a sequence higher\n"
    "than the live one's and than any before it; --expires-in DAYS also makes it\n"
    "expire that many days later (re-sign before then). Manifests say that the\n"
    "host serves byte ranges of the builds, so launchers resume a broken download;\n"
    "--no-byte-ranges leaves that out for a host that does not (game, launcher,\n"
    "promote, rollback).\n"
    "--keep-builds N (1 to 999) has players' launchers keep the N newest stored\n"
    "builds of the game (and always the one they run) and remove older ones\n"
    "before the game starts; without it every build stays on their disks. A later\n"
    "game, promote or rollback without the option keeps the live manifest's\n"
    "value; --keep-builds all removes it (game, promote, rollback).\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct CommandLine {
    std::string command;
    std::string subject;  // the archive, the executable or the folder
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
};

CommandLine Parse(const std::vector<std::string>& args) {
    // Per command: the options that take a value, and the flags.
    static const std::map<std::string, std::pair<std::set<std::string>, std::set<std::string>>>
        commands = {
            {"game",
             {{"--version", "--base-url", "--out", "--signing-key", "--expires-in", "--patches",
               "--patch-limit", "--keep-builds"},
              {"--force", "--dry-run", "--no-byte-ranges"}}},
            {"launcher",
             {{"--base-url", "--out", "--signing-key", "--expires-in"},
              {"--force", "--dry-run", "--no-byte-ranges"}}},
            {"promote",
             {{"--version", "--base-url", "--signing-key", "--expires-in", "--keep-builds"},
              {"--launcher", "--force", "--dry-run", "--no-byte-ranges"}}},
            {"rollback",
             {{"--version", "--base-url", "--signing-key", "--expires-in", "--keep-builds"},
              {"--launcher", "--force", "--dry-run", "--no-byte-ranges"}}},
            {"status", {{"--public-key", "--url", "--ca-file"}, {}}},
            {"prune", {{"--keep"}, {"--dry-run"}}},
            {"upload-order", {{}, {}}},
        };
    static const std::map<std::string, std::vector<std::string>> required = {
        {"game", {"--version", "--base-url", "--out"}},
        {"launcher", {"--base-url", "--out"}},
        {"promote", {"--version"}},
        {"rollback", {"--version"}},
        {"prune", {"--keep"}},
    };
    CommandLine line;
    if (args.empty()) throw UsageError("no command given");
    line.command = args[0];
    const auto known = commands.find(line.command);
    if (known == commands.end()) throw UsageError("unknown command \"" + line.command + "\"");
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (known->second.second.count(arg) != 0) {
            line.flags.insert(arg);
        } else if (known->second.first.count(arg) != 0) {
            if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
            if (line.values.count(arg) != 0) throw UsageError(arg + " is given twice");
            line.values[arg] = args[++i];
        } else if (arg.rfind("-", 0) == 0) {
            throw UsageError(line.command + " has no option " + arg);
        } else if (line.subject.empty()) {
            line.subject = arg;
        } else {
            throw UsageError("unexpected argument \"" + arg + "\"");
        }
    }
    if (line.subject.empty() && !(line.command == "status" && line.values.count("--url") != 0)) {
        throw UsageError(line.command + " needs " +
                         (line.command == "game"       ? "the ARCHIVE"
                          : line.command == "launcher" ? "the EXE"
                                                       : "the release folder DIR"));
    }
    const auto needs = required.find(line.command);
    if (needs != required.end()) {
        for (const std::string& option : needs->second) {
            if (line.values.count(option) == 0) throw UsageError(line.command + " needs " + option);
        }
    }
    return line;
}

int Count(const std::string& text, const char* usage) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        throw UsageError(usage);
    }
    return std::stoi(text);
}

// Days until a signed manifest expires; 0 when the option is not given.
int ExpiryDays(const std::string& text, bool signing) {
    if (text.empty()) return 0;
    if (!signing) throw UsageError("--expires-in needs --signing-key");
    if (text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(text) == 0) {
        throw UsageError("--expires-in needs a number of days from 1 to 9999, such as 90");
    }
    return std::stoi(text);
}

// What killed or failed runs and removed builds left in "builds/", removed
// under the lock as ".incoming/" is; nothing while a manifest cannot be read.
// The builds of publishes that did not finish go first, each said so, then
// (unless prune removes them itself) the orphans, theirs among them.
void SweepOrphans(const std::filesystem::path& folder, bool orphans, Report& report) {
    std::vector<std::string> removed;
    try {
        if (std::filesystem::is_directory(folder / "builds")) {
            StartPublishedBuilds(folder, report.warnings);
        }
        const FolderFiles files = ReadFolderFiles(folder);
        for (const std::string& name : files.leftovers) {
            std::filesystem::remove(folder / "builds" / name);
            report.warnings.push_back("removed builds/" + name +
                                      ", left by a publish that did not finish (no manifest "
                                      "ever named it)");
        }
        if (orphans) removed = RemoveOrphans(folder, files, false);
    } catch (const std::exception& error) {
        report.warnings.push_back(std::string(error.what()) + "; no orphan was removed");
        return;
    }
    if (removed.empty()) return;
    Report::Section section{"files no build needs", {}, "removed"};
    for (const std::string& name : removed) section.fields.push_back({"removed", name});
    report.sections.push_back(section);
}

Report Run(const CommandLine& line) {
    const auto value = [&line](const char* key) {
        const auto found = line.values.find(key);
        return found == line.values.end() ? std::string() : found->second;
    };
    Options options;
    options.force = line.flags.count("--force") != 0;
    options.dryRun = line.flags.count("--dry-run") != 0;
    options.signingKey = value("--signing-key");
    if (!value("--patches").empty()) {
        options.patchCount = Count(value("--patches"), "--patches needs a whole number, such as 3");
    }
    if (!value("--patch-limit").empty()) {
        options.patchLimit =
            Count(value("--patch-limit"), "--patch-limit needs a whole percentage, such as 50");
    }
    options.byteRanges = line.flags.count("--no-byte-ranges") == 0;
    options.expiresInDays = ExpiryDays(value("--expires-in"), !options.signingKey.empty());
    if (line.values.count("--keep-builds") != 0) {
        if (line.flags.count("--launcher") != 0) {
            throw UsageError("--keep-builds is for the game's manifest, not the launcher's");
        }
        options.keepBuilds = ParseKeepBuildsOption(value("--keep-builds"));
        if (!options.keepBuilds) {
            throw UsageError("--keep-builds needs a number of builds from 1 to 999, or all");
        }
    }
    if (line.command == "status") {
        if (!value("--url").empty()) {
            return RemoteStatus(value("--url"),
                                {line.subject, value("--public-key"), value("--ca-file")});
        }
        if (!value("--ca-file").empty()) throw UsageError("--ca-file goes with --url");
        return Status(line.subject, value("--public-key"));
    }
    if (line.command == "upload-order") return UploadOrder(line.subject);
    const int keep = line.command == "prune"
                         ? Count(value("--keep"), "--keep needs a whole number, such as 3")
                         : 0;
    // Every writing command holds the folder's lock; a dry run writes
    // nothing, so it takes none and only says when a writer is at work.
    const bool publish = line.command == "game" || line.command == "launcher";
    const std::filesystem::path folder = publish ? value("--out") : line.subject;
    std::optional<ReleaseLock> lock;
    if (!options.dryRun) lock.emplace(folder, publish);
    Report report;
    if (lock) SweepOrphans(folder, line.command != "prune", report);
    Report done;
    if (publish) {
        const ReleaseKind& kind = line.command == "game" ? GameKind() : LauncherKind();
        done = PublishBuild(kind, line.subject, value("--version"), value("--base-url"), folder,
                            options);
    } else if (line.command == "prune") {
        done = Prune(folder, keep, options);
    } else {
        const ReleaseKind& kind = line.flags.count("--launcher") ? LauncherKind() : GameKind();
        done = Promote(kind, folder, value("--version"), value("--base-url"), options);
    }
    done.sections.insert(done.sections.end(), report.sections.begin(), report.sections.end());
    done.warnings.insert(done.warnings.end(), report.warnings.begin(), report.warnings.end());
    report = done;
    if (options.dryRun && ReleaseLockIsHeld(folder)) {
        report.warnings.push_back("another run is writing into " + folder.string() +
                                  " now; its result may change this verdict");
    }
    return report;
}

std::string Heading(const CommandLine& line, bool dryRun) {
    if (line.command == "game" || line.command == "launcher") {
        return dryRun ? "would publish" : "published";
    }
    if (line.command == "promote" || line.command == "rollback") {
        return dryRun ? "would point the manifest at" : "manifest now points at";
    }
    if (line.command == "prune") return dryRun ? "would prune" : "pruned";
    if (line.command == "upload-order") return "upload";
    return "status of";
}

void PrintText(const CommandLine& line, const Report& report) {
    const bool dryRun = line.flags.count("--dry-run") != 0;
    for (const Report::Section& section : report.sections) {
        const std::string heading =
            section.heading.empty() ? Heading(line, dryRun) : section.heading;
        std::printf("%s %s\n", heading.c_str(), section.title.c_str());
        for (const Report::Field& field : section.fields) {
            if (field.shown == Report::Field::JsonOnly) continue;
            std::printf("  %-9s %s\n", field.key.c_str(), field.text.c_str());
        }
    }
    for (const std::string& warning : report.warnings) {
        std::fprintf(stderr, "tessik-publish: warning: %s\n", warning.c_str());
    }
}

void PrintJson(const CommandLine& line, const Report& report) {
    const bool dryRun = line.flags.count("--dry-run") != 0;
    std::printf("%s\n", ReportJson(line.command, dryRun, report, line.command == "prune").c_str());
}

}  // namespace

int main(int argc, char** argv) {
    // Entry names are read as the archive program lists them in a UTF-8
    // locale, whatever locale the release machine runs in.
    if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) std::setlocale(LC_ALL, "C.utf8");
    std::vector<std::string> args(argv + 1, argv + argc);
    // Taken out before the command line is understood, so that every run,
    // a wrong command line included, prints one JSON object when asked.
    const bool json = std::erase(args, "--json") != 0;
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "--version")) {
        const std::string text =
            args[0] == "--version" ? std::string("tessik-publish ") + TESSIK_PUBLISH_VERSION + "\n"
                                   : std::string(Usage);
        if (json) {
            std::printf("{\"command\":%s,\"ok\":true,\"text\":%s}\n", JsonText(args[0]).c_str(),
                        JsonText(text).c_str());
        } else {
            std::fputs(text.c_str(), stdout);
        }
        return 0;
    }
    const auto fail = [json, &args](const std::string& message, bool usage) {
        if (json) {
            std::printf("{\"command\":%s,\"ok\":false,\"error\":%s}\n",
                        JsonText(args.empty() ? "" : args[0]).c_str(), JsonText(message).c_str());
        }
        std::fprintf(stderr, "tessik-publish: %s%s\n", message.c_str(),
                     usage ? " (see tessik-publish --help)" : "");
        return usage ? 2 : 1;
    };
    try {
        const CommandLine line = Parse(args);
        const Report report = Run(line);
        json ? PrintJson(line, report) : PrintText(line, report);
        return report.ok ? 0 : 1;
    } catch (const UsageError& error) {
        return fail(error.what(), true);
    } catch (const std::exception& error) {
        return fail(error.what(), false);
    }
}
