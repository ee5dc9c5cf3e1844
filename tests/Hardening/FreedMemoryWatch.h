#pragma once
// Watches every block this test program frees through operator delete for a copy of given
// secrets: a secret found in a freed block was released without being wiped first.
//
// The program's operator new and delete are replaced (FreedMemoryWatch.cpp) by versions over
// malloc and free that scan each freed block while a watch is active. One watch at a time;
// single-threaded use.

#include <string>
#include <vector>

#include "Duoquill/Platform/SecureBytes.h"

namespace duoquill::test {

class FreedMemoryWatch {
public:
    static constexpr std::size_t maxSecrets = 512;
    // Shorter patterns would match by chance.
    static constexpr std::size_t shortestSecret = 12;

    FreedMemoryWatch();
    ~FreedMemoryWatch();
    FreedMemoryWatch(const FreedMemoryWatch&) = delete;
    FreedMemoryWatch& operator=(const FreedMemoryWatch&) = delete;

    // Watches for `secret` from now on. Values already watched, too short, all zero or beyond
    // maxSecrets are ignored.
    void watch(const std::string& name, BytesView secret);
    std::size_t watchedCount() const;

    // "name (in a freed block of N bytes)", once per secret found.
    std::vector<std::string> findings() const;

    // Where `secret` patterns occur in `memory`: the names found.
    std::vector<std::string> occurrencesIn(BytesView memory) const;
};

}  // namespace duoquill::test
