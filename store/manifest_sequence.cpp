#include "store/manifest_sequence.h"

#include "format/json.h"
#include "format/manifest_signing_text.h"
#include "store/retrying_move.h"
#include "store/storage.h"

namespace {

std::optional<std::uint64_t> ReadSequence(const std::string& bytes, const char* key) {
    try {
        return ParseManifestSequence(ReadJsonStringField(bytes, key, false));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

std::string FormatRememberedSequences(std::optional<std::uint64_t> game,
                                      std::optional<std::uint64_t> launcher) {
    std::string text;
    if (game) text += "\"game\":\"" + std::to_string(*game) + "\"";
    if (launcher)
        text += std::string(game ? "," : "") + "\"launcher\":\"" + std::to_string(*launcher) + "\"";
    return "{" + text + "}";
}

std::optional<std::uint64_t> RememberedSequences::Highest(ManifestKind kind) {
    if (!loaded_) {
        // A file that cannot be read remembers nothing: the keyed launcher
        // then still refuses every manifest that is not signed.
        const std::string bytes = ReadFileBytes(file_);
        game_ = ReadSequence(bytes, "game");
        launcher_ = ReadSequence(bytes, "launcher");
        loaded_ = true;
    }
    return kind == ManifestKind::Game ? game_ : launcher_;
}

void RememberedSequences::Accept(ManifestKind kind, std::optional<std::uint64_t> sequence) {
    const std::optional<std::uint64_t> highest = Highest(kind);
    if (!sequence || (highest && *sequence <= *highest)) return;
    (kind == ManifestKind::Game ? game_ : launcher_) = sequence;
    try {
        ReplaceFileThroughTemporary(file_, FormatRememberedSequences(game_, launcher_));
    } catch (const std::exception&) {
        // The manifest is genuine and newer: refusing it because the number
        // cannot be kept would hold the player back. This run still knows it.
    }
}
