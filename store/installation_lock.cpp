#include "store/installation_lock.h"

#include <windows.h>
#include <sddl.h>

#include <utility>

#include "base/launcher_error.h"
#include "base/scoped_handle.h"
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

std::wstring InstallationLockSecurity(const std::wstring& userSid) {
    // The rights spelled out: Windows maps generic ones when it stores an
    // ACE, Wine does not.
    return L"D:P(A;;0x1F0001;;;" + userSid + L")(A;;0x1F0001;;;SY)S:(ML;;NW;;;ME)";
}

namespace {

std::wstring LockSecurityText() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return {};
    }
    const KernelHandle token(raw);
    union {
        TOKEN_USER user;
        BYTE bytes[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    } owner{};
    DWORD size = 0;
    wchar_t* text = nullptr;
    if (!GetTokenInformation(token.get(), TokenUser, &owner, sizeof(owner), &size) ||
        !ConvertSidToStringSidW(owner.user.User.Sid, &text)) {
        return {};
    }
    const LocalMemory textOwner(text);
    return InstallationLockSecurity(text);
}

// The mutex, or an empty handle when another launcher's mutex exists but this
// one may not open it: it counts as held.
KernelHandle CreateLockMutex(const std::wstring& name) {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::wstring text = LockSecurityText();
    if (!text.empty() && ConvertStringSecurityDescriptorToSecurityDescriptorW(
                             text.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        attributes.lpSecurityDescriptor = descriptor;
    }
    const LocalMemory descriptorOwner(descriptor);
    KernelHandle mutex(
        CreateMutexW(attributes.lpSecurityDescriptor ? &attributes : nullptr, FALSE, name.c_str()));
    if (!mutex && GetLastError() != ERROR_ACCESS_DENIED) {
        throw LauncherError(LockFailure);
    }
    return mutex;
}

constexpr DWORD DeniedRetryMs = 500;

}  // namespace

InstallationLock::InstallationLock(const fs::path& root)
    : name_(InstallationLockName(root)), mutex_(CreateLockMutex(name_)) {}

bool InstallationLock::Opened() {
    if (!mutex_) {
        mutex_ = CreateLockMutex(name_);
    }
    return static_cast<bool>(mutex_);
}

InstallationLock::Owner InstallationLock::Acquire() {
    // A mutex this launcher may not open is held by the launcher that made
    // it: looked at again until that one has ended.
    while (!Opened()) {
        Sleep(DeniedRetryMs);
    }
    const DWORD waited = WaitForSingleObject(mutex_.get(), INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        throw LauncherError(LockFailure);
    }
    return Owner(mutex_.get());
}

std::optional<InstallationLock::Owner> InstallationLock::TryAcquire() {
    if (!Opened()) {
        return std::nullopt;
    }
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
