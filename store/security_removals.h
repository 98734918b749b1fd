#pragma once

#include <filesystem>
#include <string>

#include "base/launcher_error.h"

// Windows security (Defender or another scanner) may quarantine a game's
// executable right after it is unpacked, or refuse to start it. Installing the
// same build again and again would cost a download each run and never start
// it: one reinstall per published build is tried, and counted in a small file
// of its own, "security-removals.txt": the archive's SHA-256 and how often its
// tessik.exe was removed.

inline constexpr wchar_t SecurityRemovalsFileName[] = L"security-removals.txt";

class SecurityRemovalError : public LauncherError {
  public:
    SecurityRemovalError() : LauncherError("Windows security blocked or removed tessik.exe") {}
};

// --- The file's text (no Windows calls) ---

std::string FormatSecurityRemovals(const std::string& sha256, unsigned count);
// The count recorded for `sha256`; 0 for another build's record or a text
// that does not read as one.
unsigned ReadSecurityRemovals(const std::string& text, const std::string& sha256);

// --- In the storage root, under the installation lock ---

// How often the tessik.exe of the build of this archive was removed.
unsigned CountedSecurityRemovals(const std::filesystem::path& root, const std::string& sha256);
// One more removal of it. Best effort: a record that cannot be written only
// allows another reinstall.
void CountSecurityRemoval(const std::filesystem::path& root, const std::string& sha256);
