// The handshake's failures, the end of its provisional tunnel keys, and teardown. The derived
// values, and the secrets each stage drops, are pinned by the known-answer tests.

#include <gtest/gtest.h>

#include <set>

#include "SessionTestSupport.h"

namespace duoquill::test {
namespace {

// Which of the post-quantum calls each side may make, stage by stage: any other raises
// pqExchangeNotReady. Finishing as the initiator is never allowed at the stages checked here.
void expectOnlyAllowedPQCalls(PFSChatSession& s, bool perform, bool completeResponder) {
    if (!perform) expectSessionError(E::pqExchangeNotReady, [&] { s.performPQKeyExchange(); });
    expectSessionError(E::pqExchangeNotReady, [&] { s.completePQInitiator(testTime); });
    if (!completeResponder) expectSessionError(E::pqExchangeNotReady, [&] { s.completePQKeyExchange(Bytes(1568), testTime); });
}

// Frames of the handshake travel under provisional tunnel keys, which end at PQ complete.
TEST(Handshake, BadHellosAndCallsOutOfPhaseOrRoleAreRejectedTheRightOnesAcceptedAndProvisionalFramesEnd) {
    SessionWorld world;
    SessionPair pair(world);
    for (auto* s : {pair.a.get(), pair.b.get()}) expectOnlyAllowedPQCalls(*s, false, false);
    auto& a = *pair.a;
    const auto fresh = Access::fields(a);  // a failed completeHandshake must leave no trace
    const Bytes ct = pair.b->authCiphertext(), enc = pair.b->authEncapKey(), mlk = pair.b->mlkemPublicKeyData();
    // Sealed to A's identity key, but by the holder of another one; cut short; any bit flipped.
    auto impostor = world.makeSession(makeIdentity(), pair.idA);
    std::vector<std::pair<Bytes, Bytes>> refused = {
        {impostor->authCiphertext(), impostor->authEncapKey()}, {resized(ct, 79), enc}, {ct, resized(enc, 64)}};
    for (std::size_t bit = 0; bit < ct.size() * 8; ++bit) refused.emplace_back(flipped(ct, bit), enc);
    for (std::size_t bit = 0; bit < enc.size() * 8; ++bit) refused.emplace_back(ct, flipped(enc, bit));
    for (const auto& [sealed, key] : refused) {
        EXPECT_THROW(a.completeHandshake(sealed, key, mlk, testTime), CryptoError)
            << hexString(sealed) << " " << hexString(key);
    }
    // The ML-KEM key's length is checked first: even with a bad sealed key it is pqRequired.
    for (std::size_t size : {0, 1567, 1569}) {
        expectSessionError(E::pqRequired, [&] { a.completeHandshake(Bytes(80), enc, resized(mlk, size), testTime); });
    }
    EXPECT_EQ(Access::fields(a), fresh);

    pair.completeHandshakes();
    auto& ini = pair.initiator();
    auto& res = pair.responder();
    expectSessionError(E::handshakeNotComplete, [&] {
        ini.completeHandshake(res.authCiphertext(), res.authEncapKey(), res.mlkemPublicKeyData(), testTime);
    });
    expectOnlyAllowedPQCalls(res, false, true);
    expectOnlyAllowedPQCalls(ini, true, false);
    EXPECT_EQ(ini.tunnelOpen(res.tunnelSeal(asBytes("back"), testTime), testTime), secure("back"));
    const Bytes provisional = ini.tunnelSeal(asBytes("late"), testTime);

    // Each call encapsulates afresh; a ciphertext of the wrong length keeps no secret and leaves
    // the phase for the right one.
    const Bytes first = ini.performPQKeyExchange(), ciphertext = ini.performPQKeyExchange();
    EXPECT_NE(first, ciphertext);
    for (std::size_t size : {0, 1567, 1569}) {
        expectSessionError(E::pqDecapsulationFailed, [&] { res.completePQKeyExchange(resized(ciphertext, size), testTime); });
        EXPECT_EQ(field(res, "mlkemSharedSecret"), "null");
    }
    res.completePQKeyExchange(ciphertext, testTime);
    ini.completePQInitiator(testTime);
    EXPECT_EQ(ini.localKeyConfirmation(), res.expectedPeerKeyConfirmation());
    EXPECT_THROW(res.tunnelOpen(provisional, testTime), AuthenticationError);
    for (auto* s : {&ini, &res}) expectOnlyAllowedPQCalls(*s, false, false);

    // An altered ciphertext of the right length is implicitly rejected: no error, but the
    // confirmations no longer match.
    SessionPair altered(world);
    altered.completeHandshakes();
    altered.responder().completePQKeyExchange(flipped(altered.initiator().performPQKeyExchange(), 800), testTime);
    altered.initiator().completePQInitiator(testTime);
    EXPECT_NE(altered.initiator().localKeyConfirmation(), altered.responder().expectedPeerKeyConfirmation());
}

// ---- teardown ----

// Every secret is absent or zero; counters, directions, published values and the pending
// flag are left as they were.
void expectDestroyed(PFSChatSession& s, const Access::Fields& before) {
    static const std::set<std::string> leftAlone = {
        "txCounter",       "rxCounter",       "txDirection",      "rxDirection",    "resumeCounter",
        "tunnelTxCounter", "tunnelRxCounter", "dhRatchetPending", "authCiphertext", "authEncapKey",
        "mlkemPublicKeyData", "ephemeralPublicKeyRaw"};
    for (const auto& [name, value] : Access::fields(s)) {
        if (name == "handshakePhase") {
            EXPECT_EQ(value, "initial");
        } else if (leftAlone.contains(name)) {
            EXPECT_EQ(value, before.at(name)) << name;
        } else {
            const bool zeros = value.find_first_not_of("0.") == std::string::npos;
            EXPECT_TRUE(value == "null" || value == "false" || zeros) << name << " = " << value.substr(0, 40);
        }
    }
    EXPECT_FALSE(s.isReady() || s.isTunnelReady());
}

TEST(Teardown, EverySecretGoesBeforeTheHandshakeAndAfterUse) {
    SessionWorld world;
    SessionPair early(world);
    auto before = Access::fields(*early.a);
    early.a->destroy();
    expectDestroyed(*early.a, before);

    SessionPair pair(world), again(world, pair.idA, pair.idB);
    pair.handshake();
    again.handshake();
    EXPECT_NE(pair.a->localKeyConfirmation(), again.a->localKeyConfirmation());  // fresh randomness in every session
    receive(pair.responder(), send(pair.initiator(), toBytes(asBytes("one"))));
    receive(pair.initiator(), send(pair.responder(), toBytes(asBytes("two"))));  // both sides now hold ratchet keys
    auto& s = pair.initiator();
    auto& peer = pair.responder();  // the roles are unknown once the initiator is destroyed
    before = Access::fields(s);
    EXPECT_EQ(before.at("dhRatchetPending") + before.at("rxDirection"), "true1");
    s.destroy();
    expectDestroyed(s, before);
    s.destroy();  // harmless
    expectDestroyed(s, before);

    // Nothing works any more; the missing keys are reported ahead of the record limit and the lifetime.
    Access::txCounter(s) = PFSChatSession::recordCounterLimit;
    const Instant late{testTime.wallSeconds + 100000, testTime.uptimeSeconds + 100000};
    expectSessionError(E::handshakeNotComplete, [&] {
        s.completeHandshake(peer.authCiphertext(), peer.authEncapKey(), peer.mlkemPublicKeyData(), late);
    });
    expectOnlyAllowedPQCalls(s, false, false);
    expectSessionError(E::handshakeNotComplete, [&] { s.prepareDHRatchetIfNeeded(); });  // a step was due
    expectSessionError(E::handshakeNotComplete, [&] { s.seal(asBytes("x"), late); });
    expectSessionError(E::handshakeNotComplete, [&] { s.sealDummy(late); });
    expectSessionError(E::handshakeNotComplete, [&] { s.open(Bytes(272), 0, late); });
    expectSessionError(E::handshakeNotComplete, [&] { s.tunnelSeal(asBytes("{}"), late); });
    expectSessionError(E::handshakeNotComplete, [&] { s.tunnelOpen(Bytes(1560), late); });
}

}  // namespace
}  // namespace duoquill::test
