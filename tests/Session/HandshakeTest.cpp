// The two handshake stages between two real sessions, their failures, and teardown.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "Duoquill/Platform/PlatformError.h"
#include "Duoquill/Platform/Sha2.h"
#include "SessionTestSupport.h"

namespace duoquill {
namespace {

using namespace duoquill::test;
using Phase = PFSChatSession::HandshakePhase;

Bytes rawOf(const PFSChatSession& s) { return s.ephemeralPublicKey().raw(); }

TEST(Handshake, TwoSessionsDeriveCrossedKeys) {
    SessionWorld world;
    SessionPair pair(world);
    EXPECT_EQ(pair.a->authCiphertext().size(), 80u);
    EXPECT_EQ(pair.a->authEncapKey().size(), 65u);
    EXPECT_EQ(pair.a->authEncapKey()[0], 0x04);
    EXPECT_EQ(pair.a->mlkemPublicKeyData().size(), 1568u);
    EXPECT_EQ(Access::mldsaPublicKeyData(*pair.a).size(), 2592u);
    EXPECT_FALSE(pair.a->isTunnelReady());
    EXPECT_FALSE(pair.a->isInitiator().has_value());

    pair.completeHandshakes();
    auto& ini = pair.initiator();
    auto& res = pair.responder();
    EXPECT_NE(*pair.a->isInitiator(), *pair.b->isInitiator());
    EXPECT_TRUE(rawOf(ini) < rawOf(res));  // the smaller raw ephemeral key starts
    for (auto* s : {&ini, &res}) {
        EXPECT_EQ(s->handshakePhase(), Phase::p256Complete);
        EXPECT_TRUE(s->isTunnelReady());
        EXPECT_FALSE(s->isReady());
        EXPECT_EQ(Access::orderedEpkSalt(*s), concat(rawOf(ini), rawOf(res)));
        EXPECT_FALSE(Access::ephemeralPrivateKey(*s));
        EXPECT_FALSE(Access::localStaticKey(*s));
        EXPECT_FALSE(Access::peerStaticKey(*s));
        EXPECT_EQ(Access::p256SharedSecret(*s)->size(), 32u);
    }
    EXPECT_EQ(Access::p256SharedSecret(ini), Access::p256SharedSecret(res));
    EXPECT_EQ(Access::tunnelTxKey(ini), Access::tunnelRxKey(res));
    EXPECT_EQ(Access::tunnelRxKey(ini), Access::tunnelTxKey(res));
    const SecureBytes provisionalTx = *Access::tunnelTxKey(ini);
    const SecureBytes provisionalRx = *Access::tunnelRxKey(ini);

    // Some tunnel traffic first, so that the reset of the counters shows.
    res.tunnelOpen(ini.tunnelSeal(asBytes("{\"t\":\"kex2\"}")));
    pair.completePQ();
    for (auto* s : {&ini, &res}) {
        EXPECT_EQ(s->handshakePhase(), Phase::pqComplete);
        EXPECT_TRUE(s->isReady());
        EXPECT_EQ(Access::tunnelTxCounter(*s), 0u);
        EXPECT_EQ(Access::tunnelRxCounter(*s), 0u);
        EXPECT_FALSE(Access::p256SharedSecret(*s));
        EXPECT_FALSE(Access::mlkemSharedSecretData(*s));
        EXPECT_FALSE(Access::mlkemCiphertextData(*s));
        EXPECT_FALSE(Access::orderedEpkSalt(*s));
        EXPECT_FALSE(Access::peerMLKEMPublicKeyData(*s));
        EXPECT_FALSE(Access::mlkemPrivateKey(*s));
        EXPECT_EQ(Access::sessionID(*s)->size(), 64u);
    }
    EXPECT_NE(*Access::tunnelTxKey(ini), provisionalTx);
    EXPECT_NE(*Access::tunnelRxKey(ini), provisionalRx);

    EXPECT_EQ(Access::txKey(ini), Access::rxKey(res));
    EXPECT_EQ(Access::rxKey(ini), Access::txKey(res));
    EXPECT_NE(Access::txKey(ini), Access::rxKey(ini));
    EXPECT_EQ(Access::tunnelTxKey(ini), Access::tunnelRxKey(res));
    EXPECT_EQ(Access::tunnelRxKey(ini), Access::tunnelTxKey(res));
    EXPECT_EQ(Access::txNonceMask(ini), Access::rxNonceMask(res));
    EXPECT_EQ(Access::rxNonceMask(ini), Access::txNonceMask(res));
    EXPECT_EQ(Access::txDirection(ini), 0);
    EXPECT_EQ(Access::rxDirection(ini), 1);
    EXPECT_EQ(Access::txDirection(res), 1);
    EXPECT_EQ(Access::rxDirection(res), 0);
    EXPECT_EQ(ini.localKeyConfirmation(), res.expectedPeerKeyConfirmation());
    EXPECT_EQ(ini.expectedPeerKeyConfirmation(), res.localKeyConfirmation());
    EXPECT_NE(ini.localKeyConfirmation(), ini.expectedPeerKeyConfirmation());
    EXPECT_EQ(Access::txTranscriptHash(ini), Access::rxTranscriptHash(res));
    EXPECT_EQ(Access::rxTranscriptHash(ini), Access::txTranscriptHash(res));
    EXPECT_EQ(Access::sessionID(ini), Access::sessionID(res));
    EXPECT_EQ(Access::resumeAuthKey(ini), Access::resumeAuthKey(res));
    EXPECT_EQ(Access::rootKey(ini), Access::rootKey(res));
    EXPECT_TRUE(Access::dhRatchetPending(ini));
    EXPECT_FALSE(Access::dhRatchetPending(res));
}

TEST(Handshake, SuccessiveSessionsOfOnePairHaveDifferentConfirmations) {
    SessionWorld world;
    const Identity a = makeIdentity(), b = makeIdentity();
    SessionPair first(world, a, b), second(world, a, b);
    first.handshake();
    second.handshake();
    EXPECT_NE(first.a->localKeyConfirmation(), second.a->localKeyConfirmation());
    EXPECT_NE(first.a->expectedPeerKeyConfirmation(), second.a->expectedPeerKeyConfirmation());
}

// The session keeps no state from a failed completeHandshake.
void expectUntouched(PFSChatSession& s) {
    EXPECT_EQ(s.handshakePhase(), Phase::initial);
    EXPECT_FALSE(s.isInitiator().has_value());
    EXPECT_FALSE(s.isTunnelReady());
    EXPECT_TRUE(Access::ephemeralPrivateKey(s));
    EXPECT_TRUE(Access::localStaticKey(s));
    EXPECT_TRUE(Access::peerStaticKey(s));
    EXPECT_TRUE(Access::pskDeniable(s));
    EXPECT_FALSE(Access::p256SharedSecret(s));
    EXPECT_FALSE(Access::orderedEpkSalt(s));
    EXPECT_FALSE(Access::peerMLKEMPublicKeyData(s));
    EXPECT_EQ(Access::sessionCreatedAt(s), 0.0);
}

TEST(Handshake, HelloFromAnotherIdentityIsRejectedAndTheRightOneStillAccepted) {
    SessionWorld world;
    SessionPair pair(world);
    const Identity intruder = makeIdentity();
    auto impostor = world.makeSession(intruder, pair.idA);  // seals to A's real identity key
    EXPECT_THROW(pair.a->completeHandshake(impostor->authCiphertext(), impostor->authEncapKey(),
                                           impostor->mlkemPublicKeyData()),
                 CryptoError);
    expectUntouched(*pair.a);
    pair.handshake();
    EXPECT_EQ(pair.a->localKeyConfirmation(), pair.b->expectedPeerKeyConfirmation());
}

TEST(Handshake, EveryFlippedBitOfTheSealedKeyIsRejected) {
    SessionWorld world;
    SessionPair pair(world);
    const Bytes ct = pair.b->authCiphertext(), enc = pair.b->authEncapKey(), mlk = pair.b->mlkemPublicKeyData();
    for (std::size_t bit = 0; bit < ct.size() * 8; ++bit) {
        Bytes bad = ct;
        bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_THROW(pair.a->completeHandshake(bad, enc, mlk), CryptoError) << "ciphertext bit " << bit;
    }
    for (std::size_t bit = 0; bit < enc.size() * 8; ++bit) {
        Bytes bad = enc;
        bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_THROW(pair.a->completeHandshake(ct, bad, mlk), CryptoError) << "encapsulated key bit " << bit;
    }
    EXPECT_THROW(pair.a->completeHandshake(BytesView(ct).first(79), enc, mlk), CryptoError);
    EXPECT_THROW(pair.a->completeHandshake(ct, BytesView(enc).first(64), mlk), CryptoError);
    expectUntouched(*pair.a);
    pair.handshake();
    EXPECT_TRUE(pair.a->isReady());
}

TEST(Handshake, PeerMLKEMKeyOfTheWrongLengthIsPQRequired) {
    SessionWorld world;
    SessionPair pair(world);
    Bytes mlk = pair.b->mlkemPublicKeyData();
    for (std::size_t size : {0, 1567, 1569}) {
        mlk.resize(size, 0);
        expectSessionError(SessionErrorCode::pqRequired, [&] {
            pair.a->completeHandshake(pair.b->authCiphertext(), pair.b->authEncapKey(), mlk);
        });
        expectUntouched(*pair.a);
    }
    // The length is checked before the sealed key: a bad hello of both kinds is pqRequired.
    expectSessionError(SessionErrorCode::pqRequired,
                       [&] { pair.a->completeHandshake(Bytes(80), pair.b->authEncapKey(), mlk); });
}

TEST(Handshake, PhaseAndRoleErrors) {
    SessionWorld world;
    SessionPair pair(world);
    for (auto* s : {pair.a.get(), pair.b.get()}) {
        expectSessionError(SessionErrorCode::pqExchangeNotReady, [&] { s->performPQKeyExchange(); });
        expectSessionError(SessionErrorCode::pqExchangeNotReady, [&] { s->completePQInitiator(); });
        expectSessionError(SessionErrorCode::pqExchangeNotReady, [&] { s->completePQKeyExchange(Bytes(1568)); });
    }
    pair.completeHandshakes();
    auto& ini = pair.initiator();
    auto& res = pair.responder();
    expectSessionError(SessionErrorCode::handshakeNotComplete, [&] {
        ini.completeHandshake(res.authCiphertext(), res.authEncapKey(), res.mlkemPublicKeyData());
    });
    expectSessionError(SessionErrorCode::pqExchangeNotReady, [&] { res.performPQKeyExchange(); });
    expectSessionError(SessionErrorCode::pqExchangeNotReady, [&] { res.completePQInitiator(); });
    expectSessionError(SessionErrorCode::pqExchangeNotReady, [&] { ini.completePQKeyExchange(Bytes(1568)); });
    expectSessionError(SessionErrorCode::pqExchangeNotReady, [&] { ini.completePQInitiator(); });

    // A ciphertext of the wrong length fails and changes nothing; the right one then works.
    const Bytes first = ini.performPQKeyExchange();
    const Bytes ciphertext = ini.performPQKeyExchange();  // encapsulates afresh
    EXPECT_NE(first, ciphertext);
    EXPECT_EQ(Access::mlkemCiphertextData(ini), ciphertext);
    for (std::size_t size : {0, 1567, 1569}) {
        Bytes bad = ciphertext;
        bad.resize(size);
        expectSessionError(SessionErrorCode::pqDecapsulationFailed, [&] { res.completePQKeyExchange(bad); });
        EXPECT_EQ(res.handshakePhase(), Phase::p256Complete);
        EXPECT_FALSE(Access::mlkemSharedSecretData(res));
    }
    res.completePQKeyExchange(ciphertext);
    ini.completePQInitiator();
    EXPECT_EQ(ini.localKeyConfirmation(), res.expectedPeerKeyConfirmation());
    expectSessionError(SessionErrorCode::pqExchangeNotReady, [&] { ini.performPQKeyExchange(); });
    expectSessionError(SessionErrorCode::pqExchangeNotReady, [&] { ini.completePQInitiator(); });
    expectSessionError(SessionErrorCode::pqExchangeNotReady, [&] { res.completePQKeyExchange(ciphertext); });
}

TEST(Handshake, AlteredCiphertextOfTheRightLengthGivesMismatchedConfirmations) {
    SessionWorld world;
    SessionPair pair(world);
    pair.completeHandshakes();
    Bytes ciphertext = pair.initiator().performPQKeyExchange();
    ciphertext[100] ^= 0x01;
    pair.responder().completePQKeyExchange(ciphertext);  // implicit rejection: no error
    pair.initiator().completePQInitiator();
    EXPECT_NE(pair.initiator().localKeyConfirmation(), pair.responder().expectedPeerKeyConfirmation());
}

TEST(Handshake, ErrorTextIsTheCaseName) {
    EXPECT_STREQ(SessionError(SessionErrorCode::pqRequired).what(), "pqRequired");
    EXPECT_STREQ(SessionError(SessionErrorCode::handshakeNotComplete).what(), "handshakeNotComplete");
    EXPECT_STREQ(SessionError(SessionErrorCode::pqAuthFailed).what(), "pqAuthFailed");
    EXPECT_EQ(sessionErrorName(SessionErrorCode::pqDecapsulationFailed), "pqDecapsulationFailed");
}

TEST(Transcript, UpdateHashesOldHashThenBytes) {
    Bytes hash(64, 0);
    PFSChatSession::updateTranscriptHash(hash, asBytes("abc"));
    EXPECT_EQ(hash, sha512(concat(Bytes(64, 0), asBytes("abc"))));
}

// ---- teardown ----

void expectDestroyed(PFSChatSession& s) {
    EXPECT_FALSE(Access::ephemeralPrivateKey(s));
    EXPECT_FALSE(Access::localStaticKey(s));
    EXPECT_FALSE(Access::peerStaticKey(s));
    EXPECT_FALSE(Access::pskDeniable(s));
    EXPECT_FALSE(Access::mlkemPrivateKey(s));
    for (auto* key : {&Access::txKey(s), &Access::rxKey(s), &Access::tunnelTxKey(s), &Access::tunnelRxKey(s),
                      &Access::resumeAuthKey(s), &Access::rootKey(s), &Access::sessionID(s),
                      &Access::p256SharedSecret(s), &Access::mlkemSharedSecretData(s)}) {
        EXPECT_FALSE(key->has_value());
    }
    EXPECT_FALSE(Access::dhRatchetPrivateKey(s));
    EXPECT_FALSE(Access::dhRatchetPublicKey(s));
    EXPECT_FALSE(Access::peerDHRatchetKey(s));
    EXPECT_FALSE(Access::mlkemRatchetPrivateKey(s));
    EXPECT_FALSE(Access::peerMLKEMRatchetPublicKeyData(s));
    EXPECT_FALSE(Access::mlkemRatchetCiphertext(s));
    EXPECT_FALSE(Access::mldsaSigningKey(s));
    EXPECT_FALSE(Access::peerMLDSAPublicKeyData(s));
    EXPECT_FALSE(Access::pqAuthVerified(s));
    EXPECT_FALSE(s.localKeyConfirmation());
    EXPECT_FALSE(s.expectedPeerKeyConfirmation());
    EXPECT_FALSE(Access::mlkemCiphertextData(s));
    EXPECT_FALSE(Access::orderedEpkSalt(s));
    EXPECT_FALSE(Access::peerMLKEMPublicKeyData(s));
    auto allZero = [](const auto& bytes) { return std::all_of(bytes.begin(), bytes.end(), [](auto b) { return b == 0; }); };
    EXPECT_EQ(Access::txNonceMask(s).size(), 12u);
    EXPECT_TRUE(allZero(Access::txNonceMask(s)));
    EXPECT_TRUE(allZero(Access::rxNonceMask(s)));
    EXPECT_EQ(Access::txTranscriptHash(s).size(), 64u);
    EXPECT_TRUE(allZero(Access::txTranscriptHash(s)));
    EXPECT_TRUE(allZero(Access::rxTranscriptHash(s)));
    EXPECT_EQ(Access::mldsaPublicKeyData(s).size(), 2592u);
    EXPECT_TRUE(allZero(Access::mldsaPublicKeyData(s)));
    EXPECT_TRUE(allZero(Access::mlkemRatchetPublicKeyData(s)));
    EXPECT_EQ(s.handshakePhase(), Phase::initial);
    EXPECT_FALSE(s.isInitiator());
    EXPECT_EQ(Access::sessionCreatedAt(s), 0.0);
    EXPECT_FALSE(s.isReady());
    EXPECT_FALSE(s.isTunnelReady());
}

void expectInert(PFSChatSession& s, const PFSChatSession& peer) {
    using E = SessionErrorCode;
    expectSessionError(E::handshakeNotComplete, [&] {
        s.completeHandshake(peer.authCiphertext(), peer.authEncapKey(), peer.mlkemPublicKeyData());
    });
    expectSessionError(E::pqExchangeNotReady, [&] { s.performPQKeyExchange(); });
    expectSessionError(E::pqExchangeNotReady, [&] { s.completePQInitiator(); });
    expectSessionError(E::pqExchangeNotReady, [&] { s.completePQKeyExchange(Bytes(1568)); });
    expectSessionError(E::handshakeNotComplete, [&] { s.seal(asBytes("x")); });
    expectSessionError(E::handshakeNotComplete, [&] { s.sealDummy(); });
    expectSessionError(E::handshakeNotComplete, [&] { s.open(Bytes(272), 0); });
    expectSessionError(E::handshakeNotComplete, [&] { s.tunnelSeal(asBytes("{}")); });
    expectSessionError(E::handshakeNotComplete, [&] { s.tunnelOpen(Bytes(1560)); });
}

TEST(Teardown, AfterTheKeyScheduleEverySecretIsGoneAndTheEpochFileRemoved) {
    SessionWorld world;
    SessionPair pair(world);
    pair.handshake();
    deliver(pair.initiator(), pair.responder(), asBytes("one"));
    deliver(pair.responder(), pair.initiator(), asBytes("two"));  // both sides now hold ratchet keys
    ASSERT_TRUE(std::filesystem::exists(world.epochFile()));
    auto& s = pair.initiator();
    auto& peer = pair.responder();  // the roles are unknown once the initiator is destroyed
    const Bytes published = s.authCiphertext();
    const auto txCounter = Access::txCounter(s);
    s.destroy();
    expectDestroyed(s);
    EXPECT_FALSE(std::filesystem::exists(world.epochFile()));
    // Counters, directions, published values and the pending flag are left alone.
    EXPECT_EQ(Access::txCounter(s), txCounter);
    EXPECT_EQ(Access::rxDirection(s), 1);
    EXPECT_EQ(s.authCiphertext(), published);
    EXPECT_EQ(s.mlkemPublicKeyData().size(), 1568u);
    EXPECT_TRUE(Access::dhRatchetPending(s));
    expectInert(s, peer);
    expectSessionError(SessionErrorCode::handshakeNotComplete, [&] { s.prepareDHRatchetIfNeeded(); });

    s.destroy();  // harmless
    expectDestroyed(s);
}

TEST(Teardown, BeforeTheHandshakeAndByTheDestructor) {
    SessionWorld world;
    SessionPair pair(world, makeIdentity(), makeIdentity());
    // A file left by another session of the room goes too.
    std::filesystem::create_directories(world.dir.path());
    { std::ofstream(world.epochFile(), std::ios::binary) << "12345678"; }
    pair.a->destroy();
    expectDestroyed(*pair.a);
    EXPECT_FALSE(std::filesystem::exists(world.epochFile()));
    expectInert(*pair.a, *pair.b);
    pair.a->destroy();

    pair.b->destroy();  // no file: nothing further, nothing raised
    SessionPair second(world);
    second.handshake();
    ASSERT_TRUE(std::filesystem::exists(world.epochFile()));
    second.a.reset();
    EXPECT_FALSE(std::filesystem::exists(world.epochFile()));
}

TEST(Creation, KeepsThePeerMLDSAKeyAndGeneratesItsOwn) {
    SessionWorld world;
    const Identity a = makeIdentity(), b = makeIdentity();
    PFSChatSession s(world.environment(), a.key, b.publicKey, world.roomCode, Bytes(2592, 7));
    EXPECT_EQ(Access::peerMLDSAPublicKeyData(s), Bytes(2592, 7));
    EXPECT_TRUE(Access::mldsaSigningKey(s));
    EXPECT_FALSE(Access::pqAuthVerified(s));
    EXPECT_EQ(Access::resumeCounter(s), 0u);
    EXPECT_EQ(world.keyStore.p256Generated, 1);
    EXPECT_EQ(world.keyStore.mlkemGenerated, 1);
}

TEST(Creation, KeyStoreFailurePassesThrough) {
    SessionWorld world;
    const Identity a = makeIdentity(), b = makeIdentity();
    world.keyStore.failNextMLKEM = true;
    EXPECT_THROW(PFSChatSession(world.environment(), a.key, b.publicKey, world.roomCode), CryptoError);
}

}  // namespace
}  // namespace duoquill
