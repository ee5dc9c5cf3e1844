// The SOCKS5 client's bytes and its judgement of a proxy's replies, without a network; the
// proxy URL and onion names. The exchange over sockets is in WebSocketTransportTest.

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "Duoquill/Transport/Socks5Messages.h"
#include "Duoquill/Transport/Socks5Proxy.h"

namespace duoquill::socks5 {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::array<std::uint8_t, 2> answer(int first, int second) {
    return {static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(second)};
}
Bytes operator+(Bytes a, const std::string& text) {
    a.insert(a.end(), text.begin(), text.end());
    return a;
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Socks5Messages, RequestsAreTheBytesOfRfc1928And1929) {
    EXPECT_EQ(greeting(true), (Bytes{5, 2, 0, 2}));
    EXPECT_EQ(greeting(false), (Bytes{5, 1, 0}));
    EXPECT_EQ(authRequest("user", "pw"), (Bytes{1, 4} + "user" + Bytes{2} + "pw"));
    EXPECT_EQ(authRequest(std::string(255, 'u'), "p")->size(), 1u + 1 + 255 + 1 + 1);
    EXPECT_FALSE(authRequest("", "p"));
    EXPECT_FALSE(authRequest("u", std::string(256, 'p')));

    // Names go to the proxy unresolved; literals go as addresses.
    EXPECT_EQ(connectRequest("relay.example", 443), (Bytes{5, 1, 0, 3, 13} + "relay.example" + Bytes{0x01, 0xBB}));
    EXPECT_EQ(connectRequest("127.0.0.1", 8443), (Bytes{5, 1, 0, 1, 127, 0, 0, 1, 0x20, 0xFB}));
    EXPECT_EQ(connectRequest("::1", 1), (Bytes{5, 1, 0, 4} + Bytes(15, 0) + Bytes{1, 0, 1}));
    EXPECT_EQ(connectRequest("0x7f000001", 80)->at(3), 3);  // not dotted quad: a name
    EXPECT_EQ(connectRequest(std::string(255, 'a'), 80)->size(), 4u + 1 + 255 + 2);
    EXPECT_FALSE(connectRequest(std::string(256, 'a'), 80));
    EXPECT_FALSE(connectRequest("", 80));
}

TEST(Socks5Messages, RepliesAreJudgedAsSoonAsTheirBytesAllowAndRefusalsReadAsSentences) {
    using enum Socks5Error;
    EXPECT_EQ(std::get<Method>(parseMethodChoice(answer(5, 0), true)), Method::noAuthentication);
    EXPECT_EQ(std::get<Method>(parseMethodChoice(answer(5, 2), true)), Method::usernamePassword);
    EXPECT_EQ(std::get<Socks5Error>(parseMethodChoice(answer(5, 0xFF), true)), noAcceptableMethod);
    EXPECT_EQ(std::get<Socks5Error>(parseMethodChoice(answer(5, 1), true)), malformedReply);  // not offered
    EXPECT_EQ(std::get<Socks5Error>(parseMethodChoice(answer(4, 0), true)), malformedReply);
    EXPECT_EQ(std::get<Socks5Error>(parseMethodChoice(answer(5, 2), false)), malformedReply);
    EXPECT_EQ(parseAuthReply(answer(1, 0)), std::nullopt);
    EXPECT_EQ(parseAuthReply(answer(1, 1)), authRefused);
    EXPECT_EQ(parseAuthReply(answer(5, 0)), malformedReply);

    // Fed a byte at a time: each prefix asks for exactly what it needs.
    const auto needs = [](const Bytes& whole) {
        std::vector<std::size_t> asked;
        for (std::size_t n = 0; n < whole.size(); ++n) {
            asked.push_back(std::get<NeedBytes>(parseConnectReply(std::span(whole).first(n))).total);
        }
        EXPECT_TRUE(std::holds_alternative<Connected>(parseConnectReply(whole)));
        return asked;
    };
    EXPECT_EQ(needs(Bytes{5, 0, 0, 1, 0, 0, 0, 0, 0, 0}), (std::vector<std::size_t>{2, 2, 5, 5, 5, 10, 10, 10, 10, 10}));
    EXPECT_EQ(needs(Bytes{5, 0, 0, 3, 3} + "abc" + Bytes{0, 80}).back(), 10u);
    EXPECT_EQ(needs(Bytes{5, 0, 0, 4} + Bytes(18, 0)).back(), 22u);

    // Judged from two bytes: a proxy may close right after its code.
    for (const auto& [code, meaning] : std::vector<std::pair<int, std::string>>{
             {1, "general failure"}, {2, "not allowed by its rules"}, {3, "network unreachable"}, {4, "host unreachable"},
             {5, "connection refused"}, {6, "TTL expired"}, {7, "command not supported"},
             {8, "address type not supported"}, {0xF1, "unknown reply code 0xF1"}}) {
        const auto error = std::get<Socks5Error>(parseConnectReply(Bytes{5, static_cast<std::uint8_t>(code)}));
        EXPECT_EQ(make_error_code(error).message(), "The proxy could not connect to the relay: " + meaning) << code;
    }

    for (const Bytes& malformed : {Bytes{4, 0}, Bytes{5, 0, 1}, Bytes{5, 0, 0, 2}, Bytes{5, 0, 0, 3, 0},
                                   Bytes{5, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}}) {
        EXPECT_EQ(std::get<Socks5Error>(parseConnectReply(malformed)), malformedReply) << malformed.size();
    }
}

// (Credentials in the URL, and socks5:// refused: ChatThroughProxyTest and CommandLineTest.)
TEST(Socks5Proxy, UrlsOnionNamesAndFreshCredentials) {
    EXPECT_EQ(parseProxyUrl("socks5h://[::1]:9050")->displayName(), "[::1]:9050");
    EXPECT_EQ(parseProxyUrl("socks5h://tor.lan")->port, "1080");
    EXPECT_EQ(parseProxyUrl("socks5h://al%20ice:pw@h:1")->username, "al ice");
    for (const char* refused : {"socks5h://", "socks5h://h:0", "socks5h://h:65536", "socks5h://h:1/path", "socks5h://u@h:1"}) {
        EXPECT_FALSE(parseProxyUrl(refused)) << refused;
    }
    Socks5Proxy first = *parseProxyUrl("socks5h://h:1"), second = first;
    drawIsolationCredentials(first);
    drawIsolationCredentials(second);
    EXPECT_NE(first.username, second.username);
    EXPECT_NE(first.password, second.password);

    for (const char* onion : {"wss://X.ONION:443", "wss://relay.abc.onion./"}) EXPECT_TRUE(isOnionRelay(onion)) << onion;
    for (const char* clear : {"wss://onion.example/", "wss://", "wss://1.2.3.4/x.onion"}) EXPECT_FALSE(isOnionRelay(clear)) << clear;
}

}  // namespace
}  // namespace duoquill::socks5
