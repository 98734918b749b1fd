#pragma once

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

  private:
    Handle handle_{};
};
