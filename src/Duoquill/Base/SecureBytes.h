#pragma once
// Byte strings. `Bytes` holds public data; `SecureBytes` holds secrets and wipes every
// buffer it releases (on destruction and on every reallocation), so a secret never
// lingers in freed heap memory. Once the locked pool is enabled (LockedMemory.h), small
// SecureBytes buffers live in memory that is never swapped out.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Duoquill/Base/LockedMemory.h"

namespace duoquill {

using Bytes = std::vector<std::uint8_t>;
using BytesView = std::span<const std::uint8_t>;

// Overwrites the bytes with zeros through a call the optimiser may not remove.
void secureWipe(void* data, std::size_t size) noexcept;

template <class T>
struct ZeroizingAllocator {
    using value_type = T;
    ZeroizingAllocator() noexcept = default;
    template <class U>
    ZeroizingAllocator(const ZeroizingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (void* locked = lockedmemory::allocate(n * sizeof(T))) return static_cast<T*>(locked);
        return std::allocator<T>{}.allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        secureWipe(p, n * sizeof(T));
        if (!lockedmemory::deallocate(p, n * sizeof(T))) std::allocator<T>{}.deallocate(p, n);
    }
    template <class U>
    bool operator==(const ZeroizingAllocator<U>&) const noexcept { return true; }
};

using SecureBytes = std::vector<std::uint8_t, ZeroizingAllocator<std::uint8_t>>;

// Text that may be secret (a typed or a received line). Unlike std::string it has no
// small-string buffer that a copy or a move would leave behind unwiped: the characters live
// only in a wiped buffer, so every copy it makes is wiped on release and on reallocation.
class SecureText {
public:
    SecureText() = default;
    explicit SecureText(std::string_view text) : chars_(text.begin(), text.end()) {}

    std::string_view view() const noexcept { return {chars_.data(), chars_.size()}; }
    BytesView bytes() const noexcept { return {reinterpret_cast<const std::uint8_t*>(chars_.data()), chars_.size()}; }
    bool empty() const noexcept { return chars_.empty(); }
    std::size_t size() const noexcept { return chars_.size(); }
    char back() const noexcept { return chars_.back(); }

    void reserve(std::size_t size) { chars_.reserve(size); }
    void pop_back() noexcept { chars_.pop_back(); }
    SecureText& operator+=(char c) {
        chars_.push_back(c);
        return *this;
    }
    SecureText& operator+=(std::string_view text) {
        chars_.insert(chars_.end(), text.begin(), text.end());
        return *this;
    }
    bool operator==(std::string_view text) const noexcept { return view() == text; }

private:
    std::vector<char, ZeroizingAllocator<char>> chars_;
};

// A fixed-size value (a polynomial, a seed buffer) that may hold secrets: wiped when it goes
// out of scope.
template <class T>
struct Wiped {
    T value{};
    Wiped() = default;
    Wiped(const Wiped&) = delete;
    Wiped& operator=(const Wiped&) = delete;
    ~Wiped() { secureWipe(&value, sizeof value); }
};

inline SecureBytes toSecure(BytesView v) { return SecureBytes(v.begin(), v.end()); }
inline Bytes toBytes(BytesView v) { return Bytes(v.begin(), v.end()); }
inline BytesView asBytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Concatenation of any number of byte views into a fresh buffer of type Out.
template <class Out = Bytes, class... Views>
Out concat(const Views&... views) {
    Out out;
    out.reserve((BytesView(views).size() + ... + 0));
    (out.insert(out.end(), BytesView(views).begin(), BytesView(views).end()), ...);
    return out;
}

}  // namespace duoquill
