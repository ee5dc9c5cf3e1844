// Known-answer tests against session_kat.json (room names and the session): values computed outside this project from
// the same formats, reproduced here byte for byte by two sessions whose every random input
// is pinned. Nonces and associated data are not compared on their own: the sealed bytes
// already depend on every one of them.

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "Duoquill/Primitives/Sha2.h"
#include "Duoquill/Identity/KeyHelpers.h"
#include "SessionTestSupport.h"

namespace duoquill::test {
namespace {

using boost::json::object;
using boost::json::value;

// A JSON string of hex digits.
Bytes hex(const value& v) { return bytesFromLegacyPairedString(std::string_view(v.as_string())).value(); }

// Every member of `expected` (a JSON object of field names) equals the field of that name.
void expectFields(const PFSChatSession& s, const object& expected) {
    const auto fields = Access::fields(s);
    for (const auto& [name, value] : expected) {
        const std::string want = value.is_string() ? std::string(value.as_string()) : boost::json::serialize(value);
        EXPECT_EQ(fields.at(name), want) << name;
    }
}

// The test object of session_kat.json whose "section" is `section` (the first, or the
// `index`-th of that section).
const object& sessionKAT(std::string_view section, std::size_t index = 0) {
    static const value document = boost::json::parse(readFile(testVectorsDir() / "session_kat.json"));
    for (const auto& t : document.at("tests").as_array()) {
        if (t.at("section").as_string() == section && index-- == 0) return t.as_object();
    }
    throw std::runtime_error("no such test in session_kat.json");
}

std::string str(const value& v) { return std::string(v.as_string()); }
const object& obj(const value& v) { return v.as_object(); }
const object& keySchedule() { return sessionKAT("keySchedule"); }

// Both sides of the known-answer handshake, created from the fixed inputs of the
// deniableAuth and keySchedule tests: side 0 (A, the initiator) is the pair's `a`, side 1 its `b`.
// Taken through the P-256 stage when `stages` is at least 1, the post-quantum one too at 2.
struct KnownAnswerSessions {
    explicit KnownAnswerSessions(int stages = 0) : world(str(keySchedule().at("roomCode"))) {
        const object& auth = sessionKAT("deniableAuth");
        for (std::size_t i = 0; i < 2; ++i) {
            const object& side = obj(keySchedule().at("sides").at(i));
            world.keyStore.p256Scalars.push_back(hex(side.at("ephemeralPrivateKey")));
            world.keyStore.mlkemSeeds.emplace_back(hex(side.at("mlkemSeedD")), hex(side.at("mlkemSeedZ")));
            world.entropy.hpkeEphemeralScalars.push_back(hex(auth.at("seals").at(i).at("skE")));
        }
        pair = std::make_unique<SessionPair>(world, makeIdentity(hex(auth.at("identityPrivateKeyA"))),
                                             makeIdentity(hex(auth.at("identityPrivateKeyB"))));
        if (stages >= 1) pair->completeHandshakes();
        if (stages >= 2) completePQ();
    }

    void completePQ() {
        world.entropy.encapsulationRandomness.push_back(hex(keySchedule().at("mlkemEncapsulationRandomness")));
        pair->completePQ();
    }

    PFSChatSession& side(std::size_t i) { return i == 0 ? *pair->a : *pair->b; }
    // The side a vector names as its sender, and the other one.
    std::pair<PFSChatSession&, PFSChatSession&> ends(const value& sender) {
        const std::size_t from = str(sender) == "initiator" || str(sender) == "A" ? 0 : 1;
        return {side(from), side(1 - from)};
    }

    // Queues the padding choice and bytes of one listed record or frame.
    void queuePadding(const object& t) {
        world.entropy.choices.push_back(t.at("r").to_number<std::uint32_t>());
        const Bytes padding = hex(t.at("paddingBytes"));
        if (!padding.empty()) world.entropy.paddingBytes.push_back(padding);
    }

