// What the relay's TLS accepts, asked of the real relay with OpenSSL clients limited to one
// version and suite each.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "Kit/RelayProcess.h"

namespace duoquill::test {
namespace {

// True when a TLS handshake limited to `version` and `suites` (TLS 1.2 suite names; empty
// keeps the defaults) completes with the relay.
bool handshakes(std::uint16_t port, int version, const char* suites) {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    SSL_CTX_set_min_proto_version(context.get(), version);
    SSL_CTX_set_max_proto_version(context.get(), version);
    SSL_CTX_set_security_level(context.get(), 0);  // let the client offer what the relay must refuse
    if (*suites != '\0' && SSL_CTX_set_cipher_list(context.get(), suites) != 1) throw std::runtime_error(suites);

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("no relay");
    }
    std::unique_ptr<SSL, decltype(&SSL_free)> tls(SSL_new(context.get()), SSL_free);
    SSL_set_fd(tls.get(), fd);
    const bool done = SSL_connect(tls.get()) == 1;
    ::close(fd);
    return done;
}

TEST(RelayTls, OnlyTls13AndTls12WithEcdheAndAeadAreAccepted) {
    const RelayProcess relay;
    const struct {
        int version;
        const char* suites;
        bool accepted;
    } cases[] = {
        {TLS1_3_VERSION, "", true},
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256", true},
        {TLS1_2_VERSION, "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305", true},
        {TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA384:ECDHE-RSA-AES128-SHA", false},  // CBC
        {TLS1_2_VERSION, "AES128-GCM-SHA256:AES256-GCM-SHA384", false},  // RSA key transport
        {TLS1_1_VERSION, "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(handshakes(relay.port(), c.version, c.suites), c.accepted) << std::hex << c.version << " " << c.suites;
    }
}

}  // namespace
}  // namespace duoquill::test
