#include "Duoquill/Identity/SafetyCode.h"

#include <algorithm>
#include <cstdint>

#include "Duoquill/Primitives/Sha2.h"

namespace duoquill::SafetyCode {
namespace {

void appendWithLength(Sha512& hash, BytesView key) {
    const std::uint8_t length[2] = {static_cast<std::uint8_t>(key.size() >> 8), static_cast<std::uint8_t>(key.size())};
    hash.update(BytesView(length, sizeof length));
    hash.update(key);
}

}  // namespace

std::string derive(const p256::PublicKey& ours, const p256::PublicKey& theirs) {
    Bytes first = ours.compressed();
    Bytes second = theirs.compressed();
    if (std::lexicographical_compare(second.begin(), second.end(), first.begin(), first.end())) std::swap(first, second);

    Sha512 hash;
    hash.update(BytesView(reinterpret_cast<const std::uint8_t*>(label.data()), label.size()));
    appendWithLength(hash, first);
    appendWithLength(hash, second);
    const Bytes digest = hash.finish();

    std::string code;
    for (std::size_t g = 0; g < groups; ++g) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < digitsPerGroup; ++i) value = (value << 8) | digest[g * digitsPerGroup + i];
        std::string digits = std::to_string(value % 100000);
        if (g != 0) code += ' ';
        code.append(digitsPerGroup - digits.size(), '0');
        code += digits;
    }
    return code;
}

}  // namespace duoquill::SafetyCode
