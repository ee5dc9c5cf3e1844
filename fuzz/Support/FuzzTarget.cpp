#include "FuzzTarget.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Primitives/Sha2.h"
#include "Duoquill/System/StandardStreams.h"

namespace duoquill::fuzz {

std::uint8_t FuzzInput::u8() {
    const BytesView b = take(1);
    return b.empty() ? 0 : b[0];
}

std::uint16_t FuzzInput::u16() {
    const std::uint16_t high = u8();
    return static_cast<std::uint16_t>((high << 8) | u8());
}

std::uint64_t FuzzInput::u64() {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | u8();
    return value;
}

BytesView FuzzInput::take(std::size_t count) {
    const std::size_t n = std::min(count, remaining());
    const BytesView out = bytes_.subspan(position_, n);
    position_ += n;
    return out;
}

BytesView FuzzInput::rest() { return take(remaining()); }

SeedWriter& SeedWriter::u8(std::uint8_t value) {
    out_.push_back(value);
    return *this;
}

SeedWriter& SeedWriter::u16(std::uint16_t value) {
    out_.push_back(static_cast<std::uint8_t>(value >> 8));
    out_.push_back(static_cast<std::uint8_t>(value));
    return *this;
}

SeedWriter& SeedWriter::u64(std::uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8) out_.push_back(static_cast<std::uint8_t>(value >> shift));
    return *this;
}

SeedWriter& SeedWriter::bytes(BytesView value) {
    out_.insert(out_.end(), value.begin(), value.end());
    return *this;
}

void require(bool condition, std::string_view invariant) {
    if (condition) return;
    writeStandardError("invariant broken: " + std::string(invariant) + "\n");
    std::abort();
}

void writeSeedsIfAsked(const std::function<std::vector<Bytes>()>& makeSeeds) {
    const char* directory = std::getenv("DUOQUILL_FUZZ_WRITE_SEEDS");
    if (!directory || !*directory) return;
    std::filesystem::create_directories(directory);
    for (const Bytes& seed : makeSeeds()) {
        const std::string name = hexString(sha256(seed)).substr(0, 40);
        std::ofstream(std::filesystem::path(directory) / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
    }
    std::exit(0);
}

}  // namespace duoquill::fuzz
