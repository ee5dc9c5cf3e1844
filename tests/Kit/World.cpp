#include "Kit/World.h"

#include <vector>

#include "Duoquill/Primitives/PQ/MLDSA87.h"
#include "Duoquill/Base/PlatformError.h"

namespace duoquill::test {

namespace {

class StandInMLDSAKey final : public MLDSA87Key {
public:
    const Bytes& publicKey() const override {
        static const Bytes key(mldsa87::publicKeySize, 0x5a);
        return key;
    }
};

}  // namespace

std::uint64_t DeterministicStream::next() noexcept {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

void DeterministicStream::fill(std::span<std::uint8_t> out) noexcept {
    for (std::size_t i = 0; i < out.size(); i += 8) {
        const std::uint64_t word = next();
        for (std::size_t j = 0; j < 8 && i + j < out.size(); ++j) out[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
    }
}

p256::PrivateKey DeterministicKeyStore::p256Key() {
    // A 256-bit draw is at or above the group order about once in 2^32 draws: draw again.
    for (;;) {
        try {
            return p256::PrivateKey::fromScalar(stream_.bytes(p256::scalarSize));
        } catch (const CryptoError&) {
        }
    }
}

std::unique_ptr<MLKEM1024Key> DeterministicKeyStore::generateMLKEM1024() {
    if (fast_) {
        static const auto pool = [] {
            std::vector<std::shared_ptr<const MLKEM1024Key>> keys;
            for (std::uint8_t i = 0; i < 8; ++i) {
                keys.push_back(SoftwareKeyStore::mlkemFromSeed(Bytes(32, i + 1), Bytes(32, 0xA0 + i)));
            }
            return keys;
        }();
        return std::make_unique<SharedMLKEMKey>(pool[stream_.next() % pool.size()]);
    }
    const Bytes d = stream_.bytes(mlkem1024::seedSize), z = stream_.bytes(mlkem1024::seedSize);
    return SoftwareKeyStore::mlkemFromSeed(d, z);
}

std::unique_ptr<MLDSA87Key> DeterministicKeyStore::generateMLDSA87() {
    if (fast_) return std::make_unique<StandInMLDSAKey>();
    return SoftwareKeyStore::mldsaFromSeed(stream_.bytes(mldsa87::seedSize));
}

std::unique_ptr<PFSChatSession> World::makeSession(int index) {
    return std::make_unique<PFSChatSession>(environment(), SoftwareKeyStore::wrap(identityKey(index)),
                                            identityKey(1 - index).publicKey(), roomCode);
}

void World::handshake(PFSChatSession& a, PFSChatSession& b, bool pq) {
    a.completeHandshake(b.authCiphertext(), b.authEncapKey(), b.mlkemPublicKeyData(), testTime);
    b.completeHandshake(a.authCiphertext(), a.authEncapKey(), a.mlkemPublicKeyData(), testTime);
    if (!pq) return;
    PFSChatSession& initiator = a.isInitiator().value() ? a : b;
    PFSChatSession& responder = a.isInitiator().value() ? b : a;
    const Bytes ciphertext = initiator.performPQKeyExchange();
    responder.completePQKeyExchange(ciphertext, testTime);
    initiator.completePQInitiator(testTime);
}

}  // namespace duoquill::test
