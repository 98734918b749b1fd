#include "store/launcher_state.h"

#include <windows.h>

#include "format/json.h"
#include "base/launcher_error.h"
#include "base/text.h"
#include "store/retrying_move.h"
#include "store/storage.h"

namespace {

// The inverse of what ReadJsonStringField unescapes.
std::string EscapeJsonValue(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char byte : text) {
        if (byte == '\\' || byte == '"') {
            escaped.push_back('\\');
        }
        escaped.push_back(byte);
    }
    return escaped;
}

}  // namespace

std::string FormatLauncherState(const LauncherState& state) {
    return "{\"version\":\"" + EscapeJsonValue(state.version) + "\",\"path\":\"" +
           EscapeJsonValue(Utf16ToUtf8(state.path.wstring())) + "\"}";
}

LauncherState ReadLauncherState(const std::filesystem::path& stateFile) {
    LauncherState state;
    try {
        const std::string bytes = ReadFileBytes(stateFile);
        if (bytes.empty()) {
            return state;
        }
        state.version = ReadJsonStringField(bytes, "version", true);
        state.path = Utf8ToUtf16(ReadJsonStringField(bytes, "path", true));
    } catch (const std::exception&) {
        // A damaged file reads as far as it goes; the next install rewrites it.
    }
    return state;
}

void WriteLauncherState(const std::filesystem::path& stateFile, const LauncherState& state) {
    if (!ReplaceFileThroughTemporary(stateFile, FormatLauncherState(state))) {
        throw LauncherError("Could not activate the verified update");
    }
}
