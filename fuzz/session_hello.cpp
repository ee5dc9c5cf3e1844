// The P-256 stage of a session fed the three values of a peer's hello: the sealed ephemeral
// key, the HPKE encapsulated key and the ML-KEM public key.
//
// Input: ciphertext length (2 bytes) and ciphertext, encapsulated-key length (1 byte) and key,
// then the ML-KEM public key.
//
// Invariants: a refused hello leaves the session untouched and ready for the next one; only
// the genuine peer's sealed key is accepted (the ML-KEM key is not authenticated here), and
// then both sides hold matching provisional tunnel keys.

#include <algorithm>

#include "Duoquill/Base/PlatformError.h"
#include "FuzzTarget.h"
#include "Conversation.h"

using namespace duoquill;
using duoquill::fuzz::FuzzInput;
using duoquill::fuzz::require;

namespace {

constexpr std::uint64_t worldSeed = 0x68656c6c6f;

struct Pair {
    fuzz::World world;
    std::unique_ptr<PFSChatSession> local, peer;
    fuzz::Access::Snapshot localAtStart, peerAtStart;
    Bytes localEphemeral;

    Pair() {
        world.reseed(worldSeed);
        local = world.makeSession(1);
        peer = world.makeSession(0);
        localAtStart = fuzz::Access::take(*local);
        peerAtStart = fuzz::Access::take(*peer);
        localEphemeral = local->ephemeralPublicKey().raw();
    }
    void restart() {
        fuzz::Access::restore(*local, localAtStart);
        fuzz::Access::restore(*peer, peerAtStart);
    }
};

Pair& pair() {
    static Pair p;
    return p;
}

std::vector<Bytes> seeds() {
    const PFSChatSession& peer = *pair().peer;
    auto hello = [](BytesView ct, BytesView ek, BytesView mlk) {
        return fuzz::SeedWriter()
            .u16(static_cast<std::uint16_t>(ct.size()))
            .bytes(ct)
            .u8(static_cast<std::uint8_t>(ek.size()))
            .bytes(ek)
            .bytes(mlk)
            .done();
    };
    const BytesView mlk = peer.mlkemPublicKeyData();
    return {hello(peer.authCiphertext(), peer.authEncapKey(), mlk),
            hello(peer.authCiphertext(), peer.authEncapKey(), mlk.first(1567)),
            hello(pair().local->authCiphertext(), pair().local->authEncapKey(), mlk)};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::writeSeedsIfAsked(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const BytesView ct = in.take(in.u16());
    const BytesView ek = in.take(in.u8());
    const BytesView mlk = in.rest();

    Pair& p = pair();
    try {
        p.local->completeHandshake(ct, ek, mlk, testTime);
    } catch (const SessionError& e) {
        require(e.code() == SessionErrorCode::pqRequired && mlk.size() != PFSChatSession::mlkemPublicKeySize,
                "pqRequired, and only for an ML-KEM key of the wrong size");
    } catch (const CryptoError&) {
    }
    if (p.local->handshakePhase() == PFSChatSession::HandshakePhase::initial) {
        require(!p.local->isTunnelReady() && !p.local->isInitiator().has_value(), "a refused hello changes nothing");
        require(p.local->ephemeralPublicKey().raw() == p.localEphemeral, "the ephemeral key stays");
        return 0;
    }

    require(std::ranges::equal(ct, p.peer->authCiphertext()) && std::ranges::equal(ek, p.peer->authEncapKey()),
            "only the genuine sealed key is accepted");
    require(p.local->isTunnelReady(), "an accepted hello installs tunnel keys");
    p.peer->completeHandshake(p.local->authCiphertext(), p.local->authEncapKey(), p.local->mlkemPublicKeyData(), testTime);
    require(p.peer->isInitiator() != p.local->isInitiator(), "exactly one initiator");
    const Bytes payload = {'{', '}'};
    require(std::ranges::equal(p.peer->tunnelOpen(p.local->tunnelSeal(payload, testTime), testTime), payload), "local to peer");
    require(std::ranges::equal(p.local->tunnelOpen(p.peer->tunnelSeal(payload, testTime), testTime), payload), "peer to local");
    p.restart();
    return 0;
}
