#pragma once
// ProtocolPeer over the in-process relay, on the simulated timeline of the client tests.

#include <boost/asio/io_context.hpp>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "DuoquillCLI/ChatTasks.h"
#include "SimulatedRelay.h"
#include "Support/ProtocolPeer.h"

namespace duoquill::test {

class ScriptedPeer final : public ProtocolPeer {
public:
    // Identity `key`, talking to the holder of `peerPublicKey` through the relay as `owner`.
    ScriptedPeer(cli::ManualTimeline& timeline, SimulatedRelay& relay, int owner, const p256::PrivateKey& key,
                 const p256::PublicKey& peerPublicKey);
    ~ScriptedPeer() override;

    void connect();
    void send(std::string text) override;
    // Runs simulated time up to `seconds`.
    std::optional<std::string> next(double seconds) override;

private:
    double now() const override { return timeline_.now(); }

    cli::ManualTimeline& timeline_;
    SimulatedRelay& relay_;
    int owner_;
    std::unique_ptr<boost::asio::io_context> io_;
    std::shared_ptr<cli::ChatTransport> transport_;
    std::deque<std::string> inbox_;
    std::size_t pollerKey_ = 0;
};

}  // namespace duoquill::test
