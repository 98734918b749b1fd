#include "publish/published_builds.h"

#include <fstream>
#include <stdexcept>

#include "publish/release_folder.h"

namespace fs = std::filesystem;

const char PublishedBuildsFile[] = ".published-builds";

namespace {

constexpr char Header[] = "tessik-published-builds 1";

bool IsBuildName(const std::string& name) {
    return name.find('/') == std::string::npos &&
           (ParseBuildFileName(GameKind(), name) || ParseBuildFileName(LauncherKind(), name));
}

std::set<std::string> BuildsNow(const fs::path& folder) {
    std::set<std::string> names;
    for (const ReleaseKind* kind : {&GameKind(), &LauncherKind()}) {
        for (const BuildFile& build : BuildsOf(*kind, folder)) names.insert(build.name);
    }
    return names;
}

void WriteRecord(const fs::path& folder, const std::set<std::string>& names) {
    std::string text = std::string(Header) + "\n";
    for (const std::string& name : names) text += name + "\n";
    IncomingFile record(folder, text);
    record.MoveTo(folder / PublishedBuildsFile);
}

}  // namespace

std::optional<std::set<std::string>> ReadPublishedBuilds(const fs::path& folder) {
    const fs::path file = folder / PublishedBuildsFile;
    const auto unreadable = [&file] {
        return std::runtime_error("The record of published builds " + file.string() +
                                  " cannot be read");
    };
    std::error_code error;
    const fs::file_status status = fs::status(file, error);
    if (status.type() == fs::file_type::not_found) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (error || status.type() != fs::file_type::regular || !in) throw unreadable();
    std::string line;
    if (!std::getline(in, line) || line != Header) throw unreadable();
    std::set<std::string> names;
    while (std::getline(in, line)) {
        if (!IsBuildName(line)) throw unreadable();
        names.insert(line);
    }
    if (in.bad()) throw unreadable();
    return names;
}

void StartPublishedBuilds(const fs::path& folder, std::vector<std::string>& warnings) {
    try {
        if (ReadPublishedBuilds(folder)) return;
    } catch (const std::exception& error) {
        warnings.push_back(std::string(error.what()) +
                           "; it is started again, and every build now in builds/ counts as "
                           "published");
    }
    WriteRecord(folder, BuildsNow(folder));
}

void RecordPublishedBuilds(const fs::path& folder, const std::set<std::string>& names) {
    // Without a record that can be read, every build now there counts as
    // published, as when the record is started.
    std::optional<std::set<std::string>> record;
    try {
        record = ReadPublishedBuilds(folder);
    } catch (const std::exception&) {
    }
    std::set<std::string> recorded = record ? *record : BuildsNow(folder);
    bool added = false;
    for (const std::string& name : names) {
        if (!name.empty() && IsBuildName(name)) added = recorded.insert(name).second || added;
    }
    if (added || !record) WriteRecord(folder, recorded);
}
