#pragma once
// What every fuzz target shares: reading structured values out of the input, failing loudly
// when an invariant breaks, and writing the target's seed corpus.

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::fuzz {

// Reads the input front to back. Past the end every read gives zeros or empty views, so a
// target never has to check lengths before it reads.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}
    std::uint8_t u8();
    std::uint16_t u16();  // big-endian
    std::uint64_t u64();  // big-endian
    BytesView take(std::size_t count);
    BytesView rest();
    std::size_t remaining() const noexcept { return bytes_.size() - position_; }

private:
    BytesView bytes_;
    std::size_t position_ = 0;
};

// Builds inputs in the layout FuzzInput reads.
class SeedWriter {
public:
    SeedWriter& u8(std::uint8_t value);
    SeedWriter& u16(std::uint16_t value);
    SeedWriter& u64(std::uint64_t value);
    SeedWriter& bytes(BytesView value);
    Bytes done() { return std::move(out_); }

private:
    Bytes out_;
};

// Reports the broken invariant on standard error and aborts, which libFuzzer records as a crash.
void require(bool condition, std::string_view invariant);

// When DUOQUILL_FUZZ_WRITE_SEEDS names a directory, writes the seeds there (one file each,
// named by their SHA-256) and ends the process; otherwise does nothing. Called from
// LLVMFuzzerInitialize, so the seeds come from the same code and the same world as the run.
void writeSeedsIfAsked(const std::function<std::vector<Bytes>()>& makeSeeds);

}  // namespace duoquill::fuzz
