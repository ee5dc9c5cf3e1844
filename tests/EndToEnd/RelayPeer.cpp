#include "RelayPeer.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <stdexcept>

#include "Duoquill/Utilities/KeyHelpers.h"
#include "Support/TestCertificates.h"

namespace asio = boost::asio;
using namespace std::chrono_literals;

namespace duoquill::test {

namespace {

std::chrono::steady_clock::time_point after(double seconds) {
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

RelayPeer::RelayPeer(const std::string& clientPublicKey, std::string relayURL, const p256::PrivateKey& key)
    : ProtocolPeer(key, KeyHelpers::p256PublicKey(clientPublicKey), Clock::system()), relayURL_(std::move(relayURL)) {}

RelayPeer::~RelayPeer() {
    if (!transport_) return;
    // Leave as a client does, so that the relay tells the other member at once.
    asio::co_spawn(io_, transport_->disconnect(), asio::detached);
    transport_.reset();
    io_.restart();
    io_.run_for(2s);
}

void RelayPeer::connect() {
    // The transport reads the trust store when it is made.
    ::setenv("SSL_CERT_FILE", TestCertificates::shared().caFile().c_str(), 1);
    transport_ = std::make_shared<WebSocketTransport>(io_.get_executor());
    transport_->connect(relayURL_ + "/" + roomToken());
    receiving_ = true;
    asio::co_spawn(
        io_,
        [transport = transport_, this]() -> asio::awaitable<void> {
            for (;;) inbox_.push_back(co_await transport->receive());
        },
        [this](std::exception_ptr) { receiving_ = false; });
}

void RelayPeer::send(std::string text) {
    if (!transport_) throw std::logic_error("RelayPeer::send before connect");
    // Shared with the completion, which may outlive this call when the write hangs.
    struct Outcome {
        bool done = false;
        std::exception_ptr failure;
    };
    const auto outcome = std::make_shared<Outcome>();
    asio::co_spawn(io_, transport_->send(std::move(text)), [outcome](std::exception_ptr failure) {
        outcome->failure = failure;
        outcome->done = true;
    });
    const auto deadline = after(10.0);
    while (!outcome->done && io_.run_one_until(deadline) > 0) {
    }
    if (io_.stopped()) io_.restart();
    if (outcome->failure) std::rethrow_exception(outcome->failure);
    if (!outcome->done) throw std::runtime_error("RelayPeer::send timed out");
}

std::optional<std::string> RelayPeer::next(double seconds) {
    const auto deadline = after(seconds);
    while (inbox_.empty() && receiving_ && io_.run_one_until(deadline) > 0) {
    }
    if (io_.stopped()) io_.restart();
    if (inbox_.empty()) return std::nullopt;
    std::string text = std::move(inbox_.front());
    inbox_.pop_front();
    return text;
}

double RelayPeer::now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace duoquill::test
