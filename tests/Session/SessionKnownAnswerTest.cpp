// Known-answer tests against session_kat.json: values computed outside this project from
// the same formats, reproduced here byte for byte by two sessions whose every random input
// is pinned.

#include <gtest/gtest.h>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/AesGcm.h"
#include "SessionTestSupport.h"

namespace duoquill {
namespace {

using namespace duoquill::test;
using boost::json::object;
using boost::json::value;

std::string str(const value& v) { return std::string(v.as_string()); }
const object& obj(const value& v) { return v.as_object(); }

// Both sides of the known-answer handshake, created from the fixed inputs of the
// deniableAuth and keySchedule tests.
class KnownAnswerSessions {
public:
    KnownAnswerSessions() : world(str(keySchedule().at("roomCode"))) {
        const object& auth = sessionKAT("deniableAuth");
        const auto& sides = keySchedule().at("sides").as_array();
        const auto& seals = auth.at("seals").as_array();
        idA = std::make_unique<Identity>(identityFromScalar(hex(auth.at("identityPrivateKeyA"))));
        idB = std::make_unique<Identity>(identityFromScalar(hex(auth.at("identityPrivateKeyB"))));
        a = create(obj(sides[0]), obj(seals[0]), *idA, *idB);
        b = create(obj(sides[1]), obj(seals[1]), *idB, *idA);
    }

    static const object& keySchedule() { return sessionKAT("keySchedule"); }

    void completeHandshakes() {
        a->completeHandshake(b->authCiphertext(), b->authEncapKey(), b->mlkemPublicKeyData());
        b->completeHandshake(a->authCiphertext(), a->authEncapKey(), a->mlkemPublicKeyData());
    }

    void completePQ() {
        world.entropy.encapsulationRandomness.push_back(hex(keySchedule().at("mlkemEncapsulationRandomness")));
        const Bytes ciphertext = a->performPQKeyExchange();
        EXPECT_EQ(hexOf(ciphertext), str(keySchedule().at("mlkemCiphertext")));
        b->completePQKeyExchange(ciphertext);
        a->completePQInitiator();
    }

    PFSChatSession& side(std::string_view name) {
        return (name == "initiator" || name == "A") ? *a : *b;
    }
    PFSChatSession& peerOf(std::string_view name) { return (name == "initiator" || name == "A") ? *b : *a; }

    // Queues the padding choice and bytes of one listed record or frame.
    void queuePadding(const object& t) {
        world.entropy.choices.push_back(static_cast<std::uint32_t>(t.at("r").as_int64()));
        const Bytes padding = hex(t.at("paddingBytes"));
        if (!padding.empty()) world.entropy.paddingBytes.push_back(padding);
    }

