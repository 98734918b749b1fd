#include "store/patch_choice.h"

#include <algorithm>

#include "base/text.h"
#include "store/installed_versions.h"

namespace {

const IndexPatch* PatchFrom(const std::vector<IndexPatch>& patches, const std::string& version,
                            bool delta) {
    for (const IndexPatch& patch : patches) {
        if (patch.fromVersion == version && patch.delta == delta) return &patch;
    }
    return nullptr;
}

}  // namespace

std::optional<IndexPatch> ChoosePatch(const std::vector<IndexPatch>& patches,
                                      const std::string& recorded,
                                      const std::vector<std::wstring>& stored) {
    std::vector<std::wstring> newestFirst = stored;
    std::stable_sort(newestFirst.begin(), newestFirst.end(), IsNewerVersion);
    const auto isStored = [&](const std::string& version) {
        return std::find(stored.begin(), stored.end(), Utf8ToUtf16(version)) != stored.end();
    };
    std::vector<std::string> versions;
    if (!recorded.empty()) versions.push_back(recorded);
    for (const std::wstring& name : newestFirst) versions.push_back(Utf16ToUtf8(name));
    for (const std::string& version : versions) {
        const IndexPatch* delta = isStored(version) ? PatchFrom(patches, version, true) : nullptr;
        const IndexPatch* whole = PatchFrom(patches, version, false);
        if (delta != nullptr) return *delta;
        if (whole != nullptr) return *whole;
    }
    return std::nullopt;
}
