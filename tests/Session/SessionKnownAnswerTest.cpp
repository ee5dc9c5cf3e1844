// Known-answer tests against session_kat.json: values computed outside this project from
// the same formats, reproduced here byte for byte by two sessions whose every random input
// is pinned.

#include <gtest/gtest.h>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/Primitives/AesGcm.h"
#include "SessionTestSupport.h"

#include <boost/json/serialize.hpp>

namespace duoquill {
namespace {

using namespace duoquill::test;
using boost::json::object;
using boost::json::value;

std::string str(const value& v) { return std::string(v.as_string()); }
const object& obj(const value& v) { return v.as_object(); }

// Both sides of the known-answer handshake, created from the fixed inputs of the
// deniableAuth and keySchedule tests: side A is the pair's `a`, side B its `b`.
class KnownAnswerSessions {
public:
    KnownAnswerSessions() : world(str(keySchedule().at("roomCode"))) {
        const object& auth = sessionKAT("deniableAuth");
        for (std::size_t i = 0; i < 2; ++i) {
            const object& side = obj(keySchedule().at("sides").at(i));
            world.keyStore.p256Scalars.push_back(hex(side.at("ephemeralPrivateKey")));
            world.keyStore.mlkemSeeds.emplace_back(hex(side.at("mlkemSeedD")), hex(side.at("mlkemSeedZ")));
            world.entropy.hpkeEphemeralScalars.push_back(hex(auth.at("seals").at(i).at("skE")));
        }
        pair = std::make_unique<SessionPair>(world, makeIdentity(hex(auth.at("identityPrivateKeyA"))),
                                             makeIdentity(hex(auth.at("identityPrivateKeyB"))));
        EXPECT_TRUE(world.keyStore.p256Scalars.empty() && world.entropy.hpkeEphemeralScalars.empty());
        a = pair->a.get();
        b = pair->b.get();
    }

    static const object& keySchedule() { return sessionKAT("keySchedule"); }

    void completePQ() {
        world.entropy.encapsulationRandomness.push_back(hex(keySchedule().at("mlkemEncapsulationRandomness")));
        pair->completePQ();
    }

    PFSChatSession& side(std::string_view name) { return (name == "initiator" || name == "A") ? *a : *b; }
    PFSChatSession& peerOf(std::string_view name) { return (name == "initiator" || name == "A") ? *b : *a; }

    // Queues the padding choice and bytes of one listed record or frame.
    void queuePadding(const object& t) {
        world.entropy.choices.push_back(static_cast<std::uint32_t>(t.at("r").as_int64()));
        const Bytes padding = hex(t.at("paddingBytes"));
        if (!padding.empty()) world.entropy.paddingBytes.push_back(padding);
    }