    SessionWorld world;
    std::unique_ptr<Identity> idA, idB;
    std::unique_ptr<PFSChatSession> a, b;

private:
    std::unique_ptr<PFSChatSession> create(const object& side, const object& seal, const Identity& local,
                                           const Identity& peer) {
        world.keyStore.p256Scalars.push_back(hex(side.at("ephemeralPrivateKey")));
        world.keyStore.mlkemSeeds.emplace_back(hex(side.at("mlkemSeedD")), hex(side.at("mlkemSeedZ")));
        world.entropy.hpkeEphemeralScalars.push_back(hex(seal.at("skE")));
        auto session = world.makeSession(local, peer);
        EXPECT_TRUE(world.keyStore.p256Scalars.empty());
        EXPECT_TRUE(world.entropy.hpkeEphemeralScalars.empty());
        return session;
    }
};

std::string hexOpt(const std::optional<SecureBytes>& v) { return v ? hexOf(*v) : "<absent>"; }
std::string hexOpt(const std::optional<Bytes>& v) { return v ? hexOf(*v) : "<absent>"; }

TEST(SessionKnownAnswers, DeniableAuthentication) {
    KnownAnswerSessions kat;
    const object& auth = sessionKAT("deniableAuth");
    const auto& seals = auth.at("seals").as_array();
    for (const auto& sealValue : seals) {
        const object& seal = obj(sealValue);
        auto& sender = kat.side(str(seal.at("sender")));
        SCOPED_TRACE("sender " + str(seal.at("sender")));
        EXPECT_EQ(hexOf(sender.ephemeralPublicKey().raw()), str(seal.at("ephemeralPublicKeyRaw")));
        EXPECT_EQ(hexOf(sender.authEncapKey()), str(seal.at("authEncapKey")));
        EXPECT_EQ(hexOf(sender.authCiphertext()), str(seal.at("authCiphertext")));
    }
    auto& a = *kat.a;
    EXPECT_EQ(hexOpt(Access::pskDeniable(*kat.a)), str(auth.at("pskDeniable")));
    EXPECT_EQ(hexOpt(Access::pskDeniable(*kat.b)), str(auth.at("pskDeniable")));
    const auto labels = Access::perRoomLabels(a);
    EXPECT_EQ(hexOf(labels.back().second), str(auth.at("infoDeniableAuth")));
    EXPECT_EQ(hexOf(labels.front().second), str(auth.at("infoKex")));

    // Each recipient opens the other's ephemeral key: the ordered pair shows both.
    kat.completeHandshakes();
    const Bytes expected = concat(hex(seals[0].at("opened")), hex(seals[1].at("opened")));
    EXPECT_EQ(Access::orderedEpkSalt(*kat.a), expected);
    EXPECT_EQ(Access::orderedEpkSalt(*kat.b), expected);
    EXPECT_FALSE(Access::pskDeniable(*kat.a));
}

TEST(SessionKnownAnswers, Labels) {
    KnownAnswerSessions kat;
    const object& ks = KnownAnswerSessions::keySchedule();
    const std::string room = str(ks.at("roomCode"));
    for (const auto& [name, bytes] : Access::perRoomLabels(*kat.a)) {
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), str(ks.at("labelPrefixes").at(name)) + room) << name;
    }
    EXPECT_EQ(ks.at("labelPrefixes").as_object().size(), 15u);
    for (const auto& [name, text] : Access::constantLabels()) {
        EXPECT_EQ(text, str(ks.at("constantLabels").at(name))) << name;
    }
    EXPECT_EQ(ks.at("constantLabels").as_object().size(), Access::constantLabels().size());
}

void expectKeySchedule(PFSChatSession& s, const object& after) {
    EXPECT_EQ(hexOpt(Access::txKey(s)), str(after.at("txKey")));
    EXPECT_EQ(hexOpt(Access::rxKey(s)), str(after.at("rxKey")));
    EXPECT_EQ(Access::txDirection(s), after.at("txDirection").as_int64());
    EXPECT_EQ(Access::rxDirection(s), after.at("rxDirection").as_int64());
    EXPECT_EQ(hexOpt(Access::sessionID(s)), str(after.at("sessionID")));
    EXPECT_EQ(hexOpt(Access::resumeAuthKey(s)), str(after.at("resumeAuthKey")));
    EXPECT_EQ(hexOpt(Access::tunnelTxKey(s)), str(after.at("tunnelTxKey")));
    EXPECT_EQ(hexOpt(Access::tunnelRxKey(s)), str(after.at("tunnelRxKey")));
    EXPECT_EQ(hexOpt(s.localKeyConfirmation()), str(after.at("localKeyConfirmation")));
    EXPECT_EQ(hexOpt(s.expectedPeerKeyConfirmation()), str(after.at("expectedPeerKeyConfirmation")));
    EXPECT_EQ(hexOf(Access::txNonceMask(s)), str(after.at("txNonceMask")));
    EXPECT_EQ(hexOf(Access::rxNonceMask(s)), str(after.at("rxNonceMask")));
    EXPECT_EQ(hexOf(Access::txTranscriptHash(s)), str(after.at("txTranscriptHash")));
    EXPECT_EQ(hexOf(Access::rxTranscriptHash(s)), str(after.at("rxTranscriptHash")));
    EXPECT_EQ(hexOpt(Access::rootKey(s)), str(after.at("rootKey")));
    EXPECT_EQ(Access::dhRatchetPending(s), after.at("dhRatchetPending").as_bool());
    EXPECT_EQ(Access::txCounter(s), after.at("txCounter").as_int64());
    EXPECT_EQ(Access::rxCounter(s), after.at("rxCounter").as_int64());
    EXPECT_EQ(Access::tunnelTxCounter(s), after.at("tunnelTxCounter").as_int64());
    EXPECT_EQ(Access::tunnelRxCounter(s), after.at("tunnelRxCounter").as_int64());
    EXPECT_EQ(s.handshakePhase(), PFSChatSession::HandshakePhase::pqComplete);
}