    SessionWorld world;
    std::unique_ptr<SessionPair> pair;
};

// The vector identities meet in the first vector room: each side types the other's key as
// 128 hex digits of the raw form (the SEC1 point without 04).
TEST(RoomDerivation, RoomCodesTokensAndEpochFileNamesMatchTheSessionVectorsAndDaysTruncateTowardZero) {
    for (std::size_t i = 0; i < 2; ++i) {
        const object& epochFile = sessionKAT("epochFile", i);
        EXPECT_EQ(SessionEpochStore::fileName(str(epochFile.at("roomCode"))), str(epochFile.at("fileName")));
        const object& room = sessionKAT("room", i);
        const Bytes roomKeyData = hex(room.at("roomKeyData"));
        EXPECT_EQ(KeyHelpers::deriveRoomCode(roomKeyData), str(room.at("roomCode")));
        for (const auto& token : room.at("tokens").as_array()) {
            EXPECT_EQ(KeyHelpers::deriveRoomToken(roomKeyData, ManualClock(token.at("unixTime").to_number<double>())),
                      str(token.at("roomToken")))
                << "day " << token.at("day");
        }
    }
    const object& auth = sessionKAT("deniableAuth");
    const auto a = p256::PrivateKey::fromScalar(hex(auth.at("identityPrivateKeyA")));
    const auto b = p256::PrivateKey::fromScalar(hex(auth.at("identityPrivateKeyB")));
    const auto typed = [&](const char* name) { return KeyHelpers::p256PublicKey(str(auth.at(name)).substr(2)); };
    const Bytes roomKeyData = hex(sessionKAT("room").at("roomKeyData"));
    EXPECT_EQ(toBytes(a.sharedSecret(typed("identityPublicKeyB"))), roomKeyData);
    EXPECT_EQ(toBytes(b.sharedSecret(typed("identityPublicKeyA"))), roomKeyData);

    // Days before 1970 truncate toward zero; the turn at midnight is in the vectors (a quarter
    // second before it and at it).
    const auto tokenAt = [&](double time) { return KeyHelpers::deriveRoomToken(roomKeyData, ManualClock(time)); };
    const auto expected = [&](std::string_view day) { return hexString(sha512(concat(asBytes(day), roomKeyData))); };
    EXPECT_EQ(tokenAt(0.0), expected("morvane-room-token:0:"));
    EXPECT_EQ(tokenAt(-86399.9), expected("morvane-room-token:0:"));
    EXPECT_EQ(tokenAt(-86400.5), expected("morvane-room-token:-1:"));
    // A clock gone wild still gives a well-formed token.
    for (const double wild : {1e300, std::nan("")}) {
        const std::string token = tokenAt(wild);
        EXPECT_TRUE(token.size() == 128 && token.find_first_not_of("0123456789abcdef") == std::string::npos) << token;
    }
}

// The hello values, the labels, and every value each stage of the handshake derives or drops.
TEST(SessionKnownAnswers, HandshakeAndKeySchedule) {
    KnownAnswerSessions kat;
    const object& auth = sessionKAT("deniableAuth");
    const object& ks = keySchedule();
    const auto& seals = auth.at("seals").as_array();
    const auto& sides = ks.at("sides").as_array();
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "side A" : "side B");
        expectFields(kat.side(i), {{"ephemeralPublicKeyRaw", seals[i].at("ephemeralPublicKeyRaw")},
                                   {"authEncapKey", seals[i].at("authEncapKey")},
                                   {"authCiphertext", seals[i].at("authCiphertext")},
                                   {"pskDeniable", auth.at("pskDeniable")},
                                   {"mlkemPublicKeyData", sides[i].at("mlkemPublicKeyData")}});
    }
    const std::string room = str(ks.at("roomCode"));
    for (const auto& [name, bytes] : Access::perRoomLabels(kat.side(0))) {
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), str(ks.at("labelPrefixes").at(name)) + room) << name;
    }
    EXPECT_EQ(ks.at("labelPrefixes").as_object().size(), Access::perRoomLabels(kat.side(0)).size());
    for (const auto& [name, text] : Access::constantLabels()) EXPECT_EQ(text, str(ks.at("constantLabels").at(name))) << name;
    EXPECT_EQ(ks.at("constantLabels").as_object().size(), Access::constantLabels().size());

    // Each recipient opens the other's ephemeral key: the ordered pair shows both.
    kat.pair->completeHandshakes();
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "side A" : "side B");
        expectFields(kat.side(i), obj(sides[i].at("afterCompleteHandshake")));
        expectFields(kat.side(i), {{"isInitiator", sides[i].at("isInitiator")}, {"orderedEpk", ks.at("orderedEpk")},
                                   {"p256SharedSecret", ks.at("p256SharedSecret")}, {"ephemeralPrivateKey", nullptr},
                                   {"peerMLKEMPublicKeyData", sides[1 - i].at("mlkemPublicKeyData")},
                                   {"localStaticKey", nullptr}, {"peerStaticKey", nullptr}, {"pskDeniable", nullptr}});
    }

    kat.world.entropy.encapsulationRandomness.push_back(hex(ks.at("mlkemEncapsulationRandomness")));
    const Bytes ciphertext = kat.side(0).performPQKeyExchange();
    expectFields(kat.side(0), {{"mlkemSharedSecret", ks.at("mlkemSharedSecret")},
                               {"mlkemCiphertext", ks.at("mlkemCiphertext")}});
    kat.side(1).completePQKeyExchange(ciphertext, testTime);
    kat.side(0).completePQInitiator(testTime);
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "side A" : "side B");
        auto& s = kat.side(i);
        expectFields(s, obj(sides[i].at("afterKeySchedule")));
        // The handshake's temporaries are gone.
        expectFields(s, {{"handshakePhase", "pqComplete"}, {"p256SharedSecret", nullptr}, {"mlkemSharedSecret", nullptr},
                         {"mlkemCiphertext", nullptr}, {"orderedEpk", nullptr}, {"peerMLKEMPublicKeyData", nullptr},
                         {"mlkemPrivateKey", nullptr}});
    }
}

// ---- records, tunnel and ratchet: each branch starts from the pinned handshake ----

