// The duoquill-relay program itself: its command line, its log, and SIGTERM.

#include <gtest/gtest.h>

#include <csignal>

#include "InProcessRelay.h"
#include "Support/Paths.h"
#include "Support/Process.h"
#include "Support/RelayProcess.h"

namespace duoquill::test {
namespace {

using Kind = WebSocketEvent::Kind;

std::unique_ptr<WebSocketTestClient> joinProcess(const RelayProcess& relay, const std::string& path) {
    WebSocketTestClient::Options options;
    options.caFile = TestCertificates::shared().caFile();
    auto client = std::make_unique<WebSocketTestClient>(options);
    if (client->open(relay.port(), path) != 101) throw std::runtime_error("join refused");
    return client;
}

TEST(RelayProgramTest, HelpDocumentsEveryOption) {
    const ProcessResult result = runProcess(relayPath().string(), {"--help"});
    EXPECT_EQ(result.exitStatus, 0);
    for (const char* option : {"--listen", "--cert", "--key", "--plain", "--threads", "--max-connections",
                               "--max-per-address", "--ping-interval", "--idle-timeout", "--handshake-timeout",
                               "--quiet", "--help"}) {
        EXPECT_NE(result.standardOutput.find(option), std::string::npos) << option;
    }
}

TEST(RelayProgramTest, UnusableCommandLinesAreRefused) {
    const std::vector<std::vector<std::string>> commandLines = {
        {},
        {"--listen", "127.0.0.1:0"},
        {"--listen", "127.0.0.1", "--plain"},
        {"--listen", "127.0.0.1:70000", "--plain"},
        {"--listen", "127.0.0.1:0", "--plain", "--threads", "0"},
        {"--listen", "127.0.0.1:0", "--plain", "--ping-interval", "soon"},
        {"--listen", "127.0.0.1:0", "--plain", "--bogus"},
        {"--listen", "127.0.0.1:0", "--cert", "/nonexistent.pem", "--key", "/nonexistent.key"},
    };
    for (const auto& arguments : commandLines) {
        const ProcessResult result = runProcess(relayPath().string(), arguments);
        EXPECT_NE(result.exitStatus, 0) << testing::PrintToString(arguments);
        EXPECT_NE(result.standardError.find("duoquill-relay: "), std::string::npos) << result.standardError;
    }
}

TEST(RelayProgramTest, SigtermClosesEveryConnectionWith1001AndExitsZero) {
    RelayProcess relay;
    const std::string room = roomPath(1);
    const std::string secret = "frame-content-that-must-not-be-logged";
    auto a = joinProcess(relay, room);
    auto b = joinProcess(relay, room);
    auto lone = joinProcess(relay, roomPath(2));
    a->sendText(secret);
    ASSERT_EQ(b->readText(), secret);

    ::kill(relay.pid(), SIGTERM);
    for (auto* client : {a.get(), b.get(), lone.get()}) {
        const WebSocketEvent event = client->read();
        ASSERT_EQ(event.kind, Kind::closed) << describe(event);
        EXPECT_EQ(event.closeCode, 1001);
    }
    EXPECT_EQ(relay.stop(0), 0);

    // One line per event; the room appears only as a short hash prefix, frames never.
    const std::string log = relay.log();
    EXPECT_EQ(log.find(room.substr(1, 16)), std::string::npos) << log;
    EXPECT_EQ(log.find(secret), std::string::npos) << log;
    EXPECT_NE(log.find("joined room "), std::string::npos) << log;
    EXPECT_NE(log.find("(1001)"), std::string::npos) << log;
}

TEST(RelayProgramTest, PlainModeAndQuietServeWithoutTlsAndWithoutLog) {
    RelayProcess relay(RelayProcess::Options{.plain = true, .arguments = {"--quiet", "--threads", "2"}});
    WebSocketTestClient::Options options;
    options.tls = false;
    WebSocketTestClient a(options);
    WebSocketTestClient b(options);
    ASSERT_EQ(a.open(relay.port(), roomPath(3)), 101);
    ASSERT_EQ(b.open(relay.port(), roomPath(3)), 101);
    a.sendText("plain");
    EXPECT_EQ(b.readText(), "plain");
    ::kill(relay.pid(), SIGINT);
    EXPECT_EQ(a.read().closeCode, 1001);
    EXPECT_EQ(b.read().closeCode, 1001);
    EXPECT_EQ(relay.stop(0), 0);
    const std::string log = relay.log();
    EXPECT_EQ(log, "listening on 127.0.0.1:" + std::to_string(relay.port()) + " (ws)\n");
}

}  // namespace
}  // namespace duoquill::test