TEST(SessionKnownAnswers, KeySchedule) {
    KnownAnswerSessions kat;
    const object& ks = KnownAnswerSessions::keySchedule();
    const auto& sides = ks.at("sides").as_array();
    for (std::size_t i = 0; i < 2; ++i) {
        auto& s = i == 0 ? *kat.a : *kat.b;
        EXPECT_EQ(hexOf(s.ephemeralPublicKey().raw()), str(sides[i].at("ephemeralPublicKeyRaw")));
        EXPECT_EQ(hexOf(s.mlkemPublicKeyData()), str(sides[i].at("mlkemPublicKeyData")));
    }

    kat.completeHandshakes();
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "side A" : "side B");
        auto& s = i == 0 ? *kat.a : *kat.b;
        const object& side = obj(sides[i]);
        const object& after = obj(side.at("afterCompleteHandshake"));
        EXPECT_EQ(s.isInitiator(), side.at("isInitiator").as_bool());
        EXPECT_EQ(str(after.at("handshakePhase")), "p256Complete");
        EXPECT_EQ(s.handshakePhase(), PFSChatSession::HandshakePhase::p256Complete);
        EXPECT_EQ(hexOpt(Access::tunnelTxKey(s)), str(after.at("tunnelTxKey")));
        EXPECT_EQ(hexOpt(Access::tunnelRxKey(s)), str(after.at("tunnelRxKey")));
        EXPECT_EQ(Access::tunnelTxCounter(s), after.at("tunnelTxCounter").as_int64());
        EXPECT_EQ(Access::tunnelRxCounter(s), after.at("tunnelRxCounter").as_int64());
        EXPECT_EQ(hexOpt(Access::orderedEpkSalt(s)), str(ks.at("orderedEpk")));
        EXPECT_EQ(hexOpt(Access::p256SharedSecret(s)), str(ks.at("p256SharedSecret")));
        EXPECT_EQ(hexOpt(Access::peerMLKEMPublicKeyData(s)), str(sides[1 - i].at("mlkemPublicKeyData")));
    }
    EXPECT_EQ(hexOpt(Access::tunnelTxKey(*kat.a)), str(ks.at("tunnelA")));
    EXPECT_EQ(hexOpt(Access::tunnelTxKey(*kat.b)), str(ks.at("tunnelB")));

    kat.world.entropy.encapsulationRandomness.push_back(hex(ks.at("mlkemEncapsulationRandomness")));
    const Bytes ciphertext = kat.a->performPQKeyExchange();
    EXPECT_EQ(hexOf(ciphertext), str(ks.at("mlkemCiphertext")));
    EXPECT_EQ(hexOpt(Access::mlkemSharedSecretData(*kat.a)), str(ks.at("mlkemSharedSecret")));
    EXPECT_EQ(hexOpt(Access::mlkemCiphertextData(*kat.a)), str(ks.at("mlkemCiphertext")));
    kat.b->completePQKeyExchange(ciphertext);
    kat.a->completePQInitiator();
    expectKeySchedule(*kat.a, obj(sides[0].at("afterKeySchedule")));
    {
        SCOPED_TRACE("side B");
        expectKeySchedule(*kat.b, obj(sides[1].at("afterKeySchedule")));
    }
}

// ---- records, tunnel and ratchet: each branch starts right after the key schedule ----