    SessionWorld world;
    std::unique_ptr<SessionPair> pair;
    PFSChatSession *a, *b;
};

// Fields of `s` under other names in the vectors.
void expectField(PFSChatSession& s, const std::string& name, const value& expected) {
    EXPECT_EQ(field(s, name), expected.is_string() ? str(expected) : boost::json::serialize(expected)) << name;
}

void expectAbsent(PFSChatSession& s, std::initializer_list<const char*> names) {
    for (const char* name : names) EXPECT_EQ(field(s, name), "null") << name;
}

TEST(SessionKnownAnswers, DeniableAuthentication) {
    KnownAnswerSessions kat;
    const object& auth = sessionKAT("deniableAuth");
    const auto& seals = auth.at("seals").as_array();
    for (const auto& seal : seals) {
        SCOPED_TRACE("sender " + str(seal.at("sender")));
        auto& sender = kat.side(str(seal.at("sender")));
        for (const char* name : {"ephemeralPublicKeyRaw", "authEncapKey", "authCiphertext"}) {
            expectField(sender, name, seal.at(name));
        }
    }
    expectField(*kat.a, "pskDeniable", auth.at("pskDeniable"));
    expectField(*kat.b, "pskDeniable", auth.at("pskDeniable"));
    const auto labels = Access::perRoomLabels(*kat.a);
    EXPECT_EQ(hexOf(labels.back().second), str(auth.at("infoDeniableAuth")));
    EXPECT_EQ(hexOf(labels.front().second), str(auth.at("infoKex")));

    // Each recipient opens the other's ephemeral key: the ordered pair shows both.
    kat.pair->completeHandshakes();
    const std::string opened = str(seals[0].at("opened")) + str(seals[1].at("opened"));
    for (auto* s : {kat.a, kat.b}) EXPECT_EQ(field(*s, "orderedEpk"), opened);
    EXPECT_EQ(field(*kat.a, "pskDeniable"), "null");
}

TEST(SessionKnownAnswers, EpochFileNames) {
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& t = sessionKAT("epochFile", i);
        EXPECT_EQ(SessionEpochStore::fileName(str(t.at("roomCode"))), str(t.at("fileName")));
    }
    EXPECT_EQ(SessionEpochStore::fileName("abc"), "epoch-ba7816bf8f01cfea414140de5dae2223");
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

TEST(SessionKnownAnswers, KeySchedule) {
    KnownAnswerSessions kat;
    const object& ks = KnownAnswerSessions::keySchedule();
    const auto& sides = ks.at("sides").as_array();
    for (std::size_t i = 0; i < 2; ++i) {
        expectField(i == 0 ? *kat.a : *kat.b, "ephemeralPublicKeyRaw", sides[i].at("ephemeralPublicKeyRaw"));
        expectField(i == 0 ? *kat.a : *kat.b, "mlkemPublicKeyData", sides[i].at("mlkemPublicKeyData"));
    }

    kat.pair->completeHandshakes();
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "side A" : "side B");
        auto& s = i == 0 ? *kat.a : *kat.b;
        expectField(s, "isInitiator", sides[i].at("isInitiator"));
        expectFields(s, obj(sides[i].at("afterCompleteHandshake")));
        for (const char* name : {"orderedEpk", "p256SharedSecret"}) expectField(s, name, ks.at(name));
        expectField(s, "peerMLKEMPublicKeyData", sides[1 - i].at("mlkemPublicKeyData"));
        expectAbsent(s, {"ephemeralPrivateKey", "localStaticKey", "peerStaticKey"});
    }
    expectField(*kat.a, "tunnelTxKey", ks.at("tunnelA"));
    expectField(*kat.b, "tunnelTxKey", ks.at("tunnelB"));

    kat.world.entropy.encapsulationRandomness.push_back(hex(ks.at("mlkemEncapsulationRandomness")));
    const Bytes ciphertext = kat.a->performPQKeyExchange();
    EXPECT_EQ(hexOf(ciphertext), str(ks.at("mlkemCiphertext")));
    for (const char* name : {"mlkemSharedSecret", "mlkemCiphertext"}) expectField(*kat.a, name, ks.at(name));
    kat.b->completePQKeyExchange(ciphertext);
    kat.a->completePQInitiator();
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "side A" : "side B");
        auto& s = i == 0 ? *kat.a : *kat.b;
        expectFields(s, obj(sides[i].at("afterKeySchedule")));
        EXPECT_EQ(field(s, "handshakePhase"), "pqComplete");
        // The handshake's temporaries are gone.
        expectAbsent(s, {"p256SharedSecret", "mlkemSharedSecret", "mlkemCiphertext", "orderedEpk",
                         "peerMLKEMPublicKeyData", "mlkemPrivateKey"});
    }
}

// ---- records, tunnel and ratchet: each branch starts right after the key schedule ----

