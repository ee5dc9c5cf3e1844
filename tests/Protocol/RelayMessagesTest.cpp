// The relay-message codec (exact bytes out, every accept / ignore / fatal rule in) and the
// tunnel pipelines over two real sessions.

#include <gtest/gtest.h>

#include <set>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "Kit/World.h"

namespace duoquill::protocol {
namespace {

// What a receiver makes of one text: "none" (not a relay message), "ignore", "fatal" or the
// decoded members.
std::string outcome(std::string_view text) {
    const auto message = parseRelayMessage(text);
    if (!message) return "none";
    switch (message->type) {
        case MessageType::hello: {
            const auto hello = decodeHello(*message);
            if (!hello) return "ignore";
            if (!hello->mlk) return "fatal";
            return "hello " + hello->pkid + " " + hexString(hello->ct) + " " + hexString(hello->ek);
        }
        case MessageType::kex2: return decodeKex2(*message) ? "kex2 " + hexString(decodeKex2(*message)->mc) : "ignore";
        case MessageType::ready: {
            const auto kc = decodeReadyConfirmation(*message);
            if (!kc) return "fatal";
            const auto announced = decodeReadyAnnouncement(*message);
            return "ready " + hexString(*kc) + (announced.lineStream ? " ls" + std::to_string(*announced.lineStream) : "") +
                   (announced.followsLeaderRule ? " lead" : "") + (announced.joinsParts ? " parts" : "") +
                   (announced.steady ? " steady" : "");
        }
        case MessageType::msg: {
            const auto msg = decodeMsg(*message);
            if (!msg) return "ignore";
            const auto part = decodeMsgPart(*message);
            return "msg " + std::to_string(msg->n) + " " + hexString(msg->d) + " " +
                   (msg->rk ? hexString(*msg->rk) : "-") +
                   (msg->numbers ? " s" + std::to_string(msg->numbers->s) + " a" + std::to_string(msg->numbers->a) : "") +
                   (part.part ? " p" + std::to_string(part.part->index) + "/" + std::to_string(part.part->count) : "") +
                   (part.malformed ? " bad-part" : "");
        }
        case MessageType::bye: return "bye";
        case MessageType::peerDisconnected: return "peer-disconnected";
        case MessageType::unknown: return "unknown " + message->typeName;
    }
    return "?";
}

TEST(RelayMessagesTest, EncodesExactBytesAndDecodesByTheMemberRules) {
    const Bytes two{0xfb, 0xff};
    EXPECT_EQ(encode(Hello{"ab-_", two, {1}, {1, 2, 3}}), R"({"t":"hello","pkid":"ab-_","ct":"+/8=","ek":"AQ==","mlk":"AQID"})");
    EXPECT_EQ(encode(Kex2{two}), R"({"t":"kex2","mc":"+/8="})");
    EXPECT_EQ(encode(Ready{two, {}}), R"({"t":"ready","kc":"-_8"})");
    EXPECT_EQ(encode(Ready{two, {42, true}}), R"({"t":"ready","kc":"-_8","ls":42,"lead":"sorted-key"})");
    EXPECT_EQ(encode(Ready{two, {std::nullopt, true}}), R"({"t":"ready","kc":"-_8","lead":"sorted-key"})");
    EXPECT_EQ(encode(Ready{two, {42, true, true, true}}),
              R"({"t":"ready","kc":"-_8","ls":42,"lead":"sorted-key","parts":true,"steady":true})");
    EXPECT_EQ(encode(Msg{7, two, std::nullopt, std::nullopt}), R"({"t":"msg","n":7,"d":"+/8="})");
    EXPECT_EQ(encode(Msg{UINT64_MAX, {1}, Bytes{0xff}, std::nullopt}),
              R"({"t":"msg","n":18446744073709551615,"d":"AQ==","rk":"/w=="})");
    EXPECT_EQ(encode(Msg{7, two, std::nullopt, LineNumbers{4503599627370496, 4503599627370495}}),
              R"({"t":"msg","n":7,"d":"+/8=","s":4503599627370496,"a":4503599627370495})");
    EXPECT_EQ(encode(Msg{7, two, std::nullopt, std::nullopt}, LinePart{0, 81}), R"({"t":"msg","n":7,"d":"+/8=","p":0,"pn":81})");
    EXPECT_EQ(encodeBye(), R"({"t":"bye"})");
    EXPECT_EQ(encodePeerDisconnected(), R"({"t":"peer-disconnected"})");

    const auto mlk = [](std::size_t size) { return "\"" + base64String(Bytes(size, 7)) + "\""; };
    const std::string m = mlk(PFSChatSession::mlkemPublicKeySize), shortMlk = mlk(1567), longMlk = mlk(1569);
    const std::string hello = R"({"t":"hello","pkid":"p","ct":"+/8=","ek":"AQ==")", msg = R"({"t":"msg","n":3,"d":"AQ==")",
                      ready = R"({"t":"ready","kc":"-_8")";
    const std::pair<std::string, std::string> cases[] = {
        {"hello", "none"}, {"[1]", "none"}, {R"({"t":1})", "none"}, {R"({"type":"msg"})", "none"},
        {R"({"t":"other","n":1})", "unknown other"}, {R"({"x":[1],"t":"bye"})", "bye"}, {R"({"t":"peer-disconnected"})", "peer-disconnected"},
        // hello: any order, unknown members; pkid / ct / ek defects are ignored before mlk is looked at
        {R"({"mlk":)" + m + R"(,"x":{},"ek":"AQ==","ct":"+/8=","pkid":"p","t":"hello"})", "hello p fbff 01"},
        {R"({"t":"hello","ct":"+/8=","ek":"AQ=="})", "ignore"}, {R"({"t":"hello","pkid":5,"ct":"+/8=","ek":"AQ=="})", "ignore"},
        {R"({"t":"hello","pkid":"p","ct":"-_8=","ek":"AQ=="})", "ignore"}, {R"({"t":"hello","pkid":"p","ct":"+/8="})", "ignore"},
        {hello + "}", "fatal"}, {hello + R"(,"mlk":1})", "fatal"}, {hello + R"(,"mlk":"A"})", "fatal"},
        {hello + R"(,"mlk":)" + shortMlk + "}", "fatal"}, {hello + R"(,"mlk":)" + longMlk + "}", "fatal"},
        // kex2
        {R"({"mc":"+/8=","t":"kex2"})", "kex2 fbff"}, {R"({"t":"kex2"})", "ignore"}, {R"({"t":"kex2","mc":7})", "ignore"},
        {R"({"t":"kex2","mc":"-_8="})", "ignore"},
        // ready: lenient base64url, anything undecodable is fatal
        {R"({"kc":"-_8","t":"ready"})", "ready fbff"}, {R"({"t":"ready","kc":"-_8="})", "ready fbff"},
        {R"({"t":"ready","kc":"+/8"})", "ready fbff"}, {R"({"t":"ready"})", "fatal"}, {R"({"t":"ready","kc":32})", "fatal"},
        {R"({"t":"ready","kc":"!!"})", "fatal"},
        // ready's announcement: only a counter "ls" and the exact rule name count
        {ready + R"(,"ls":9,"lead":"sorted-key"})", "ready fbff ls9 lead"}, {ready + R"(,"ls":"9","lead":"other"})", "ready fbff"},
        {ready + R"(,"ls":-9,"lead":1})", "ready fbff"}, {ready + R"(,"parts":true,"steady":true})", "ready fbff parts steady"},
        {ready + R"(,"parts":1,"steady":"true"})", "ready fbff"},
        // msg: "n" an integer that fits 64 unsigned bits; a bad "rk" is dropped, the msg kept
        {R"({"d":"AQ==","n":3,"t":"msg","z":null})", "msg 3 01 -"},
        {R"({"t":"msg","n":18446744073709551615,"d":"AQ=="})", "msg 18446744073709551615 01 -"},
        {R"({"t":"msg","n":18446744073709551616,"d":"AQ=="})", "ignore"}, {R"({"t":"msg","n":-1,"d":"AQ=="})", "ignore"},
        {R"({"t":"msg","n":1.5,"d":"AQ=="})", "ignore"}, {R"({"t":"msg","n":"3","d":"AQ=="})", "ignore"},
        {R"({"t":"msg","d":"AQ=="})", "ignore"}, {R"({"t":"msg","n":3})", "ignore"}, {R"({"t":"msg","n":3,"d":5})", "ignore"},
        {R"({"t":"msg","n":3,"d":"AQ"})", "ignore"}, {msg + R"(,"rk":"/w=="})", "msg 3 01 ff"},
        {msg + R"(,"rk":5})", "msg 3 01 -"}, {msg + R"(,"rk":"_w"})", "msg 3 01 -"},
        // line numbers count only as a pair of counters
        {msg + R"(,"s":9,"a":8})", "msg 3 01 - s9 a8"}, {msg + R"(,"s":9})", "msg 3 01 -"}, {msg + R"(,"s":9,"a":"8"})", "msg 3 01 -"},
        // parts: a pair of counters with 2 <= pn and p < pn, else the record holds no line
        {msg + R"(,"p":1,"pn":2})", "msg 3 01 - p1/2"}, {msg + R"(,"p":2,"pn":2})", "msg 3 01 - bad-part"},
        {msg + R"(,"p":0,"pn":1})", "msg 3 01 - bad-part"}, {msg + R"(,"pn":2})", "msg 3 01 - bad-part"},
        {msg + R"(,"p":-1,"pn":18446744073709551616})", "msg 3 01 - bad-part"}, {msg + R"(,"p":"0","pn":2})", "msg 3 01 - bad-part"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(outcome(text), expected) << text;
}

TEST(RelayMessagesTest, PipelinesCarryMessagesBetweenTwoSessions) {
    test::World world;
    const auto a = world.makeSession(0), b = world.makeSession(1);
    test::World::handshake(*a, *b);
    PFSChatSession& ini = a->isInitiator().value() ? *a : *b;
    PFSChatSession& res = a->isInitiator().value() ? *b : *a;
    // Beside the keys-only header of the initiator's first record, only a record bucket's worth
    // of line pads as a cover record does.
    EXPECT_TRUE(fitsCoverFrame(ini, coverSizedLineBytes) && !fitsCoverFrame(ini, coverSizedLineBytes + 1));
    EXPECT_TRUE(fitsCoverFrame(res, linePartBytes) && !fitsCoverFrame(res, linePartBytes + 1));

    const auto deliver = [](PFSChatSession& to, const std::string& frame) -> std::optional<SecureBytes> {
        const auto msg = decodeMsg(openTunnelText(to, frame, testTime).value()).value();  // a msg, or the test fails
        if (msg.rk) to.receiveDHRatchetKey(*msg.rk);
        return to.open(msg.d, msg.n, testTime);
    };
    const std::string line = sealChatLine(ini, testTime, asBytes("hello there"));
    EXPECT_NE(line.front(), '{');
    EXPECT_EQ(toBytes(deliver(res, line).value()), toBytes(asBytes("hello there")));
    EXPECT_FALSE(openTunnelText(res, line, testTime)) << "a replayed frame opens nothing";
    EXPECT_FALSE(deliver(ini, sealCoverRecord(res, testTime)));

    // Line numbers and a part's members ride inside the padding, and a part pads as a cover
    // record does: with both sides sending in turn (a ratchet header on every frame) and
    // without, the relay sees the same frame sizes for a cover record with numbers or without,
    // and for a part.
    const LineNumbers numbers{(1ULL << 53) - 1, (1ULL << 53) - 2};
    for (const bool alternate : {true, false}) {
        std::set<std::size_t> sizes[3];
        if (!alternate) sealCoverRecord(ini, testTime);  // takes the pending ratchet step
        for (int i = 0; i < 120; ++i) {
            const std::string frame =
                i % 3 == 0   ? sealCoverRecord(ini, testTime)
                : i % 3 == 1 ? sealCoverRecord(ini, testTime, numbers)
                             : sealChatLine(ini, testTime, Bytes(linePartBytes, 'p'), numbers, LinePart{88, 89});
            sizes[i % 3].insert(frame.size());
            if (!alternate) continue;
            deliver(res, frame);
            deliver(ini, sealCoverRecord(res, testTime));
        }
        EXPECT_EQ(sizes[0], sizes[1]) << alternate;
        EXPECT_EQ(sizes[0], sizes[2]) << alternate;
        EXPECT_GE(sizes[0].size(), 2u);
    }
    EXPECT_EQ((std::vector{partsOfLine(linePartBytes), partsOfLine(linePartBytes + 1), partsOfLine(20480)}),
              (std::vector<std::size_t>{1, 2, 41}));

    EXPECT_EQ(openTunnelText(ini, sealTunnelText(res, encodeBye(), testTime), testTime).value().type, MessageType::bye);
    EXPECT_FALSE(openTunnelText(ini, encodeBye(), testTime)) << "a plain frame is not a tunnel frame";
    EXPECT_EQ(parsePlainFrame(encodeBye()).value().type, MessageType::bye);
    EXPECT_FALSE(parsePlainFrame(R"( {"t":"bye"})") || parsePlainFrame(""));
}

}  // namespace
}  // namespace duoquill::protocol
