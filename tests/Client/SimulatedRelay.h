#pragma once
// An in-process relay on simulated time, with the behaviour the chat client relies on: two
// members per room paired by path, every frame forwarded unchanged and in order, what a lone
// member sends kept (the latest 16 frames) and handed to the member that joins, a third
// connection displacing the member heard from longest ago, and {"t":"peer-disconnected"} to
// the remaining member when the other's connection ends. Each hop takes a random latency;
// order per direction is kept.
//
// Faults on demand: a process that dies, a connection the relay cuts, a relay restart, a lost
// tunnel frame, an old hello delivered again.

#include <boost/asio/any_io_executor.hpp>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "DuoquillCLI/ChatTasks.h"
#include "DuoquillCLI/ChatTransport.h"

namespace duoquill::test {

class SimulatedRelay {
public:
    SimulatedRelay(cli::ManualTimeline& timeline, std::uint64_t seed, double minLatency = 0.005,
                   double maxLatency = 0.08);
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
    void loseNextTunnelFrameFrom(int owner);
    bool hasLossPending() const;
    void cancelPendingLosses() { loseNext_.clear(); }
    double lastLossTime() const noexcept { return lastLoss_; }
    // Delivers once more, to the other member, a hello the owner sent before its latest one.
    bool replayOldHello(int owner);

    // Every frame forwarded to the owner's client so far, in order.
    const std::vector<std::string>& deliveredTo(int owner) const;
    std::size_t connectionsOpened() const noexcept { return connectionsOpened_; }
    std::size_t memberCount(const std::string& path) const;

    struct Connection;

private:
    friend class SimulatedTransport;
    double latency();
    void join(const std::shared_ptr<Connection>& connection);
    void receiveFrame(const std::shared_ptr<Connection>& connection, const std::string& text);
    void leave(const std::shared_ptr<Connection>& connection);
    void deliver(const std::shared_ptr<Connection>& connection, std::string text);
    void cut(const std::shared_ptr<Connection>& connection);
    void scheduleUpstream(const std::shared_ptr<Connection>& connection, std::function<void()> action);

    struct Room {
        std::vector<std::shared_ptr<Connection>> members;
        std::deque<std::string> kept;
    };

    cli::ManualTimeline& timeline_;
    std::mt19937_64 random_;
    double minLatency_, maxLatency_;
    std::map<std::string, Room> rooms_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::map<int, bool> loseNext_;
    std::map<int, std::vector<std::string>> hellos_;
    std::map<int, std::vector<std::string>> delivered_;
    std::size_t connectionsOpened_ = 0;
    double lastLoss_ = 0;
    bool refusing_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace duoquill::test
