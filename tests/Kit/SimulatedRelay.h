#pragma once
// The relay's own rooms (RoomRegistry) behind in-process transports on simulated time: two
// members per room paired by path, frames forwarded unchanged and in order, what a lone member
// sends kept for the member that joins, a newcomer displacing the member heard from longest
// ago, {"t":"peer-disconnected"} to the member that stays. Each hop takes a random latency;
// order per direction is kept.
//
// Faults on demand: a process that dies, a connection the relay cuts, a relay restart, a lost
// tunnel frame, an old hello delivered again, a frame rewritten or made up by the test, and a
// hostile spell in which about one frame in
// six is dropped, doubled, cut short, bit-flipped (plain hellos too: a refused hello ends
// nothing), held back past later ones, or joined by a frame of its own (one seen earlier, a
// bye or a peer-disconnected).
//
// A client reaches it through transport(), the driver's ChatTransport.

#include <boost/asio/any_io_executor.hpp>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "DuoquillCLI/Chat/ChatTransport.h"
#include "DuoquillRelay/RoomRegistry.h"
#include "Kit/ManualTimeline.h"

namespace duoquill::test {

class SimulatedRelay {
public:
    SimulatedRelay(ManualTimeline& timeline, std::uint64_t seed);
    ~SimulatedRelay();

    // The driver's transport for a client of the process `owner`: its connection joins the room
    // named by the URL's last segment; every completion is posted to `executor`. Dropped without
    // disconnect(), it lets its connection go without a close, as dropping a socket does.
    std::shared_ptr<cli::ChatTransport> transport(int owner, boost::asio::any_io_executor executor);

    // The process ended: its connections drop without a close, nothing more is posted to it.
    void processDied(int owner);
    // The relay cuts the owner's connection; its client sees the receive fail.
    void cutConnectionOf(int owner);
    // Every connection cut, every room forgotten.
    void restart();
    // The next tunnel (non-JSON) frame the owner sends is lost.
    void loseNextTunnelFrameFrom(int owner) { loseNext_[owner] = true; }
    bool hasLossPending() const;
    void cancelPendingLosses() { loseNext_.clear(); }
    double lastLossTime() const noexcept { return lastLoss_; }
    // Delivers once more, to the other member, a hello the owner sent before its latest one.
    void replayOldHello(int owner);
    void setHostile(bool hostile) noexcept { hostile_ = hostile; }
    // While set, each frame the owner sends is replaced by what `rewrite` makes of it.
    void setRewriting(int owner, std::function<std::string(const std::string&)> rewrite) {
        rewriting_[owner] = std::move(rewrite);
    }
    // A frame of the test's own, as if the owner's client had sent it on its newest connection.
    void sendAs(int owner, std::string text);

private:
    struct Connection;
    using ConnectionPtr = std::shared_ptr<Connection>;
    class Transport;

    double latency() { return std::uniform_real_distribution<double>(0.005, 0.08)(random_); }
    void schedule(double& last, std::function<void()> action);
    void join(const ConnectionPtr& c);
    void receiveFrame(const ConnectionPtr& c, const std::string& text);
    void leave(const ConnectionPtr& c);
    void deliver(const ConnectionPtr& c, std::string text);
    void push(const ConnectionPtr& c, std::string text, double extraDelay = 0);
    std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_); }
    void cut(const ConnectionPtr& c);
    void closeLater(const ConnectionPtr& c);

    ManualTimeline& timeline_;
    std::mt19937_64 random_;
    std::unique_ptr<relay::RoomRegistry> rooms_;
    std::vector<ConnectionPtr> connections_;
    std::map<int, bool> loseNext_;
    std::map<int, std::vector<std::string>> hellos_;
    std::map<int, std::function<std::string(const std::string&)>> rewriting_;
    double lastLoss_ = 0;
    std::vector<std::string> seen_;  // what members sent: a hostile relay replays it
    bool hostile_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace duoquill::test
