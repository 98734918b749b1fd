// tessik-publish: puts a game build or a launcher into a release folder that
// any HTTPS static host serves to the launcher.
#include <cstdio>
#include <string>
#include <vector>

#include "publish/publish.h"

namespace {

constexpr char Usage[] =
    "usage:\n"
    "  tessik-publish game ARCHIVE --version V --base-url URL --out DIR\n"
    "  tessik-publish launcher EXE --base-url URL --out DIR\n"
    "\n"
    "game      checks the zip as the launcher will (readable, every entry name safe,\n"
    "          tessik.exe at the top level, a version that names one folder),\n"
    "          copies it to DIR/builds/ under a name holding its SHA-256, then\n"
    "          writes DIR/release/windows-x86_64-manifest.json.\n"
    "launcher  reads the executable's own version record, checks it is the 64-bit\n"
    "          GUI launcher, copies it to DIR/builds/, then writes\n"
    "          DIR/release/windows-launcher-x86_64-manifest.json with that version.\n"
    "\n"
    "URL is the https address at which DIR is served. Manifests are written last\n"
    "and atomically; nothing is written for a refused input. Exit code 0 on\n"
    "success, 1 for a refused input, 2 for a wrong command line.\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(Usage, stdout);
        return 0;
    }
    std::string version, baseUrl, out;
    for (size_t i = 2; i + 1 < args.size(); i += 2) {
        if (args[i] == "--version")
            version = args[i + 1];
        else if (args[i] == "--base-url")
            baseUrl = args[i + 1];
        else if (args[i] == "--out")
            out = args[i + 1];
        else
            version = baseUrl = out = "";
    }
    const bool game = args.size() == 8 && args[0] == "game" && !version.empty();
    const bool launcher = args.size() == 6 && args[0] == "launcher" && version.empty();
    if ((!game && !launcher) || baseUrl.empty() || out.empty()) {
        std::fputs(Usage, stderr);
        return 2;
    }
    try {
        const Published published = game ? PublishGame(args[1], version, baseUrl, out)
                                         : PublishLauncher(args[1], baseUrl, out);
        std::printf("published %s\n  sha256   %s\n  url      %s\n  manifest %s\n",
                    published.file.c_str(), published.sha256.c_str(), published.url.c_str(),
                    published.manifest.c_str());
        return 0;
    } catch (const std::exception& refusal) {
        std::fprintf(stderr, "tessik-publish: %s\n", refusal.what());
        return 1;
    }
}
