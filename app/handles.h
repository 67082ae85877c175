#pragma once
// One owner for every kind of platform handle: a move-only wrapper whose traits name
// the handle type, its empty value and the call that releases it. Declare owners in
// the order of acquisition; destruction then releases them in reverse.

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <utility>

template <typename Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Traits::empty(); }

    // Gives up ownership without releasing.
    Handle release() noexcept { return std::exchange(handle_, Traits::empty()); }

    // Releases the held handle (if any) and takes `handle`.
    void reset(Handle handle = Traits::empty()) noexcept {
        Handle old = std::exchange(handle_, handle);
        if (old != Traits::empty()) Traits::close(old);
    }

private:
    Handle handle_ = Traits::empty();
};

struct WinHttpTraits {
    using Handle = HINTERNET;
    static Handle empty() noexcept { return nullptr; }
    static void close(Handle handle) noexcept { WinHttpCloseHandle(handle); }
};

struct FileTraits {
    using Handle = HANDLE;
    static Handle empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Handle handle) noexcept { CloseHandle(handle); }
};

struct CngAlgorithmTraits {
    using Handle = BCRYPT_ALG_HANDLE;
    static Handle empty() noexcept { return nullptr; }
    static void close(Handle handle) noexcept { BCryptCloseAlgorithmProvider(handle, 0); }
};

struct CngHashTraits {
    using Handle = BCRYPT_HASH_HANDLE;
    static Handle empty() noexcept { return nullptr; }
    static void close(Handle handle) noexcept { BCryptDestroyHash(handle); }
};

using WinHttpHandle = UniqueHandle<WinHttpTraits>;
using FileHandle = UniqueHandle<FileTraits>;
using CngAlgorithm = UniqueHandle<CngAlgorithmTraits>;
using CngHash = UniqueHandle<CngHashTraits>;
