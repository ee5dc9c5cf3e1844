#pragma once
// The relay's own room logic (RoomRegistry) behind a hostile network proxy, on simulated time,
// for chat clients in one test process. While hostile, the proxy draws, from a fixed seed,
// what to do with each frame in either direction: pass it, drop it, send it twice, hold it
// back, let the next one overtake it, cut it short, flip one of its bits, or add a frame of
// its own (a frame it recorded earlier in the session, or a plain "bye" or
// "peer-disconnected"). Plain hellos are never bit-flipped: a hello naming another identity
// or lacking its post-quantum key ends the client by design, so a relay that forges one is
// not a fault the clients can survive.

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "DuoquillCLI/ChatTasks.h"
#include "DuoquillCLI/ChatTransport.h"
#include "DuoquillRelay/RoomRegistry.h"

namespace duoquill::test {

class HostileRelay {
public:
    enum class Action { pass, drop, duplicate, delay, reorder, truncate, flipBit, inject };
    static constexpr int actionCount = 8;

    HostileRelay(cli::ManualTimeline& timeline, std::uint64_t seed);
    ~HostileRelay();
    HostileRelay(const HostileRelay&) = delete;
    HostileRelay& operator=(const HostileRelay&) = delete;

    std::shared_ptr<cli::ChatTransport> makeTransport();

    // Hostile: about one frame in six meets one of the actions other than pass, each as likely
    // as the others. Otherwise every frame passes, in order, after an ordinary latency.
    void setHostile(bool hostile) { hostile_ = hostile; }

    // Delivers a frame of the relay's own to every open connection, after the usual latency.
    void injectToAll(const std::string& frame);

    // Every frame the clients sent, in order, as the relay saw it.
    const std::vector<std::string>& recorded() const { return recorded_; }

    // How often each action was taken.
    std::map<Action, std::size_t> actions;
    std::size_t connections = 0;

    struct Link;

private:
    friend struct Link;
    friend class ProxyTransport;
    double latency();
    Action draw(const std::string& frame);
    void upstream(const std::shared_ptr<Link>& link, std::string frame);
    void downstream(const std::shared_ptr<Link>& link, std::string frame);
    // Meets the frame with an action and sends it on its way.
    void handle(const std::shared_ptr<Link>& link, bool up, std::string frame);
    // Schedules `frame` through one direction of the link: after the ordinary latency, in
    // order, unless `reordered` lets it be overtaken.
    void schedule(const std::shared_ptr<Link>& link, bool up, std::string frame, double extraDelay, bool reordered);
    void arrive(const std::shared_ptr<Link>& link, bool up, const std::string& frame);
    void join(const std::shared_ptr<Link>& link, const std::string& token);
    void leave(const std::shared_ptr<Link>& link);
    std::string injected();

    cli::ManualTimeline& timeline_;
    std::mt19937_64 random_;
    relay::RoomRegistry registry_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::vector<std::string> recorded_;
    std::vector<std::shared_ptr<Link>> links_;
    bool hostile_ = false;
};

}  // namespace duoquill::test
