#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "base/scoped_handle.h"
#include "format/hex.h"
#include "format/sha256.h"

// Lowercase hex SHA-256 of the file's whole content, the form in which a
// manifest's digest is held, so that checking a download is one comparison.
std::string Sha256FileHex(const std::filesystem::path& file);
// The same for an open file, read from its start whatever its file pointer.
std::string Sha256OpenFileHex(HANDLE file);

// SHA-256 of bytes held in memory; a failure of the platform raises `failure`.
std::array<unsigned char, 32> Sha256Bytes(const std::string& bytes, const char* failure);

// Raises `failure` on a failing (negative) CNG status.
void CheckCngStatus(NTSTATUS status, const char* failure);
