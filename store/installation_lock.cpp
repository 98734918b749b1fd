#include "store/installation_lock.h"

#include <windows.h>

#include <utility>

#include "base/launcher_error.h"
#include "base/text.h"
#include "service/digest.h"
#include "format/windows_names.h"

namespace fs = std::filesystem;

namespace {

constexpr char LockFailure[] = "Could not take the installation lock";

}  // namespace

std::wstring InstallationLockName(const fs::path& root) {
    // One text per folder: separators and a trailing one as Windows reads them.
    std::wstring text = root.lexically_normal().make_preferred().wstring();
    while (text.size() > 3 && text.back() == L'\\') {
        text.pop_back();
    }
    const std::string folded = FoldCaseAsNtfs(Utf16ToUtf8(text));
    Sha256 hash(LockFailure);
    hash.Add(folded.data(), folded.size());
    return L"Local\\TessikInstallation-" + Utf8ToUtf16(hash.FinishHex());
}

InstallationLock::InstallationLock(const fs::path& root)
    : mutex_(CreateMutexW(nullptr, FALSE, InstallationLockName(root).c_str())) {
    if (!mutex_) {
        throw LauncherError(LockFailure);
    }
}

InstallationLock::Owner InstallationLock::Acquire() {
    const DWORD waited = WaitForSingleObject(mutex_.get(), INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        throw LauncherError(LockFailure);
    }
    return Owner(mutex_.get());
}

std::optional<InstallationLock::Owner> InstallationLock::TryAcquire() {
    const DWORD waited = WaitForSingleObject(mutex_.get(), 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        return std::nullopt;
    }
    return Owner(mutex_.get());
}

InstallationLock::Owner::Owner(Owner&& other) noexcept
    : mutex_(std::exchange(other.mutex_, nullptr)) {}

InstallationLock::Owner::~Owner() {
    if (mutex_ != nullptr) {
        ReleaseMutex(mutex_);
    }
}