void expectRecord(KnownAnswerSessions& kat, const object& t) {
    auto& sender = kat.side(str(t.at("sender")));
    auto& receiver = kat.peerOf(str(t.at("sender")));
    const auto counter = static_cast<std::uint64_t>(t.at("counter").as_int64());
    const Bytes sessionID = hex(kat.keySchedule().at("sides").at(0).at("afterKeySchedule").at("sessionID"));
    EXPECT_EQ(hexOpt(Access::txKey(sender)), str(t.at("chainKeyBefore")));
    EXPECT_EQ(hexOf(Access::txTranscriptHash(sender)), str(t.at("transcriptHashBefore")));
    EXPECT_EQ(Access::txCounter(sender), counter);
    EXPECT_EQ(hexOf(Access::txNonceMask(sender)), str(t.at("nonceMask")));
    EXPECT_EQ(Access::txDirection(sender), t.at("direction").as_int64());
    EXPECT_EQ(hexOf(Access::maskedNonce(counter, Access::txNonceMask(sender))), str(t.at("nonce")));
    EXPECT_EQ(hexOf(Access::aad(Access::txDirection(sender), counter, sessionID, Access::txTranscriptHash(sender))),
              str(t.at("aad")));

    kat.queuePadding(t);
    const bool cover = t.contains("kind") && str(t.at("kind")) == "cover";
    const auto sealed = cover ? sender.sealDummy() : sender.seal(hex(t.at("message")));
    EXPECT_EQ(sealed.counter, counter);
    EXPECT_EQ(hexOf(sealed.data), str(t.at("record")));
    EXPECT_EQ(hexOf(aesgcm::open(hex(t.at("chainKeyBefore")), hex(t.at("nonce")), sealed.data, hex(t.at("aad")))),
              str(t.at("paddedPlaintext")));
    EXPECT_EQ(hexOpt(Access::txKey(sender)), str(t.at("chainKeyAfter")));
    EXPECT_EQ(hexOf(Access::txTranscriptHash(sender)), str(t.at("transcriptHashAfter")));
    EXPECT_EQ(Access::txCounter(sender), t.at("counterAfter").as_int64());

    const auto opened = receiver.open(hex(t.at("record")), counter);
    if (t.at("opened").is_null()) {
        EXPECT_FALSE(opened);
    } else {
        EXPECT_EQ(hexOpt(opened), str(t.at("opened")));
    }
    EXPECT_EQ(hexOpt(Access::rxKey(receiver)), str(t.at("chainKeyAfter")));
    EXPECT_EQ(hexOf(Access::rxTranscriptHash(receiver)), str(t.at("transcriptHashAfter")));
    EXPECT_EQ(Access::rxCounter(receiver), t.at("counterAfter").as_int64());
    EXPECT_TRUE(kat.world.entropy.choices.empty());
    EXPECT_TRUE(kat.world.entropy.paddingBytes.empty());
}

TEST(SessionKnownAnswers, Records) {
    KnownAnswerSessions kat;
    kat.completeHandshakes();
    kat.completePQ();
    const object& records = sessionKAT("records");
    EXPECT_EQ(hexOpt(Access::sessionID(*kat.a)), str(records.at("sessionID")));
    for (const auto& t : records.at("records").as_array()) {
        SCOPED_TRACE("record " + str(t.at("sender")) + " " + std::to_string(t.at("counter").as_int64()));
        expectRecord(kat, obj(t));
    }
}

TEST(SessionKnownAnswers, Tunnel) {
    KnownAnswerSessions kat;
    kat.completeHandshakes();
    bool pqDone = false;
    for (const auto& frameValue : sessionKAT("tunnel").at("frames").as_array()) {
        const object& t = obj(frameValue);
        SCOPED_TRACE("frame " + str(t.at("stage")) + " " + str(t.at("sender")) + " " +
                     std::to_string(t.at("counter").as_int64()));
        if (str(t.at("stage")) == "pqComplete" && !pqDone) {
            kat.completePQ();
            pqDone = true;
        }
        auto& sender = kat.side(str(t.at("sender")));
        auto& receiver = kat.peerOf(str(t.at("sender")));
        const auto counter = static_cast<std::uint64_t>(t.at("counter").as_int64());
        const Bytes sessionID = hex(t.at("sessionID"));
        EXPECT_EQ(hexOpt(Access::tunnelTxKey(sender)), str(t.at("tunnelKey")));
        EXPECT_EQ(Access::tunnelTxCounter(sender), counter);
        EXPECT_EQ(hexOf(Access::txNonceMask(sender)), str(t.at("nonceMask")));
        EXPECT_EQ(Access::txDirection(sender), t.at("direction").as_int64());
        EXPECT_EQ(Access::sessionID(sender) ? hexOf(*Access::sessionID(sender)) : "", hexOf(sessionID));
        EXPECT_EQ(hexOf(Access::maskedNonce(counter, Access::txNonceMask(sender))), str(t.at("nonce")));
        EXPECT_EQ(hexOf(Access::tunnelAAD(Access::txDirection(sender), counter, sessionID)), str(t.at("aad")));

        kat.queuePadding(t);
        const Bytes frame = sender.tunnelSeal(hex(t.at("payload")));
        EXPECT_EQ(hexOf(frame), str(t.at("frame")));
        EXPECT_EQ(hexOf(aesgcm::open(hex(t.at("tunnelKey")), hex(t.at("nonce")), BytesView(frame).subspan(8),
                                     hex(t.at("aad")))),
                  str(t.at("paddedPayload")));
        EXPECT_EQ(hexOpt(Access::tunnelTxKey(sender)), str(t.at("nextTunnelKey")));
        EXPECT_EQ(Access::tunnelTxCounter(sender), t.at("nextCounter").as_int64());

        EXPECT_EQ(hexOf(receiver.tunnelOpen(hex(t.at("frame")))), str(t.at("opened")));
        EXPECT_EQ(hexOpt(Access::tunnelRxKey(receiver)), str(t.at("nextTunnelKey")));
        EXPECT_EQ(Access::tunnelRxCounter(receiver), t.at("nextCounter").as_int64());
    }
    EXPECT_TRUE(pqDone);
}

