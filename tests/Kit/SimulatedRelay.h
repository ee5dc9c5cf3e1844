#pragma once
// The relay's own rooms (RoomRegistry) behind in-process transports on simulated time: two
// members per room paired by path, frames forwarded unchanged and in order, what a lone member
// sends kept for the member that joins, a newcomer displacing the member heard from longest
// ago, {"t":"peer-disconnected"} to the member that stays. Each hop takes a random latency;
// order per direction is kept.
//
// Faults on demand: a process that dies, a connection the relay cuts, a relay restart, a lost
// tunnel frame, an old hello delivered again.

#include <boost/asio/any_io_executor.hpp>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "DuoquillCLI/ChatTasks.h"
#include "DuoquillCLI/ChatTransport.h"
#include "DuoquillRelay/RoomRegistry.h"

namespace duoquill::test {

class SimulatedRelay {
public:
    SimulatedRelay(cli::ManualTimeline& timeline, std::uint64_t seed);
    ~SimulatedRelay();

    // A transport of the process `owner`, whose completions run on `executor`.
    std::shared_ptr<cli::ChatTransport> makeTransport(boost::asio::any_io_executor executor, int owner);

    // The process ended: its connections drop without a close, nothing more is posted to it.
    void processDied(int owner);
    // The relay cuts the owner's connection; its client sees the receive fail.
    void cutConnectionOf(int owner);
    // Every connection cut, every room forgotten.
    void restart();
    // While set, new connections fail at once (no relay listening).
    void setRefusingConnections(bool refusing) noexcept { refusing_ = refusing; }
    // The next tunnel (non-JSON) frame the owner sends is lost.
    void loseNextTunnelFrameFrom(int owner) { loseNext_[owner] = true; }
    bool hasLossPending() const;
    void cancelPendingLosses() { loseNext_.clear(); }
    double lastLossTime() const noexcept { return lastLoss_; }
    // Delivers once more, to the other member, a hello the owner sent before its latest one.
    void replayOldHello(int owner);

    // Every frame forwarded to the owner's client so far, in order.
    const std::vector<std::string>& deliveredTo(int owner) { return delivered_[owner]; }

    struct Connection;

private:
    friend class SimulatedTransport;
    using ConnectionPtr = std::shared_ptr<Connection>;
    double latency() { return std::uniform_real_distribution<double>(0.005, 0.08)(random_); }
    void schedule(double& last, std::function<void()> action);
    void join(const ConnectionPtr& c);
    void receiveFrame(const ConnectionPtr& c, const std::string& text);
    void leave(const ConnectionPtr& c);
    void deliver(const ConnectionPtr& c, std::string text);
    void cut(const ConnectionPtr& c);
    void closeLater(const ConnectionPtr& c);

    cli::ManualTimeline& timeline_;
    std::mt19937_64 random_;
    std::unique_ptr<relay::RoomRegistry> rooms_;
    std::vector<ConnectionPtr> connections_;
    std::map<int, bool> loseNext_;
    std::map<int, std::vector<std::string>> hellos_;
    std::map<int, std::vector<std::string>> delivered_;
    double lastLoss_ = 0;
    bool refusing_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace duoquill::test
