#include "Duoquill/Session/SessionEnvironment.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>

#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Primitives/Random.h"

namespace duoquill {
namespace {

// Padding bytes and bucket choices are small draws on every record and frame. They come from
// a per-thread buffer filled 32 KiB at a time: one call into the random source (and its
// per-call fork check, a system call) per buffer instead of two per record. Bytes are wiped
// as they are handed out; a fork empties the buffer, so parent and child never share bytes.
std::atomic<unsigned> forkGeneration{0};

class BufferedRandom {
public:
    static constexpr std::size_t capacity = 32 * 1024;

    void fill(std::span<std::uint8_t> out) {
        if (out.size() > capacity / 4) {
            random::fill(out);
            return;
        }
        if (generation_ != forkGeneration.load(std::memory_order_relaxed) || buffer_.size() - used_ < out.size()) {
            refill();
        }
        const auto source = std::span(buffer_).subspan(used_, out.size());
        std::copy(source.begin(), source.end(), out.begin());
        secureWipe(source.data(), source.size());
        used_ += out.size();
    }

private:
    void refill() {
        registerForkHandler();
        buffer_.resize(capacity);
        generation_ = forkGeneration.load(std::memory_order_relaxed);
        random::fill(buffer_);
        used_ = 0;
    }

    static void registerForkHandler() {
        static const bool registered =
            pthread_atfork(nullptr, nullptr, [] { forkGeneration.fetch_add(1, std::memory_order_relaxed); }) == 0;
        if (!registered) throw RandomSourceError("the random source could not watch for forks");
    }

    SecureBytes buffer_;
    std::size_t used_ = 0;
    unsigned generation_ = 0;
};

BufferedRandom& buffered() {
    thread_local BufferedRandom random;
    return random;
}

}  // namespace

hpke::SenderContext SessionEntropy::hpkeSender(const p256::PublicKey& recipient, const hpke::KeySchedule& schedule) {
    return hpke::SenderContext::setup(recipient, schedule);
}

mlkem1024::Encapsulation SessionEntropy::encapsulate(BytesView encapsulationKey) {
    return mlkem1024::encapsulate(encapsulationKey);
}

std::uint32_t SessionEntropy::uniform(std::uint32_t upperBound) {
    if (upperBound == 0) throw CryptoError("uniform: empty range");
    // Values below 2^32 mod upperBound would make the low residues more likely; draw again.
    const std::uint32_t threshold = static_cast<std::uint32_t>(-upperBound) % upperBound;
    for (;;) {
        std::uint32_t value = 0;
        buffered().fill({reinterpret_cast<std::uint8_t*>(&value), sizeof value});
        if (value >= threshold) return value % upperBound;
    }
}

void SessionEntropy::fill(std::span<std::uint8_t> out) { buffered().fill(out); }

SessionEntropy& SessionEntropy::system() {
    static SessionEntropy entropy;
    return entropy;
}

}  // namespace duoquill