void expectRecord(KnownAnswerSessions& kat, const object& t) {
    auto& sender = kat.side(str(t.at("sender")));
    auto& receiver = kat.peerOf(str(t.at("sender")));
    const auto counter = static_cast<std::uint64_t>(t.at("counter").as_int64());
    const Bytes sessionID = hex(kat.keySchedule().at("sides").at(0).at("afterKeySchedule").at("sessionID"));
    expectFields(sender, {{"txKey", t.at("chainKeyBefore")}, {"txTranscriptHash", t.at("transcriptHashBefore")},
                          {"txCounter", t.at("counter")}, {"txNonceMask", t.at("nonceMask")},
                          {"txDirection", t.at("direction")}});
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
    expectFields(sender, {{"txKey", t.at("chainKeyAfter")}, {"txTranscriptHash", t.at("transcriptHashAfter")},
                          {"txCounter", t.at("counterAfter")}});

    const auto opened = receiver.open(hex(t.at("record")), counter);
    EXPECT_EQ(opened ? hexOf(*opened) : "null", t.at("opened").is_null() ? "null" : str(t.at("opened")));
    expectFields(receiver, {{"rxKey", t.at("chainKeyAfter")}, {"rxTranscriptHash", t.at("transcriptHashAfter")},
                            {"rxCounter", t.at("counterAfter")}});
    EXPECT_TRUE(kat.world.entropy.choices.empty());
    EXPECT_TRUE(kat.world.entropy.paddingBytes.empty());
}

TEST(SessionKnownAnswers, Records) {
    KnownAnswerSessions kat;
    kat.pair->completeHandshakes();
    kat.completePQ();
    const object& records = sessionKAT("records");
    expectField(*kat.a, "sessionID", records.at("sessionID"));
    for (const auto& t : records.at("records").as_array()) {
        SCOPED_TRACE("record " + str(t.at("sender")) + " " + std::to_string(t.at("counter").as_int64()));
        expectRecord(kat, obj(t));
    }
}

TEST(SessionKnownAnswers, Tunnel) {
    KnownAnswerSessions kat;
    kat.pair->completeHandshakes();
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
        expectFields(sender, {{"tunnelTxKey", t.at("tunnelKey")}, {"tunnelTxCounter", t.at("counter")},
                              {"txNonceMask", t.at("nonceMask")}, {"txDirection", t.at("direction")}});
        EXPECT_EQ(Access::sessionID(sender) ? hexOf(*Access::sessionID(sender)) : "", hexOf(sessionID));
        EXPECT_EQ(hexOf(Access::maskedNonce(counter, Access::txNonceMask(sender))), str(t.at("nonce")));
        EXPECT_EQ(hexOf(Access::tunnelAAD(Access::txDirection(sender), counter, sessionID)), str(t.at("aad")));

        kat.queuePadding(t);
        const Bytes frame = sender.tunnelSeal(hex(t.at("payload")));
        EXPECT_EQ(hexOf(frame), str(t.at("frame")));
        EXPECT_EQ(hexOf(aesgcm::open(hex(t.at("tunnelKey")), hex(t.at("nonce")), BytesView(frame).subspan(8),
                                     hex(t.at("aad")))),
                  str(t.at("paddedPayload")));
        expectFields(sender, {{"tunnelTxKey", t.at("nextTunnelKey")}, {"tunnelTxCounter", t.at("nextCounter")}});
        EXPECT_EQ(hexOf(receiver.tunnelOpen(hex(t.at("frame")))), str(t.at("opened")));
        expectFields(receiver, {{"tunnelRxKey", t.at("nextTunnelKey")}, {"tunnelRxCounter", t.at("nextCounter")}});
    }
    EXPECT_TRUE(pqDone);
}

TEST(SessionKnownAnswers, Ratchet) {
    KnownAnswerSessions kat;
    kat.pair->completeHandshakes();
    kat.completePQ();
    const object& ratchet = sessionKAT("ratchet");
    for (const auto& stepValue : ratchet.at("steps").as_array()) {
        const object& step = obj(stepValue);
        SCOPED_TRACE("step " + std::to_string(step.at("step").as_int64()));
        auto& sender = kat.side(str(step.at("sender")));
        auto& receiver = kat.peerOf(str(step.at("sender")));
        expectFields(sender, obj(step.at("before")));
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
        expectFields(sender, obj(step.at("after")));
        EXPECT_FALSE(sender.prepareDHRatchetIfNeeded());

        expectFields(receiver, obj(step.at("receiver").at("before")));
        receiver.receiveDHRatchetKey(*header);
        expectFields(receiver, obj(step.at("receiver").at("after")));
    }
    SCOPED_TRACE("record after the root steps");
    expectRecord(kat, obj(ratchet.at("recordAfter")));
}

}  // namespace
}  // namespace duoquill
