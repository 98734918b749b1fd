#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "base/launcher_error.h"

// The largest manifest body kept in memory.
inline constexpr size_t ManifestTextLimit = 1048576;

// One HTTPS GET. The body is appended to `body` (memory mode), or written to
// `file` (file mode, which takes precedence), or dropped when neither is given.
// Only status 200 is accepted. The folder of `file` must exist. A memory-mode
// exchange has a total time limit; a file download a minimum rate.
void HttpsGet(const std::wstring& address, std::string* body, const std::filesystem::path* file);

struct DownloadOptions {
    // The host serves byte ranges: a broken connection is resumed where it
    // broke, and a partial `file` left by an earlier run is continued. Its
    // validator is kept beside it (DownloadValidatorPath) until the file is whole.
    bool byteRanges = false;
    // A whole file keeps its validator too, for a caller that may give the
    // file back to be resumed later (which then costs no byte).
    bool keepValidator = false;
    // A limit on the whole download besides the minimum rate; 0: none.
    std::uint32_t totalMs = 0;
    // The most bytes the file may have; a reply announcing or sending more
    // fails with "The update file is larger than expected". 0: no limit.
    std::uint64_t maxBytes = 0;
    // Bytes of the file so far (resumed ones included) and the file's length,
    // 0 while unknown. Called on the downloading thread after every piece.
    std::function<void(std::uint64_t received, std::uint64_t total)> progress;
    // Once the reply's headers are accepted, before a byte of the body is read
    // or the file opened: the bytes still to come and the file's length (both
    // 0 while unknown). Throwing stops the download there.
    std::function<void(std::uint64_t remaining, std::uint64_t total)> replyLength;
};

// A download that the disk cannot hold: refused before its body, or a write
// that failed because the disk filled up ("Could not save the update archive").
class DiskSpaceError : public LauncherError {
  public:
    using LauncherError::LauncherError;
};

// Downloads `address` into `file`. Fails with the sentences of HttpsGet; a
// line that keeps too low a rate fails with "The update service stopped
// sending data" and is not tried again within the call.
void HttpsDownload(const std::wstring& address, const std::filesystem::path& file,
                   const DownloadOptions& options);

// Where a resumable download keeps the reply's strong ETag and length.
std::filesystem::path DownloadValidatorPath(const std::filesystem::path& file);
