// tessik-publish: the studio's release tool. See Usage below and the README.
#include <clocale>
#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "publish/publish.h"

namespace {

constexpr char Usage[] =
    "usage:\n"
    "  tessik-publish game ARCHIVE --version V --base-url URL --out DIR [--force] [--dry-run]\n"
    "                 [--signing-key KEY.pem] [--patches N]\n"
    "  tessik-publish launcher EXE --base-url URL --out DIR [--force] [--dry-run]\n"
    "                 [--signing-key KEY.pem]\n"
    "  tessik-publish promote DIR --version V [--launcher] [--base-url URL] [--dry-run]\n"
    "                 [--signing-key KEY.pem]\n"
    "  tessik-publish rollback DIR --version V [--launcher] [--base-url URL] [--dry-run]\n"
    "                 [--signing-key KEY.pem]\n"
    "  tessik-publish status DIR [--public-key KEY.pem]\n"
    "  tessik-publish prune DIR --keep N [--dry-run]\n"
    "  tessik-publish --version | --help\n"
    "Every command also takes --json (one JSON object on standard output, for CI).\n"
    "game      checks the zip as the launcher will, and reads every entry's data\n"
    "          (a bad CRC or a cut archive is refused); refuses links, special\n"
    "          entries, a missing, doubled, empty or non-Windows tessik.exe, and a\n"
    "          version that cannot name one folder. Copies the zip once, taking its\n"
    "          SHA-256 as it goes, to DIR/builds/tessik-V-<sha256>.zip, then writes\n"
    "          DIR/release/windows-x86_64-manifest.json. Beside the build it writes\n"
    "          its index (every file's path, size and SHA-256) and, from each of\n"
    "          the N newest earlier builds in DIR/builds/ (--patches, 3 unless\n"
    "          given, 0 for none), a patch zip holding only the new or changed\n"
    "          files; both named by their SHA-256, which the manifest and the\n"
    "          index carry.\n"
    "launcher  reads the executable's own version record (version, update host,\n"
    "          Authenticode signature), checks it is the 64-bit GUI launcher built\n"
    "          for the base URL's host, copies it to DIR/builds/ and writes\n"
    "          DIR/release/windows-launcher-x86_64-manifest.json. Sign it before.\n"
    "promote,  re-point the game's (or with --launcher the launcher's) manifest at\n"
    "rollback  the build of version V already in DIR/builds/, verified first.\n"
    "status    what each manifest names (version, digest, size, address), whether\n"
    "          that build is there and matches its digest, and whether the manifest\n"
    "          is signed; with --public-key, whether that key verifies it.\n"
    "prune     removes builds that no manifest names, keeping the N newest of each\n"
    "          kind besides the live ones, with the index of each removed game\n"
    "          build and the patches that lead to it.\n"
    "URL is the https address at which DIR is served: https://, a host, an\n"
    "optional port and path, nothing else. Builds and manifests are written through\n"
    "flushed temporary files in DIR/.incoming/ and renamed into place, builds\n"
    "first; nothing is written for a refused input. --force publishes a version\n"
    "again with other bytes, an older launcher, or a launcher built for another\n"
    "host, each with a warning. --dry-run checks everything and writes nothing.\n"
    "--signing-key signs every manifest written with the studio's ECDSA P-256\n"
    "private key (PEM), for launchers built with TESSIK_RELEASE_PUBLIC_KEY; keep\n"
    "that key off the update host.\n";

// Standard JSON, for the --json output (the manifests have their own writer).
std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

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
             {{"--version", "--base-url", "--out", "--signing-key", "--patches"},
              {"--force", "--dry-run"}}},
            {"launcher", {{"--base-url", "--out", "--signing-key"}, {"--force", "--dry-run"}}},
            {"promote",
             {{"--version", "--base-url", "--signing-key"},
              {"--launcher", "--force", "--dry-run"}}},
            {"rollback",
             {{"--version", "--base-url", "--signing-key"},
              {"--launcher", "--force", "--dry-run"}}},
            {"status", {{"--public-key"}, {}}},
            {"prune", {{"--keep"}, {"--dry-run"}}},
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
        if (arg == "--json") {
            line.flags.insert(arg);
        } else if (known->second.second.count(arg) != 0) {
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
    if (line.subject.empty()) {
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
    if (line.command == "game" || line.command == "launcher") {
        const ReleaseKind& kind = line.command == "game" ? GameKind() : LauncherKind();
        return PublishBuild(kind, line.subject, value("--version"), value("--base-url"),
                            value("--out"), options);
    }
    if (line.command == "promote" || line.command == "rollback") {
        const ReleaseKind& kind = line.flags.count("--launcher") ? LauncherKind() : GameKind();
        return Promote(kind, line.subject, value("--version"), value("--base-url"), options);
    }
    if (line.command == "prune")
        return Prune(line.subject, Count(value("--keep"), "--keep needs a whole number, such as 3"),
                     options);
    return Status(line.subject, value("--public-key"));
}

std::string Heading(const CommandLine& line, bool dryRun) {
    if (line.command == "game" || line.command == "launcher") {
        return dryRun ? "would publish" : "published";
    }
    if (line.command == "promote" || line.command == "rollback") {
        return dryRun ? "would point the manifest at" : "manifest now points at";
    }
    if (line.command == "prune") return dryRun ? "would prune" : "pruned";
    return "status of";
}

void PrintText(const CommandLine& line, const Report& report) {
    const bool dryRun = line.flags.count("--dry-run") != 0;
    for (const Report::Section& section : report.sections) {
        std::printf("%s %s\n", Heading(line, dryRun).c_str(), section.title.c_str());
        for (const auto& [key, value] : section.fields) {
            std::printf("  %-9s %s\n", key.c_str(), value.c_str());
        }
    }
    for (const std::string& warning : report.warnings) {
        std::fprintf(stderr, "tessik-publish: warning: %s\n", warning.c_str());
    }
}

// A JSON array of texts.
std::string JsonList(const std::vector<std::string>& values) {
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) out += ',';
        out += Json(values[i]);
    }
    return out + "]";
}

