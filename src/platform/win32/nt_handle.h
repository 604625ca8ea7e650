// An owner for one kernel handle: it closes the handle when its scope ends, through the table of
// NT calls that opened it (tests replace the table), or with CloseHandle for a handle kernel32
// opened. Move-only, two pointers, no allocation.
#pragma once

#include <utility>

#include "platform/win32/nt_calls.h"

namespace quarvex::win32 {

class NtHandle {
  public:
    NtHandle() = default;
    // A handle that `nt` opened.
    NtHandle(const NtCalls& nt, HANDLE handle) : nt_(&nt), handle_(handle) {}
    // A handle from kernel32 (CreateFileW), which closes with CloseHandle.
    static NtHandle fromKernel32(HANDLE handle) {
        NtHandle owner;
        owner.handle_ = handle;
        return owner;
    }

    ~NtHandle() { reset(); }
    NtHandle(NtHandle&& other) noexcept
        : nt_(other.nt_), handle_(std::exchange(other.handle_, nullptr)) {}
    NtHandle& operator=(NtHandle&& other) noexcept {
        if (this != &other) {
            reset();
            nt_ = other.nt_;
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    NtHandle(const NtHandle&) = delete;
    NtHandle& operator=(const NtHandle&) = delete;

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    void reset() {
        const HANDLE handle = std::exchange(handle_, nullptr);
        if (handle == nullptr) return;
        if (nt_ != nullptr)
            nt_->close(handle);
        else
            CloseHandle(handle);
    }

  private:
    const NtCalls* nt_ = nullptr;  // null: a kernel32 handle
    HANDLE handle_ = nullptr;
};

}  // namespace quarvex::win32