// One listed record: the sender's chain before and after sealing it, its bytes, and the
// receiver's chain after opening it.
void expectRecord(KnownAnswerSessions& kat, const object& t) {
    auto [sender, receiver] = kat.ends(t.at("sender"));
    expectFields(sender, {{"txKey", t.at("chainKeyBefore")}, {"txTranscriptHash", t.at("transcriptHashBefore")},
                          {"txCounter", t.at("counter")}, {"txNonceMask", t.at("nonceMask")},
                          {"txDirection", t.at("direction")}});
    kat.queuePadding(t);
    const bool cover = t.contains("kind") && str(t.at("kind")) == "cover";
    const auto sealed = cover ? sender.sealDummy(testTime) : sender.seal(hex(t.at("message")), testTime);
    EXPECT_EQ(hexString(sealed.data), str(t.at("record")));
    expectFields(sender, {{"txKey", t.at("chainKeyAfter")}, {"txTranscriptHash", t.at("transcriptHashAfter")},
                          {"txCounter", t.at("counterAfter")}});

    // Opened at the counter the seal returned: a wrong one fails the open.
    const auto opened = receiver.open(hex(t.at("record")), sealed.counter, testTime);
    EXPECT_EQ(opened ? hexString(*opened) : "null", t.at("opened").is_null() ? "null" : str(t.at("opened")));
    expectFields(receiver, {{"rxKey", t.at("chainKeyAfter")}, {"rxTranscriptHash", t.at("transcriptHashAfter")},
                            {"rxCounter", t.at("counterAfter")}});
    EXPECT_TRUE(kat.world.entropy.choices.empty() && kat.world.entropy.paddingBytes.empty());
}

TEST(SessionKnownAnswers, Records) {
    KnownAnswerSessions kat(2);
    for (const auto& t : sessionKAT("records").at("records").as_array()) {
        SCOPED_TRACE("record " + str(t.at("sender")) + " " + std::to_string(t.at("counter").as_int64()));
        expectRecord(kat, obj(t));
    }
}

TEST(SessionKnownAnswers, Tunnel) {
    KnownAnswerSessions kat(1);
    for (const auto& frameValue : sessionKAT("tunnel").at("frames").as_array()) {
        const object& t = obj(frameValue);
        SCOPED_TRACE("frame " + str(t.at("stage")) + " " + str(t.at("sender")) + " " + serialize(t.at("counter")));
        if (field(kat.side(0), "handshakePhase") != str(t.at("stage"))) kat.completePQ();
        auto [sender, receiver] = kat.ends(t.at("sender"));
        expectFields(sender, {{"handshakePhase", t.at("stage")}, {"tunnelTxKey", t.at("tunnelKey")},
                              {"tunnelTxCounter", t.at("counter")}, {"txNonceMask", t.at("nonceMask")},
                              {"txDirection", t.at("direction")}});
        kat.queuePadding(t);
        EXPECT_EQ(hexString(sender.tunnelSeal(hex(t.at("payload")), testTime)), str(t.at("frame")));
        expectFields(sender, {{"tunnelTxKey", t.at("nextTunnelKey")}, {"tunnelTxCounter", t.at("nextCounter")}});
        EXPECT_EQ(hexString(receiver.tunnelOpen(hex(t.at("frame")), testTime)), str(t.at("opened")));
        expectFields(receiver, {{"tunnelRxKey", t.at("nextTunnelKey")}, {"tunnelRxCounter", t.at("nextCounter")}});
    }
}

TEST(SessionKnownAnswers, Ratchet) {
    KnownAnswerSessions kat(2);
    const object& ratchet = sessionKAT("ratchet");
    for (const auto& stepValue : ratchet.at("steps").as_array()) {
        const object& step = obj(stepValue);
        SCOPED_TRACE("step " + std::to_string(step.at("step").as_int64()));
        auto [sender, receiver] = kat.ends(step.at("sender"));
        expectFields(sender, obj(step.at("before")));
        EXPECT_TRUE(sender.isDHRatchetPending());

        kat.world.keyStore.p256Scalars.push_back(hex(step.at("dhRatchetPrivateKey")));
        kat.world.keyStore.mlkemSeeds.emplace_back(hex(step.at("mlkemSeedD")), hex(step.at("mlkemSeedZ")));
        if (!step.at("mlkemEncapsulationRandomness").is_null()) {
            kat.world.entropy.encapsulationRandomness.push_back(hex(step.at("mlkemEncapsulationRandomness")));
        }
        const Bytes header = sender.prepareDHRatchetIfNeeded().value();
        EXPECT_EQ(hexString(header), str(step.at("header")));
        expectFields(sender, obj(step.at("after")));
        EXPECT_FALSE(sender.prepareDHRatchetIfNeeded());

        expectFields(receiver, obj(step.at("receiver").at("before")));
        receiver.receiveDHRatchetKey(header);
        expectFields(receiver, obj(step.at("receiver").at("after")));
    }
    SCOPED_TRACE("record after the root steps");
    expectRecord(kat, obj(ratchet.at("recordAfter")));
}

}  // namespace
}  // namespace duoquill::test
