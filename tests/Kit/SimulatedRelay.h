#pragma once
// Simulated time (ManualTimeline), and the relay on it (SimulatedRelay).
//
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

#include <algorithm>
#include <boost/asio/any_io_executor.hpp>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "DuoquillCLI/Chat/ChatTransport.h"
#include "DuoquillRelay/RoomRegistry.h"

namespace duoquill::test {

// Simulated time shared by any number of executors (one per simulated process). Nothing moves
// until the test asks: runUntil() runs every ready handler, then advances the clock to the
// earliest pending deadline and fires it, and so on. Events of equal deadline fire in the
// order they were scheduled, so a run is reproducible.
class ManualTimeline {
public:
    double now() const noexcept { return now_; }

    using EventId = unsigned long long;
    // Calls fire() when the clock reaches now + delay; cancel(id) drops it unfired.
    EventId schedule(double delay, std::function<void()> fire);
    void cancel(EventId id);

    // Executors whose ready work runs before the clock moves; detach() takes one away.
    std::size_t attach(std::function<std::size_t()> pollOnce) {
        pollers_.emplace(nextPoller_, std::move(pollOnce));
        return nextPoller_++;
    }
    void detach(std::size_t key) { pollers_.erase(key); }

    // Runs ready work and timers until the clock would pass `until`, or stopWhen() holds.
    void runUntil(double until, const std::function<bool()>& stopWhen = nullptr);
    void runFor(double seconds, const std::function<bool()>& stopWhen = nullptr) { runUntil(now_ + seconds, stopWhen); }
    // Runs ready work, then the earliest event and the work it readied; false when none is pending.
    bool fireNext();
    // Runs ready work until there is none; the clock stays.
    void settle() { pollAll(); }

private:
    void pollAll();
    void fireFirst();

    struct Key {
        double deadline;
        EventId id;
        bool operator<(const Key& other) const {
            return deadline != other.deadline ? deadline < other.deadline : id < other.id;
        }
    };
    double now_ = 0.0;
    EventId nextId_ = 1;
    std::map<Key, std::function<void()>> events_;
    std::map<std::size_t, std::function<std::size_t()>> pollers_;
    std::size_t nextPoller_ = 0;
};


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
    bool hasLossPending() const {
        return std::any_of(loseNext_.begin(), loseNext_.end(), [](const auto& entry) { return entry.second; });
    }
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
