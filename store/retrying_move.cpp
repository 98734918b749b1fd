#include "store/retrying_move.h"

#include <algorithm>

#include "base/long_path_files.h"
#include "store/storage.h"

bool IsPassingMoveFailure(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

std::vector<std::chrono::milliseconds> MoveRetryPauses(std::chrono::milliseconds window) {
    using std::chrono::milliseconds;
    constexpr milliseconds first(50), longest(2000);
    std::vector<milliseconds> pauses;
    milliseconds sum(0);
    for (milliseconds pause = first; sum + pause <= window; pause = std::min(pause * 2, longest)) {
        pauses.push_back(pause);
        sum += pause;
    }
    return pauses;
}

bool MoveFileRetrying(const std::filesystem::path& from, const std::filesystem::path& to,
                      DWORD flags, std::chrono::milliseconds window,
                      const std::function<void()>& onLongHold) {
    // Past this the player should hear why nothing moves.
    constexpr std::chrono::milliseconds LongHold(3000);
    if (MoveLongPath(from, to, flags)) {
        return true;
    }
    std::chrono::milliseconds waited(0);
    for (const std::chrono::milliseconds pause : MoveRetryPauses(window)) {
        if (!IsPassingMoveFailure(GetLastError())) {
            break;
        }
        if (onLongHold && waited < LongHold && waited + pause >= LongHold) {
            onLongHold();
        }
        waited += pause;
        Sleep(static_cast<DWORD>(pause.count()));
        if (MoveLongPath(from, to, flags)) {
            return true;
        }
    }
    return false;
}

bool ReplaceFileThroughTemporary(const std::filesystem::path& file, const std::string& bytes) {
    const std::filesystem::path temporary = file.wstring() + L".tmp";
    WriteFileBytes(temporary, bytes);
    // WriteFileBytes has flushed the temporary file: a rename on one volume is
    // not flushed by MOVEFILE_WRITE_THROUGH, and a power cut must not leave an
    // empty file behind. A scanner may hold either file for a moment.
    return MoveFileRetrying(temporary, file, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}
