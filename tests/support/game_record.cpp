#include "tests/support/game_record.h"

#include "app/entry_point.h"
#include "base/text.h"
#include "tests/support/test_bed.h"

GameRecord ReadGameRecord(const std::filesystem::path& record, std::chrono::milliseconds timeout) {
    const std::optional<std::string> bytes = test_bed::WaitForFile(record, timeout);
    if (!bytes) return {};
    const size_t newline = bytes->find('\n');
    const std::wstring line = Utf8ToUtf16(bytes->substr(0, newline));
    std::wstring folder = Utf8ToUtf16(bytes->substr(newline + 1));
    folder.erase(folder.find_last_not_of(L'\n') + 1);
    return {true, SplitCommandLine(line.c_str()), folder};
}
