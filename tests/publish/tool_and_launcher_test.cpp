// The release tool and the real launcher judge the same archives: the tool
// publishes exactly those that the launcher installs and starts.
#include <gtest/gtest.h>

#include <sstream>

#include "base/text.h"
#include "service/digest.h"
#include "store/storage.h"
#include "tests/support/player_machine.h"

namespace {

TEST(ToolAndLauncher, PublishExactlyTheArchivesTheLauncherInstalls) {
    // One line per archive of the hostile suite's and the tool tests' folders:
    // its path, the tool's verdict and sentence (written by the set-up).
    std::istringstream verdicts(ReadFileBytes(test_bed::Folder() / L"publish" / L"verdicts.tsv"));
    size_t archives = 0;
    for (std::string line; std::getline(verdicts, line);) {
        std::istringstream fields(line);
        std::string relative, verdict, sentence;
        std::getline(fields, relative, '\t');
        std::getline(fields, verdict, '\t');
        std::getline(fields, sentence);
        const std::filesystem::path archive = test_bed::Folder() / Utf8ToUtf16(relative);
        PlayerMachine player(archive.stem().wstring());
        const std::wstring served = test_bed::UniqueName(std::to_wstring(++archives) + L".zip");
        test_bed::Publish(served, ReadFileBytes(archive));
        player.PublishGameManifest(test_bed::ManifestJson(
            "0.2", test_bed::ServiceAddress(L"/files/" + served), Sha256FileHex(archive)));
        const PlayerMachine::Outcome run = player.Run();
        const bool installed = run.started == 1 && player.Game().folder == player.Build(L"0.2");
        EXPECT_EQ(installed, verdict == "published")
            << relative << ": the tool said \"" << sentence << "\", the launcher \""
            << Utf16ToUtf8(run.failure) << "\"";
    }
    EXPECT_GE(archives, 30u) << "the set-up wrote too few verdicts";
}

}  // namespace
