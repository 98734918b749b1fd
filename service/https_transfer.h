#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstddef>
#include <filesystem>
#include <string>

#include "app/scoped_handle.h"

namespace handle_close {
inline void WinHttp(HINTERNET handle) { ::WinHttpCloseHandle(handle); }
}  // namespace handle_close

// A WinHTTP session, connection or request.
using WinHttpHandle = ScopedHandle<HINTERNET, &handle_close::WinHttp>;

// The largest manifest body kept in memory.
inline constexpr size_t ManifestTextLimit = 1048576;

// One HTTPS GET. The body is appended to `body` (memory mode), or written to
// `file` (file mode, which takes precedence), or dropped when neither is given.
// Only status 200 is accepted. The folder of `file` must exist.
void HttpsGet(const std::wstring& address, std::string* body, const std::filesystem::path* file);
