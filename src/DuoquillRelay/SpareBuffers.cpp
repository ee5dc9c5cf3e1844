#include "DuoquillRelay/SpareBuffers.h"

#include <array>
#include <utility>

namespace duoquill::relay::SpareBuffers {
namespace {

// What an empty string holds inline, without storage of its own.
const std::size_t kInlineCapacity = std::string().capacity();

struct Spares {
    std::array<std::string, kMostKept> strings;
    std::size_t count = 0;
};

Spares& spares() noexcept {
    thread_local Spares kept;
    return kept;
}

}  // namespace

void reuse(std::string& empty) noexcept {
    Spares& kept = spares();
    if (!empty.empty() || empty.capacity() > kInlineCapacity || kept.count == 0) return;
    empty.swap(kept.strings[--kept.count]);  // the spare slot takes the inline string
}

void giveBack(std::string& used) noexcept {
    used.clear();
    Spares& kept = spares();
    if (used.capacity() > kInlineCapacity && used.capacity() <= kLargestKept && kept.count < kMostKept) {
        used.swap(kept.strings[kept.count++]);
        return;
    }
    std::string().swap(used);
}

}  // namespace duoquill::relay::SpareBuffers
