#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

// What the game stand-in wrote: its command line split by the system's rules,
// and its current folder. Empty when it did not run within the time-out.
struct GameRecord {
    bool ran = false;
    std::vector<std::wstring> words;
    std::filesystem::path folder;
};

GameRecord ReadGameRecord(const std::filesystem::path& record,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20));
