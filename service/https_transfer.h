#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

// The largest manifest body kept in memory.
inline constexpr size_t ManifestTextLimit = 1048576;

// One HTTPS GET. The body is appended to `body` (memory mode), or written to
// `file` (file mode, which takes precedence), or dropped when neither is given.
// Only status 200 is accepted. The folder of `file` must exist.
void HttpsGet(const std::wstring& address, std::string* body, const std::filesystem::path* file);
