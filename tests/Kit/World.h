#pragma once
// One deterministic world for tests, fuzz targets and benchmarks: every key and random choice
// of a session drawn from one seeded stream, clocks that move only when told, and a private
// directory for the room's epoch file (the client's drivers write it; sessions are handed times). Worlds built alike hold the same keys in every run, so seed inputs made by
// this code open again in a later run.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "Duoquill/Session/PFSChatSession.h"
#include "Duoquill/Session/SessionEnvironment.h"
#include "Duoquill/System/Clock.h"
#include "Kit/Paths.h"

namespace duoquill {

// A clock that moves only when told to.
// The time sessions are handed where a test does not move it: a ManualClock's start.
inline constexpr Instant testTime{1'700'000'000.0, 1000.0};

class ManualClock final : public Clock {
public:
    explicit ManualClock(double wall = 1'700'000'000.0, double uptime = 1000.0) : wall_(wall), uptime_(uptime) {}
    double wallSeconds() const override { return wall_; }
    double uptimeSeconds() const override { return uptime_; }
    void setWall(double seconds) { wall_ = seconds; }
    void setUptime(double seconds) { uptime_ = seconds; }

private:
    double wall_;
    double uptime_;
};

}  // namespace duoquill

namespace duoquill::test {

// splitmix64: cheap, reproducible, good enough for keys nobody has to keep secret.
class DeterministicStream {
public:
    explicit DeterministicStream(std::uint64_t seed = 0) : state_(seed) {}
    void reset(std::uint64_t seed) noexcept { state_ = seed; }
    std::uint64_t next() noexcept;
    void fill(std::span<std::uint8_t> out) noexcept;
    Bytes bytes(std::size_t count) {
        Bytes out(count);
        fill(out);
        return out;
    }

private:
    std::uint64_t state_;
};

// An ML-KEM key held by others too: a pool's, or the one a session snapshot keeps.
class SharedMLKEMKey final : public MLKEM1024Key {
public:
    explicit SharedMLKEMKey(std::shared_ptr<const MLKEM1024Key> key) : key_(std::move(key)) {}
    const Bytes& publicKey() const override { return key_->publicKey(); }
    SecureBytes decapsulate(BytesView ciphertext) const override { return key_->decapsulate(ciphertext); }

private:
    std::shared_ptr<const MLKEM1024Key> key_;
};

// Software keys made from the stream. Fast keys save key generation: ML-KEM keys come from a
// pool of eight made once, ML-DSA keys are a stand-in (no session ever signs with them).
class DeterministicKeyStore final : public KeyStore {
public:
    DeterministicKeyStore(DeterministicStream& stream, bool fast) : stream_(stream), fast_(fast) {}
    std::unique_ptr<P256KeyAgreementKey> generateP256() override { return SoftwareKeyStore::wrap(p256Key()); }
    std::unique_ptr<P256KeyAgreementKey> restoreP256(BytesView data) override { return software_.restoreP256(data); }
    std::unique_ptr<MLKEM1024Key> generateMLKEM1024() override;
    std::unique_ptr<MLDSA87Key> generateMLDSA87() override;
    p256::PrivateKey p256Key();

private:
    DeterministicStream& stream_;
    bool fast_;
    SoftwareKeyStore software_;
};

// Every random choice of a session, from the stream.
class DeterministicEntropy final : public SessionEntropy {
public:
    DeterministicEntropy(DeterministicStream& stream, DeterministicKeyStore& keys) : stream_(stream), keys_(keys) {}
    hpke::SenderContext hpkeSender(const p256::PublicKey& recipient, const hpke::KeySchedule& schedule) override {
        return hpke::SenderContext::setupWithEphemeral(recipient, schedule, keys_.p256Key());
    }
    mlkem1024::Encapsulation encapsulate(BytesView encapsulationKey) override {
        return mlkem1024::encapsulateWithRandomness(encapsulationKey, stream_.bytes(32));
    }
    std::uint32_t uniform(std::uint32_t upperBound) override { return static_cast<std::uint32_t>(stream_.next() % upperBound); }
    void fill(std::span<std::uint8_t> out) override { stream_.fill(out); }

private:
    DeterministicStream& stream_;
    DeterministicKeyStore& keys_;
};

struct World {
    explicit World(std::uint64_t seed = 0x6475'6f71'7569'6c6cULL, bool fast = false)
        : stream(seed), keyStore(stream, fast) {}

    SessionEnvironment environment() {
        return {.keyStore = keyStore, .entropy = entropy};
    }
    // Identity `index` of the pair: 0 has the scalar 0x11...11, 1 has 0x22...22.
    static p256::PrivateKey identityKey(int index) { return p256::PrivateKey::fromScalar(Bytes(32, index == 0 ? 0x11 : 0x22)); }
    // A session of identity `index` talking to the other one.
    std::unique_ptr<PFSChatSession> makeSession(int index);
    // The P-256 stage on both sides, then (with `pq`) the post-quantum one.
    static void handshake(PFSChatSession& a, PFSChatSession& b, bool pq = true);
    // Restarts the stream, so that what follows repeats exactly.
    void reseed(std::uint64_t seed) noexcept { stream.reset(seed); }

    const std::string roomCode = std::string(64, '5') + std::string(64, 'e');
    DeterministicStream stream;
    DeterministicKeyStore keyStore;
    DeterministicEntropy entropy{stream, keyStore};
    ManualClock clock;
    TempDir epochs;
};

}  // namespace duoquill::test
