// Ownership of one operating-system handle. The object that holds it closes it exactly once:
// through Close, which reports what closing said (a file's last write errors show up there), or
// else when it goes away, so that no early return can leak a descriptor or a HANDLE. The traits
// give the handle's type, its "none" value and how it is closed; each platform has its own.
#pragma once
#include <cstdint>
#include <utility>

namespace platform {

template <typename Traits> class UniqueHandle {
public:
    using Native = typename Traits::Native;

    UniqueHandle() = default;
    explicit UniqueHandle(Native handle) : m_handle(handle) {}
    ~UniqueHandle() { (void)Close(); }
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            (void)Close();
            m_handle = other.Release();
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Native Get() const { return m_handle; }
    bool IsValid() const { return Traits::IsValid(m_handle); }
    // Hands the handle to an owner that closes it by other means; this object then holds none.
    Native Release() { return std::exchange(m_handle, Traits::None()); }
    // Closes now; false when closing reported an error (the handle is gone either way). Holding
    // none is not an error.
    bool Close() {
        if (!IsValid())
            return true;
        return Traits::Close(std::exchange(m_handle, Traits::None()));
    }

private:
    Native m_handle = Traits::None();
};

// A file of the platform kept as an integer, so that headers need no system types: a descriptor
// on POSIX, a HANDLE on Windows. The two functions are defined once per platform.
struct NativeFileTraits {
    using Native = intptr_t;
    static intptr_t None() { return -1; }
    static bool IsValid(intptr_t file);
    static bool Close(intptr_t file);
};
using UniqueFile = UniqueHandle<NativeFileTraits>;

} // namespace platform
