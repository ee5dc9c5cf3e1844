#pragma once
// Shared pieces of the session suites: pin a session's randomness and run the handshake
// between two sessions. The session's private state is read through the kit's Access.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Session/PFSChatSession.h"
#include "Duoquill/Session/SessionEnvironment.h"
#include "Duoquill/Session/SessionEpochStore.h"
#include "Kit/Paths.h"
#include "Kit/SessionAccess.h"
#include "Kit/World.h"

namespace duoquill::test {

inline SecureBytes secure(std::string_view text) { return toSecure(asBytes(text)); }
inline Bytes flipped(Bytes bytes, std::size_t bit) {
    bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    return bytes;
}
inline Bytes resized(Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

// A field of Access::fields(s), by name.
inline std::string field(const PFSChatSession& s, const std::string& name) { return Access::fields(s).at(name); }

// The front of `queue`, taken off it; nothing when it is empty.
template <class T>
std::optional<T> next(std::deque<T>& queue) {
    if (queue.empty()) return std::nullopt;
    T value = std::move(queue.front());
    queue.pop_front();
    return value;
}

// Randomness that takes the queued values first and real randomness once a queue is empty.
struct FixedEntropy : SessionEntropy {
    std::deque<Bytes> hpkeEphemeralScalars;
    std::deque<Bytes> encapsulationRandomness;
    std::deque<std::uint32_t> choices;   // extra padding buckets
    std::deque<Bytes> paddingBytes;      // must match the requested length

    hpke::SenderContext hpkeSender(const p256::PublicKey& recipient, const hpke::KeySchedule& schedule) override {
        const auto scalar = next(hpkeEphemeralScalars);
        if (!scalar) return SessionEntropy::hpkeSender(recipient, schedule);
        return hpke::SenderContext::setupWithEphemeral(recipient, schedule, p256::PrivateKey::fromScalar(*scalar));
    }
    mlkem1024::Encapsulation encapsulate(BytesView key) override {
        const auto m = next(encapsulationRandomness);
        return m ? mlkem1024::encapsulateWithRandomness(key, *m) : SessionEntropy::encapsulate(key);
    }
    std::uint32_t uniform(std::uint32_t upperBound) override {
        const auto choice = next(choices);
        if (!choice) return SessionEntropy::uniform(upperBound);
        EXPECT_LT(*choice, upperBound);
        return *choice;
    }
    void fill(std::span<std::uint8_t> out) override {
        const auto bytes = next(paddingBytes);
        if (!bytes) return SessionEntropy::fill(out);
        ASSERT_EQ(bytes->size(), out.size()) << "queued padding of the wrong length";
        std::copy(bytes->begin(), bytes->end(), out.begin());
    }
};

// Software keys, taking queued P-256 scalars and ML-KEM seeds first.
struct FixedKeyStore : KeyStore {
    std::deque<Bytes> p256Scalars;
    std::deque<std::pair<Bytes, Bytes>> mlkemSeeds;  // (d, z)
    // When set, the next generateMLKEM1024 call throws CryptoError.
    bool failNextMLKEM = false;

    std::unique_ptr<P256KeyAgreementKey> generateP256() override {
        const auto scalar = next(p256Scalars);
        return scalar ? SoftwareKeyStore::wrap(p256::PrivateKey::fromScalar(*scalar)) : system().generateP256();
    }
    std::unique_ptr<P256KeyAgreementKey> restoreP256(BytesView data) override { return system().restoreP256(data); }
    std::unique_ptr<MLKEM1024Key> generateMLKEM1024() override {
        if (std::exchange(failNextMLKEM, false)) throw CryptoError("key store refused");
        const auto seeds = next(mlkemSeeds);
        return seeds ? SoftwareKeyStore::mlkemFromSeed(seeds->first, seeds->second) : system().generateMLKEM1024();
    }
    std::unique_ptr<MLDSA87Key> generateMLDSA87() override { return system().generateMLDSA87(); }
};

// A software identity key: the given scalar, or a fresh one.
using Identity = std::shared_ptr<const P256KeyAgreementKey>;
inline Identity makeIdentity(const std::optional<Bytes>& scalar = std::nullopt) {
    return SoftwareKeyStore::wrap(scalar ? p256::PrivateKey::fromScalar(*scalar) : p256::PrivateKey::generate());
}

// Everything a pair of sessions in one room needs.
struct SessionWorld {
    explicit SessionWorld(std::string roomCode = std::string(128, 'a')) : roomCode(std::move(roomCode)) {}

    std::unique_ptr<PFSChatSession> makeSession(const Identity& local, const Identity& peer) {
        const SessionEnvironment environment{.keyStore = keyStore, .entropy = entropy};
        return std::make_unique<PFSChatSession>(environment, local, peer->publicKey(), roomCode, roomEpoch);
    }

    // The room's epoch file as the next session is handed it.
    std::optional<double> roomEpoch;
    FixedKeyStore keyStore;
    FixedEntropy entropy;
    std::string roomCode;
};

// Two sessions of one pair of identities after (part of) the handshake.
struct SessionPair {
    explicit SessionPair(SessionWorld& world, Identity idA_ = makeIdentity(), Identity idB_ = makeIdentity())
        : idA(std::move(idA_)), idB(std::move(idB_)), a(world.makeSession(idA, idB)), b(world.makeSession(idB, idA)) {}

    void completeHandshakes() { World::handshake(*a, *b, false); }  // the P-256 stage on both sides
    void completePQ(Instant now = testTime) {  // the post-quantum stage on both sides
        const Bytes ciphertext = initiator().performPQKeyExchange();
        responder().completePQKeyExchange(ciphertext, now);
        initiator().completePQInitiator(now);
    }
    void handshake() { World::handshake(*a, *b); }
    PFSChatSession& initiator() { return a->isInitiator().value() ? *a : *b; }
    PFSChatSession& responder() { return a->isInitiator().value() ? *b : *a; }

    Identity idA, idB;
    std::unique_ptr<PFSChatSession> a, b;
};

// A fixture: two sessions right after the whole handshake.
class AfterHandshake : public ::testing::Test {
protected:
    void SetUp() override { pair.handshake(); }
    PFSChatSession& ini() { return pair.initiator(); }
    PFSChatSession& res() { return pair.responder(); }

    SessionWorld world;
    SessionPair pair{world};
};

using E = SessionErrorCode;

// Runs `body` and checks it raises SessionError with `code`: what() is the case's name.
inline void expectSessionError(SessionErrorCode code, const std::function<void()>& body) {
    EXPECT_THAT(body, ::testing::ThrowsMessage<SessionError>(::testing::StrEq(std::string(sessionErrorName(code)))));
}

// Records with their ratchet headers, wrapped in tunnel frames as the client carries them.
struct InFlight {
    std::optional<Bytes> header;
    Bytes frame;  // the record in a tunnel frame
    std::uint64_t counter;
    std::optional<Bytes> text;  // nothing: a cover record
};

inline InFlight send(PFSChatSession& from, std::optional<Bytes> text) {
    auto header = from.prepareDHRatchetIfNeeded();
    const auto sealed = text ? from.seal(*text, testTime) : from.sealDummy(testTime);
    return {std::move(header), from.tunnelSeal(sealed.data, testTime), sealed.counter, std::move(text)};
}

// Opened in the client's order: the frame, the ratchet header, then the record.
inline std::optional<SecureBytes> receive(PFSChatSession& to, const InFlight& sent) {
    const SecureBytes record = to.tunnelOpen(sent.frame, testTime);
    if (sent.header) to.receiveDHRatchetKey(*sent.header);
    return to.open(record, sent.counter, testTime);
}

}  // namespace duoquill::test