TEST(SessionKnownAnswers, Ratchet) {
    KnownAnswerSessions kat;
    kat.completeHandshakes();
    kat.completePQ();
    const object& ratchet = sessionKAT("ratchet");
    for (const auto& stepValue : ratchet.at("steps").as_array()) {
        const object& step = obj(stepValue);
        SCOPED_TRACE("step " + std::to_string(step.at("step").as_int64()));
        auto& sender = kat.side(str(step.at("sender")));
        auto& receiver = kat.peerOf(str(step.at("sender")));
        const object& before = obj(step.at("before"));
        EXPECT_EQ(hexOpt(Access::rootKey(sender)), str(before.at("rootKey")));
        EXPECT_EQ(hexOpt(Access::txKey(sender)), str(before.at("txKey")));
        EXPECT_EQ(Access::txCounter(sender), before.at("txCounter").as_int64());
        EXPECT_EQ(Access::peerDHRatchetKey(sender) ? hexOf(Access::peerDHRatchetKey(sender)->raw()) : "null",
                  before.at("peerDHRatchetKey").is_null() ? "null" : str(before.at("peerDHRatchetKey")));
        EXPECT_TRUE(Access::dhRatchetPending(sender));

        kat.world.keyStore.p256Scalars.push_back(hex(step.at("dhRatchetPrivateKey")));
        kat.world.keyStore.mlkemSeeds.emplace_back(hex(step.at("mlkemSeedD")), hex(step.at("mlkemSeedZ")));
        if (!step.at("mlkemEncapsulationRandomness").is_null()) {
            kat.world.entropy.encapsulationRandomness.push_back(hex(step.at("mlkemEncapsulationRandomness")));
        }
        const auto header = sender.prepareDHRatchetIfNeeded();
        ASSERT_TRUE(header);
        EXPECT_TRUE(kat.world.entropy.encapsulationRandomness.empty());
        EXPECT_EQ(header->size(), static_cast<std::size_t>(step.at("headerLength").as_int64()));
        EXPECT_EQ(hexOf(*header), str(step.at("header")));
        EXPECT_EQ(hexOf(BytesView(*header).first(64)), str(step.at("dhRatchetPublicKeyRaw")));
        const object& after = obj(step.at("after"));
        EXPECT_EQ(hexOpt(Access::rootKey(sender)), str(after.at("rootKey")));
        EXPECT_EQ(hexOpt(Access::txKey(sender)), str(after.at("txKey")));
        EXPECT_EQ(Access::txCounter(sender), after.at("txCounter").as_int64());
        EXPECT_EQ(Access::dhRatchetPending(sender), after.at("dhRatchetPending").as_bool());
        EXPECT_FALSE(sender.prepareDHRatchetIfNeeded());

        const object& rBefore = obj(step.at("receiver").at("before"));
        const object& rAfter = obj(step.at("receiver").at("after"));
        EXPECT_EQ(hexOpt(Access::rootKey(receiver)), str(rBefore.at("rootKey")));
        EXPECT_EQ(hexOpt(Access::rxKey(receiver)), str(rBefore.at("rxKey")));
        EXPECT_EQ(Access::rxCounter(receiver), rBefore.at("rxCounter").as_int64());
        receiver.receiveDHRatchetKey(*header);
        EXPECT_EQ(hexOpt(Access::rootKey(receiver)), str(rAfter.at("rootKey")));
        EXPECT_EQ(hexOpt(Access::rxKey(receiver)), str(rAfter.at("rxKey")));
        EXPECT_EQ(Access::rxCounter(receiver), rAfter.at("rxCounter").as_int64());
        EXPECT_EQ(Access::dhRatchetPending(receiver), rAfter.at("dhRatchetPending").as_bool());
        EXPECT_EQ(hexOf(Access::peerDHRatchetKey(receiver)->raw()), str(rAfter.at("peerDHRatchetKey")));
    }
    SCOPED_TRACE("record after the root steps");
    expectRecord(kat, obj(ratchet.at("recordAfter")));
}

}  // namespace
}  // namespace duoquill
