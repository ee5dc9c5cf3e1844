#pragma once
// ProtocolPeer against a real relay: the project's own WebSocketTransport over TLS, on an
// io_context of its own that runs only while the test waits for the peer (send, next), on
// real time. Its identity is a P-256 key made in-process; the real client is given
// publicKeyText() as its peer key.

#include <boost/asio/io_context.hpp>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "Duoquill/Networking/WebSocketTransport.h"
#include "Support/ProtocolPeer.h"

namespace duoquill::test {

class RelayPeer final : public ProtocolPeer {
public:
    // A peer of the identity whose public key text is `clientPublicKey`, meeting it under the
    // relay base URL `relayURL` (which must trust the shared test certificates).
    RelayPeer(const std::string& clientPublicKey, std::string relayURL,
              const p256::PrivateKey& key = p256::PrivateKey::generate());
    ~RelayPeer() override;

    // Opens the connection to the room and starts receiving.
    void connect();
    // Returns once the frame has been written; throws the transport's failure.
    void send(std::string text) override;
    std::optional<std::string> next(double seconds) override;

private:
    double now() const override;

    std::string relayURL_;
    boost::asio::io_context io_;
    std::shared_ptr<WebSocketTransport> transport_;
    std::deque<std::string> inbox_;
    bool receiving_ = false;
};

}  // namespace duoquill::test