void PrintJson(const CommandLine& line, const Report& report) {
    std::string out = "{\"command\":" + Json(line.command);
    out += ",\"ok\":";
    out += report.ok ? "true" : "false";
    out += ",\"dry_run\":";
    out += line.flags.count("--dry-run") != 0 ? "true" : "false";
    for (const Report::Section& section : report.sections) {
        out += ',';
        out += Json(section.title);
        out += ":{";
        // prune repeats its keys (one per build): those become lists.
        std::map<std::string, std::vector<std::string>> lists;
        bool first = true;
        const auto key = [&](const std::string& name) {
            if (!first) out += ',';
            out += Json(name);
            out += ':';
            first = false;
        };
        for (const auto& [name, value] : section.fields) {
            if (line.command == "prune") {
                lists[name].push_back(value);
                continue;
            }
            key(name);
            out += Json(value);
        }
        for (const auto& [name, values] : lists) {
            key(name);
            out += JsonList(values);
        }
        out += '}';
    }
    out += ",\"warnings\":";
    out += JsonList(report.warnings);
    std::printf("%s}\n", out.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    // Entry names are read as the archive program lists them in a UTF-8
    // locale, whatever locale the release machine runs in.
    if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) std::setlocale(LC_ALL, "C.utf8");
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (args.size() == 1 && args[0] == "--version") {
        std::printf("tessik-publish %s\n", TESSIK_PUBLISH_VERSION);
        return 0;
    }
    CommandLine line;
    try {
        line = Parse(args);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "tessik-publish: %s (see tessik-publish --help)\n", error.what());
        return 2;
    }
    const bool json = line.flags.count("--json") != 0;
    try {
        const Report report = Run(line);
        json ? PrintJson(line, report) : PrintText(line, report);
        return report.ok ? 0 : 1;
    } catch (const UsageError& error) {
        std::fprintf(stderr, "tessik-publish: %s (see tessik-publish --help)\n", error.what());
        return 2;
    } catch (const std::exception& error) {
        if (json) {
            std::printf("{\"command\":%s,\"ok\":false,\"error\":%s}\n", Json(line.command).c_str(),
                        Json(error.what()).c_str());
        }
        std::fprintf(stderr, "tessik-publish: %s\n", error.what());
        return 1;
    }
}
