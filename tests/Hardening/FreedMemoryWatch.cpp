#include "FreedMemoryWatch.h"

#include <malloc.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>

namespace duoquill::test {
namespace {

// Fixed storage: the scan runs inside operator delete and must not allocate.
struct Secret {
    std::array<std::uint8_t, 64> bytes{};
    std::size_t size = 0;
    std::array<char, 64> name{};
    std::size_t foundInBlockOf = 0;  // 0: not found
};

// Constant-initialised, so ready before any static constructor allocates.
struct WatchState {
    bool active = false;
    std::size_t count = 0;
    std::array<Secret, FreedMemoryWatch::maxSecrets> secrets;

    std::span<Secret> watched() { return std::span(secrets).first(count); }
} state;

bool contains(const void* block, std::size_t size, const Secret& secret) {
    return size >= secret.size && memmem(block, size, secret.bytes.data(), secret.size) != nullptr;
}

void scanFreed(void* block, std::size_t size) noexcept {
    if (!state.active || block == nullptr) return;
    for (Secret& secret : state.watched()) {
        if (secret.foundInBlockOf == 0 && contains(block, size, secret)) secret.foundInBlockOf = size;
    }
}

}  // namespace

FreedMemoryWatch::FreedMemoryWatch() {
    state.count = 0;
    state.active = true;
}

FreedMemoryWatch::~FreedMemoryWatch() { state.active = false; }

void FreedMemoryWatch::watch(const std::string& name, BytesView secret) {
    if (secret.size() < shortestSecret || state.count == maxSecrets) return;
    // All-zero values are what wiped and not-yet-derived fields hold, not secrets.
    if (std::all_of(secret.begin(), secret.end(), [](std::uint8_t b) { return b == 0; })) return;
    const std::size_t size = std::min(secret.size(), Secret{}.bytes.size());
    for (const Secret& known : state.watched()) {
        if (known.size == size && std::memcmp(known.bytes.data(), secret.data(), size) == 0) return;
    }
    Secret& slot = state.secrets[state.count++];
    slot = Secret{};
    std::memcpy(slot.bytes.data(), secret.data(), size);
    slot.size = size;
    std::strncpy(slot.name.data(), name.c_str(), slot.name.size() - 1);
}

std::size_t FreedMemoryWatch::watchedCount() const { return state.count; }

std::vector<std::string> FreedMemoryWatch::findings() const {
    std::vector<std::string> out;
    for (const Secret& secret : state.watched()) {
        if (secret.foundInBlockOf != 0) {
            out.push_back(std::string(secret.name.data()) + " (in a freed block of " +
                          std::to_string(secret.foundInBlockOf) + " bytes)");
        }
    }
    return out;
}

std::vector<std::string> FreedMemoryWatch::occurrencesIn(BytesView memory) const {
    std::vector<std::string> out;
    for (const Secret& secret : state.watched()) {
        if (contains(memory.data(), memory.size(), secret)) out.emplace_back(secret.name.data());
    }
    return out;
}

}  // namespace duoquill::test

// The replaced allocation functions. Arrays, nothrow and sized forms reach these through the
// standard library's defaults; aligned forms keep the library's own pair.
// Not inlined: g++ 14 would otherwise see malloc's block reach operator delete in this file and
// take it for a mismatched pair.
[[gnu::noinline]] void* operator new(std::size_t size) {
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
    if (block) duoquill::test::scanFreed(block, malloc_usable_size(block));
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
