#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <filesystem>
#include <string>

// Lowercase hex SHA-256 of the file's whole content, the form in which a
// manifest's digest is held, so that checking a download is one comparison.
std::string Sha256FileHex(const std::filesystem::path& file);

// Raises on a failing (negative) CNG status.
void CheckCngStatus(NTSTATUS status);

// Lowercase hex of arbitrary bytes, high half of each byte first.
std::string HexEncode(const unsigned char* bytes, size_t count);
