// What the real relay's log says about clients: no addresses unless asked, and refused
// connections counted in one line instead of one line each.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include "Kit/RelayProcess.h"
#include "Kit/TestCertificates.h"
#include "Kit/WebSocketTestClient.h"

namespace duoquill::test {
namespace {

// Connects over TCP and waits for the relay to close the connection unanswered.
void connectAndGetRefused(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    char byte;
    EXPECT_LE(::read(fd, &byte, 1), 0);
    ::close(fd);
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(RelayLog, NamesNoClientAddressUnlessAskedAndCountsRefusalsInOneLine) {
    for (const bool addresses : {false, true}) {
        std::vector<std::string> arguments{"--max-per-address", "1"};
        if (addresses) arguments.push_back("--log-addresses");
        RelayProcess relay(RelayProcess::Options{.arguments = arguments});
        WebSocketTestClient member(WebSocketTestClient::Options{.caFile = TestCertificates::shared().caFile()});
        ASSERT_EQ(member.open(relay.port(), "/" + std::string(128, 'a')), 101);
        for (int i = 0; i < 5; ++i) connectAndGetRefused(relay.port());
        member.drop();
        EXPECT_EQ(relay.stop(SIGTERM), 0);

        const std::string log = relay.log();
        EXPECT_EQ(occurrences(log, "refused 5 connection(s): 5 over the per-address limit, 0 over the total limit"), 1u)
            << log;
        EXPECT_EQ(occurrences(log, "refused"), 1u) << log;
        // The start-up line names the listening address; nothing else names one unless asked.
        EXPECT_EQ(occurrences(log, "127.0.0.1:"), addresses ? 2u : 1u) << log;
    }
}

}  // namespace
}  // namespace duoquill::test
