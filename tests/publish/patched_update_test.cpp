// Updates that download only what changed: builds, indexes and patches written
// by the release tool, served over HTTPS, installed by the real launcher.
#include <gtest/gtest.h>

#include <map>

#include "base/text.h"
#include "base/folder_walk.h"
#include "base/long_path_files.h"
#include "service/digest.h"
#include "service/update_manifest.h"
#include "format/build_index.h"
#include "store/storage.h"
#include "tests/support/file_seam.h"
#include "tests/support/player_machine.h"

namespace {

namespace fs = std::filesystem;

// One tree the test set-up published (see prepare_releases.py).
struct Tree {
    std::wstring name;

    std::wstring Manifest(int n) const {
        return test_bed::ServiceAddress(L"/files/" + name + L"/release/m" + std::to_wstring(n) +
                                        L".json");
    }
    UpdateManifest Read(int n) const {
        return ParseUpdateManifest(
            ReadFileBytes(Folder() / L"release" / (L"m" + std::to_wstring(n) + L".json")),
            "tessik.exe");
    }
    BuildIndex Index(int n) const {
        return ParseBuildIndex(ReadFileBytes(Folder() / L"builds" /
                                             Utf8ToUtf16(BuildIndexFileName(Read(n).buildIndex))));
    }
    // The patch file of build n that leads from `from`, of either kind.
    std::wstring PatchFrom(int n, const std::string& from, bool delta = false) const {
        for (const IndexPatch& patch : Index(n).patches) {
            if (patch.fromVersion == from && patch.delta == delta) {
                return Utf8ToUtf16(PatchFileName(patch.sha256));
            }
        }
        return L"<none>";
    }
    std::wstring Archive(int n) const {
        const std::wstring url = Read(n).url;
        return url.substr(url.rfind(L'/') + 1);
    }
    fs::path Folder() const { return test_bed::Folder() / L"www" / name; }
};

const Tree Patched{L"patched"}, NoPatch{L"patched-nopatch"}, Damaged{L"patched-damaged"},
    Lying{L"patched-lying"}, BadPath{L"patched-badpath"}, Deep{L"deep"},
    Swapped{L"patched-swapped"}, Delta{L"patched-delta"}, DeltaOutside{L"patched-delta-outside"},
    DeltaLeaving{L"patched-delta-leaving"}, DeltaDisagreeing{L"patched-delta-disagreeing"};

// Requests for each name during `action`.
std::map<std::wstring, size_t> FetchesDuring(const std::vector<std::wstring>& names,
                                             const std::function<void()>& action) {
    std::map<std::wstring, size_t> before;
    for (const std::wstring& name : names) before[name] = test_bed::RequestsContaining(name);
    action();
    std::map<std::wstring, size_t> during;
    for (const std::wstring& name : names) {
        during[name] = test_bed::RequestsContaining(name) - before[name];
    }
    return during;
}

// The build folder holds the indexed build and nothing else.
void ExpectExactBuild(const fs::path& folder, const BuildIndex& index) {
    size_t files = 0;
    const IndexLookup lookup(index);
    // Read by long path: a build's tree may lie deeper than a plain path reaches.
    EXPECT_TRUE(WalkFolderTree(folder, [&](const std::wstring& relative, const FolderEntry& entry) {
        if (entry.IsFolder()) return;
        ++files;
        const std::string path = Utf16ToUtf8(relative);
        const auto file = lookup.files.find(IndexPathKey(path));
        ASSERT_NE(file, lookup.files.end()) << "extra file " << path;
        EXPECT_EQ(Sha256FileHex(folder / relative), file->second->sha256) << path;
    }));
    EXPECT_EQ(files, index.files.size());
    for (const std::string& empty : index.folders) {
        EXPECT_TRUE(IsFolderAt(folder / Utf8ToUtf16(empty))) << empty;
    }
}

TEST(PatchedUpdate, AnUpdateFetchesOnlyTheIndexAndThePatchFromTheRecordedBuild) {
    for (const int behind : {1, 2}) {
        PlayerMachine player;
        const int from = 3 - behind;
        const std::wstring patch = Patched.PatchFrom(3, "1." + std::to_string(from));
        const std::wstring index = Utf8ToUtf16(BuildIndexFileName(Patched.Read(3).buildIndex));
        PlayerMachine::Outcome run;
        const auto fetched = FetchesDuring({patch, index, Patched.Archive(3)}, [&] {
            player.PointGameManifestAt(Patched.Manifest(from));
            EXPECT_EQ(player.Run().started, 1u);
        });
        EXPECT_EQ(fetched.at(patch), 0u) << "a first install needs no patch";
        const auto update = FetchesDuring({patch, index, Patched.Archive(3)}, [&] {
            player.ForgetGame();
            player.PointGameManifestAt(Patched.Manifest(3));
            run = player.Run();
        });
        EXPECT_EQ(run.started, 1u) << Utf16ToUtf8(run.failure);
        EXPECT_EQ(update.at(patch), 1u) << behind << " builds behind";
        EXPECT_EQ(update.at(index), 1u);
        EXPECT_EQ(update.at(Patched.Archive(3)), 0u) << "the full archive was fetched";
        ExpectExactBuild(player.Build(L"1.3"), Patched.Index(3));
        EXPECT_TRUE(
            fs::exists(player.Build(L"1." + std::to_wstring(from)) / L"assets" / L"changed.bin"))
            << "a stored build lost a file";
        EXPECT_EQ(player.Game().folder, player.Build(L"1.3"));
        EXPECT_TRUE(player.Leftovers().empty());
    }
}

TEST(PatchedUpdate, ABuildDeeperThanPlainPathsReachInstallsByArchiveAndByPatch) {
    PlayerMachine player;
    const std::wstring patch = Deep.PatchFrom(2, "1.1");
    const auto first = FetchesDuring({Deep.Archive(1)}, [&] {
        player.PointGameManifestAt(Deep.Manifest(1));
        const PlayerMachine::Outcome run = player.Run();
        EXPECT_EQ(run.started, 1u) << Utf16ToUtf8(run.failure);
    });
    EXPECT_EQ(first.at(Deep.Archive(1)), 1u);
    ExpectExactBuild(player.Build(L"1.1"), Deep.Index(1));
    const auto update = FetchesDuring({patch, Deep.Archive(2)}, [&] {
        player.ForgetGame();
        player.PointGameManifestAt(Deep.Manifest(2));
        const PlayerMachine::Outcome run = player.Run();
        EXPECT_EQ(run.started, 1u) << Utf16ToUtf8(run.failure);
    });
    EXPECT_EQ(update.at(patch), 1u);
    EXPECT_EQ(update.at(Deep.Archive(2)), 0u) << "the full archive was fetched";
    ExpectExactBuild(player.Build(L"1.2"), Deep.Index(2));
    EXPECT_TRUE(player.Leftovers().empty());
}

TEST(PatchedUpdate, ADeltaPatchRebuildsAPackedFileFromTheBytesThatChanged) {
    PlayerMachine player;
    player.PointGameManifestAt(Delta.Manifest(1));
    ASSERT_EQ(player.Run().started, 1u);
    const std::wstring delta = Delta.PatchFrom(2, "1.1", true);
    const std::wstring whole = Delta.PatchFrom(2, "1.1");
    const std::uint64_t before = test_bed::BytesServed(delta);
    file_seam::Reset();
    const auto update = FetchesDuring({delta, whole, Delta.Archive(2)}, [&] {
        player.ForgetGame();
        player.PointGameManifestAt(Delta.Manifest(2));
        const PlayerMachine::Outcome run = player.Run();
        EXPECT_EQ(run.started, 1u) << Utf16ToUtf8(run.failure);
    });
    EXPECT_EQ(update.at(delta), 1u) << "the delta is preferred where both kinds are listed";
    EXPECT_EQ(update.at(whole), 0u);
    EXPECT_EQ(update.at(Delta.Archive(2)), 0u) << "the full archive was fetched";
    const std::uint64_t served = test_bed::BytesServed(delta) - before;
    EXPECT_GT(served, 4096u);
    EXPECT_LT(served, 64u << 10) << "the packed file travelled whole";
    // What the patch provides is never copied from the stored build first:
    // the rebuilt file is written once, the whole one only by tar.exe.
    EXPECT_EQ(file_seam::FilesCreatedEndingWith(L"\\assets\\pack.bin"), 1);
    EXPECT_EQ(file_seam::FilesCreatedEndingWith(L"\\assets\\notes.txt"), 0);
    EXPECT_EQ(file_seam::FilesCreatedEndingWith(L"\\assets\\kept.bin"), 1) << "copied once";
    ExpectExactBuild(player.Build(L"1.2"), Delta.Index(2));
    ExpectExactBuild(player.Build(L"1.1"), Delta.Index(1));
    EXPECT_TRUE(player.Leftovers().empty());
}

TEST(PatchedUpdate, AnIndexOfAnotherBuildIsNotUsed) {
    PlayerMachine player;
    player.PointGameManifestAt(Swapped.Manifest(1));
    EXPECT_EQ(player.Run().started, 1u);
    const auto update = FetchesDuring({Swapped.Archive(2)}, [&] {
        player.ForgetGame();
        player.PointGameManifestAt(Swapped.Manifest(2));
        const PlayerMachine::Outcome run = player.Run();
        EXPECT_EQ(run.started, 1u) << Utf16ToUtf8(run.failure);
    });
    EXPECT_EQ(update.at(Swapped.Archive(2)), 1u) << "the stored build was taken for the new one";
    ExpectExactBuild(player.Build(L"1.2"),
                     ParseBuildIndex(ReadFileBytes(
                         Patched.Folder() / L"builds" /
                         Utf8ToUtf16(BuildIndexFileName(Patched.Read(2).buildIndex)))));
}

// Every failure on the patch's way ends with the full archive and the same
// exact build, without a message.
// While a scanner holds every file the launcher writes for a second: what a
// failed patch left cannot go at once, and the full archive must not need it to.
TEST(PatchedUpdate, AnythingWrongOnThePatchsWayFallsBackToTheFullArchive) {
    struct Case {
        const char* what;
        const Tree& tree;
        int from, to;
        const wchar_t* damaged;  // a stored file of build 1.1 changed since its install
        const Tree& built;       // the tree whose index the build matches
    };
    const Case cases[] = {
        {"a stored file damaged since its install", Patched, 1, 2, L"assets/kept.bin", Patched},
        {"no patch from the recorded build", NoPatch, 1, 2, nullptr, Patched},
        {"a damaged patch", Damaged, 1, 2, nullptr, Patched},
        {"an index that does not match its digest", Damaged, 2, 3, nullptr, Patched},
        {"an index naming a path Windows would store otherwise", BadPath, 1, 2, nullptr, Patched},
        {"a delta source damaged since its install", Delta, 1, 2, L"assets/pack.bin", Delta},
        {"a delta copying past its source's end", DeltaOutside, 1, 2, nullptr, Delta},
        {"a delta entry whose path leaves the build", DeltaLeaving, 1, 2, nullptr, Delta},
        {"a delta whose output the index disagrees with", DeltaDisagreeing, 1, 2, nullptr, Delta},
    };
    for (const Case& c : cases) {
        PlayerMachine player;
        PlayerMachine::Outcome run;
        file_seam::HoldFreshFiles(1000);
        const auto fetched = FetchesDuring({c.tree.Archive(c.to)}, [&] {
            player.PointGameManifestAt(c.tree.Manifest(c.from));
            const PlayerMachine::Outcome first = player.Run();
            EXPECT_EQ(first.started, 1u) << c.what << ": " << Utf16ToUtf8(first.failure);
            if (c.damaged != nullptr) WriteFileBytes(player.Build(L"1.1") / c.damaged, "damaged");
            player.ForgetGame();
            player.PointGameManifestAt(c.tree.Manifest(c.to));
            run = player.Run();
        });
        EXPECT_EQ(run.started, 1u) << c.what << ": " << Utf16ToUtf8(run.failure);
        EXPECT_EQ(fetched.at(c.tree.Archive(c.to)), 1u) << c.what;
        ExpectExactBuild(player.Build(L"1." + std::to_wstring(c.to)), c.built.Index(c.to));
        EXPECT_TRUE(player.Leftovers().empty()) << c.what;
        EXPECT_GT(file_seam::FilesHeldByScanner(), 0) << c.what;
        file_seam::Reset();
    }
}

TEST(PatchedUpdate, AFullArchiveThatDiffersFromItsIndexIsRefused) {
    PlayerMachine player;
    player.PointGameManifestAt(Lying.Manifest(1));
    const PlayerMachine::Outcome run = player.Run();
    EXPECT_EQ(run.started, 0u);
    EXPECT_EQ(Utf16ToUtf8(run.failure),
              "Windows unpacked the update differently from the published build");
    EXPECT_FALSE(fs::exists(player.Build(L"1.1")));
    EXPECT_TRUE(player.Leftovers().empty());
}

}  // namespace
