// Creation of an owned object that reports a failed allocation as null instead of throwing: for
// the places that have their own answer to "cannot be created" (a result code, a log line, a
// dropped frame), where an exception would end the process instead.
#pragma once
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

template <typename T, typename... Args>
std::enable_if_t<!std::is_array<T>::value, std::unique_ptr<T>> MakeUniqueNoThrow(Args&&... args) {
    return std::unique_ptr<T>(new (std::nothrow) T(std::forward<Args>(args)...));
}

// A block of count elements, left uninitialised: its owner writes it before reading.
template <typename T>
std::enable_if_t<std::is_array<T>::value && std::extent<T>::value == 0, std::unique_ptr<T>>
MakeUniqueNoThrow(size_t count) {
    return std::unique_ptr<T>(new (std::nothrow) std::remove_extent_t<T>[count]);
}
