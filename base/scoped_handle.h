#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <utility>

// Move-only owner of one platform handle. `Close` is called exactly once for a
// held handle, when the owner is destroyed or reset; a null handle is "none".
template <typename Handle, auto Close>
class ScopedHandle {
  public:
    ScopedHandle() = default;
    explicit ScopedHandle(Handle handle) : handle_(handle) {}
    ~ScopedHandle() { reset(); }

    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(std::exchange(other.handle_, Handle{})) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, Handle{});
        }
        return *this;
    }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Handle{}; }

    void reset(Handle handle = Handle{}) {
        if (handle_ != Handle{}) {
            Close(handle_);
        }
        handle_ = handle;
    }

    // Hands the handle on to a new owner; this one then holds none.
    [[nodiscard]] Handle release() { return std::exchange(handle_, Handle{}); }

  private:
    Handle handle_{};
};

namespace handle_close {
inline void Kernel(HANDLE handle) { ::CloseHandle(handle); }
inline void Local(HLOCAL memory) { ::LocalFree(memory); }
inline void Find(HANDLE search) { ::FindClose(search); }
inline void WinHttp(HINTERNET handle) { ::WinHttpCloseHandle(handle); }
inline void CngAlgorithm(BCRYPT_ALG_HANDLE handle) { ::BCryptCloseAlgorithmProvider(handle, 0); }
inline void CngHash(BCRYPT_HASH_HANDLE handle) { ::BCryptDestroyHash(handle); }
inline void CngKey(BCRYPT_KEY_HANDLE handle) { ::BCryptDestroyKey(handle); }
inline void Registry(HKEY key) { ::RegCloseKey(key); }
}  // namespace handle_close

// Processes, threads, files and pipe ends.
using KernelHandle = ScopedHandle<HANDLE, &handle_close::Kernel>;
// A FindFirstFileExW search (check for INVALID_HANDLE_VALUE before owning it).
using FindHandle = ScopedHandle<HANDLE, &handle_close::Find>;
// Memory the system hands out with LocalAlloc (for example CommandLineToArgvW's array).
using LocalMemory = ScopedHandle<HLOCAL, &handle_close::Local>;
// A WinHTTP session, connection or request.
using WinHttpHandle = ScopedHandle<HINTERNET, &handle_close::WinHttp>;
// CNG algorithm providers, hash objects and keys.
using CngAlgorithmHandle = ScopedHandle<BCRYPT_ALG_HANDLE, &handle_close::CngAlgorithm>;
using CngHashHandle = ScopedHandle<BCRYPT_HASH_HANDLE, &handle_close::CngHash>;
using CngKeyHandle = ScopedHandle<BCRYPT_KEY_HANDLE, &handle_close::CngKey>;
// An open registry key.
using RegistryKey = ScopedHandle<HKEY, &handle_close::Registry>;

// Both handles CreateProcessW returns, released thread first.
struct ProcessHandles {
    ProcessHandles() = default;
    explicit ProcessHandles(const PROCESS_INFORMATION& started)
        : process(started.hProcess), thread(started.hThread) {}

    KernelHandle process;
    KernelHandle thread;  // declared last: destroyed first
};
