#include "tests/hostile/hostile_support.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "store/launcher_state.h"
#include "store/storage.h"

namespace fs = std::filesystem;

// What the launcher may change: its own folder ("Tessik" and the storage root
// in it) and the game stand-in's record.
std::vector<fs::path> Inside(const PlayerMachine& player) {
    return {player.Root().parent_path(), player.RecordFile()};
}

void StoreWorkingBuild(PlayerMachine& player) {
    const fs::path build = player.StoreBuild(L"0.1.136");
    WriteLauncherState(player.StateFile(), LauncherState{"0.1.136", build});
}

MachineWatch::MachineWatch(const PlayerMachine& player)
    : player_(player),
      state_(ReadFileBytes(player.StateFile())),
      outside_(Fingerprint(player.Scratch(), Inside(player))),
      users_(Fingerprint(L"C:\\users")) {}

void MachineWatch::ExpectUntouched(const std::string& attack) const {
    EXPECT_EQ(ReadFileBytes(player_.StateFile()), state_) << attack << ": state file changed";
    EXPECT_EQ(player_.Leftovers(), std::vector<std::wstring>{}) << attack << ": leftovers";
    ExpectOutsideUntouched(attack);
}

namespace {

// The paths whose entries differ between two fingerprints, for the message.
std::string Differences(const FolderFingerprint& before, const FolderFingerprint& after) {
    std::string list;
    for (const auto& [path, print] : after) {
        const auto old = before.find(path);
        if (old == before.end() || old->second != print) {
            list += " ";
            list += Utf16ToUtf8(path);
        }
    }
    for (const auto& [path, print] : before) {
        if (after.find(path) == after.end()) {
            list += " -";
            list += Utf16ToUtf8(path);
        }
    }
    return list;
}

}  // namespace

void MachineWatch::ExpectOutsideUntouched(const std::string& attack) const {
    const FolderFingerprint outside = Fingerprint(player_.Scratch(), Inside(player_));
    EXPECT_TRUE(outside == outside_)
        << attack << ": changed outside the storage root:" << Differences(outside_, outside);
    const FolderFingerprint users = Fingerprint(L"C:\\users");
    EXPECT_TRUE(users == users_) << attack << ": changed in the prefix's user folders:"
                                 << Differences(users_, users);
}
