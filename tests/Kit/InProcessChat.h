#pragma once
// Chat clients in one test process, each the program's own driver and machine with only its
// transport, timers and clock replaced.
//
// ChatProcess is the real CLIChatClient with its own io_context, timers on a shared simulated
// timeline, a deterministic world of its own, an identity held in memory, a display that
// records every line (RecordingDisplay, which the machine's tables draw with too) and a
// transport to the simulated relay. Killing a process drops everything it had, as the end of a
// real process would. MachinePair: two of them on one relay.
//
// For tables that step one event at a time, a driver's transport and timers as a test holds
// them (HeldTransport, HeldTimers): a send completes at once or waits until the test ends it, a
// receive waits for the text the test hands it, and each timer sleeps until the test fires it,
// in any order.

#include <algorithm>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "DuoquillCLI/Chat/CLIChatClient.h"
#include "DuoquillCLI/Chat/ChatDisplay.h"
#include "DuoquillCLI/Chat/ChatObserver.h"
#include "Kit/SimulatedRelay.h"
#include "Kit/World.h"

namespace duoquill::test {

// An identity held in memory.
class MemoryIdentity final : public cli::ChatIdentitySource {
public:
    explicit MemoryIdentity(p256::PrivateKey key) : key_(std::move(key)) {}
    std::optional<std::string> existingKeyIdentifier() override { return "00000000-0000-0000-0000-000000000001"; }
    p256::PublicKey retrievePublicKey(const std::string&) override { return key_.publicKey(); }
    std::unique_ptr<P256KeyAgreementKey> retrievePrivateKey(const std::string&) override {
        return SoftwareKeyStore::wrap(key_);
    }

private:
    p256::PrivateKey key_;
};

// The driver's timers, for one executor. A sleep ends when the test fires its timer or, on a
// timeline, when the timeline reaches its end; a cancelled task's at once. Destroying them drops
// the sleeps still running (and the coroutines waiting in them), as the end of a process would.
class HeldTimers final : public cli::ChatTimers {
public:
    explicit HeldTimers(boost::asio::any_io_executor executor, ManualTimeline* timeline = nullptr)
        : executor_(std::move(executor)), timeline_(timeline) {}
    HeldTimers(const HeldTimers&) = delete;
    HeldTimers& operator=(const HeldTimers&) = delete;
    ~HeldTimers() override;

    // The driver arms this timer (as its observer is told): the next sleep to begin is its.
    void arming(cli::chat::Timer timer) { arming_.push_back(timer); }
    // Wakes the sleep of the timer that began first; false when none sleeps.
    bool fire(cli::chat::Timer timer);
    // Drops every sleep (and the coroutine waiting in it).
    void clear();
    boost::asio::awaitable<void> sleep(double seconds, cli::TaskHandle& task) override;

private:
    struct Sleep {
        std::optional<cli::chat::Timer> timer;
        std::function<void()> wake;
        ManualTimeline::EventId event = 0;
    };
    // Ends the sleep; false when it has ended already.
    bool end(std::uint64_t id);

    boost::asio::any_io_executor executor_;
    ManualTimeline* timeline_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::deque<cli::chat::Timer> arming_;
    std::map<std::uint64_t, Sleep> sleeping_;  // by the order they began
    std::uint64_t sleeps_ = 0;
};

// The sends of one client's connections that wait for the test, oldest first.
struct HeldSends {
    bool hold = false;  // whether the next send waits
    std::deque<std::pair<std::string, std::function<void(std::exception_ptr failure)>>> waiting;
    // Given, a send that does not wait is handed to it, and fails with what it returns.
    std::function<std::exception_ptr(std::string text)> endAtOnce = {};
};

class HeldTransport final : public cli::ChatTransport {
public:
    HeldTransport(HeldSends& sends, boost::asio::any_io_executor executor)
        : sends_(sends), executor_(std::move(executor)) {}
    void connect(const std::string&) override {}
    boost::asio::awaitable<void> send(std::string text) override;
    boost::asio::awaitable<std::string> receive() override;
    boost::asio::awaitable<void> disconnect() override { co_return; }

    // Completes the waiting receive with the text, or with the connection's end; false when
    // nothing is reading.
    bool hand(std::optional<std::string> text);
    bool receiving() const { return waiter_ != nullptr; }
    // The waiting receive holds this transport: letting it go breaks the circle.
    void forget() { waiter_ = nullptr; }

private:
    HeldSends& sends_;
    boost::asio::any_io_executor executor_;
    std::function<void(std::optional<std::string>)> waiter_;
};

// Every line the client shows, as "kind:text" ("status:connecting...", "connected", "prompt",
// "received:hi", ...), with the simulated time it was shown at.
class RecordingDisplay final : public cli::ChatDisplay {
public:
    explicit RecordingDisplay(const ManualTimeline& timeline) : timeline_(timeline) {}
    std::vector<std::string> lines;
    std::vector<double> times;

    void banner(const cli::ChatBanner&) override { push("banner"); }
    void startupError(std::string_view m) override { push("startup:", m); }
    void status(std::string_view t) override { push("status:", t); }
    void peerEvent(std::string_view t) override { push("peer:", t); }
    void error(std::string_view t) override { push("error:", t); }
    void connected() override { push("connected"); }
    void sent(std::string_view t) override { push("sent:", t); }
    void sentLater(std::string_view t) override { push("sent later:", t); }
    void queued(std::string_view t) override { push("queued:", t); }
    void received(std::string_view t) override { push("received:", t); }
    void prompt() override { push("prompt"); }

    std::size_t count(std::string_view line) const { return std::count(lines.begin(), lines.end(), line); }
    bool contains(std::string_view line) const { return count(line) > 0; }
    std::vector<double> timesOf(std::string_view line) const {
        std::vector<double> out;
        for (std::size_t i = 0; i < lines.size(); ++i) if (lines[i] == line) out.push_back(times[i]);
        return out;
    }

private:
    void push(std::string_view kind, std::string_view text = {}) {
        lines.push_back(std::string(kind) + std::string(text));
        times.push_back(timeline_.now());
    }
    const ManualTimeline& timeline_;
};

// The lines a client took and its peer has not confirmed yet, as its machine said.
struct LineLedger final : cli::ChatObserver {
    void observe(const cli::chat::Action& action, cli::chat::Phase) override {
        if (const auto* taken = std::get_if<cli::chat::LineTaken>(&action); taken && taken->number) {
            ++numbered;
            unconfirmed.insert(*taken->number);
        } else if (const auto* confirmed = std::get_if<cli::chat::Confirmed>(&action)) {
            for (auto number : confirmed->numbers) unconfirmed.erase(number);
        }
    }
    std::size_t numbered = 0;  // lines taken with a number, ever
    std::set<std::uint64_t> unconfirmed;
};

// The machine of identity `owner` (World::identityKey) talking to the other identity: sessions
// made in `world`, cover and jitter drawn from its stream, a line stream starting at random.
cli::ChatMachineConfig machineConfig(int owner, World& world, std::string relayURL = "wss://relay.test");

// The client of identity `owner` talking to the other identity. Its lines go to `display` when
// given, else to its own RecordingDisplay. `baseProtocolOnly`: a client of the base protocol
// (ChatMachineConfig); `steady`: one frame per cover tick.
struct ChatProcess {
    ChatProcess(int owner, ManualTimeline& timeline, SimulatedRelay& relay, std::uint64_t seed,
                cli::ChatDisplay* display = nullptr, bool baseProtocolOnly = false, bool steady = false);
    ~ChatProcess();

    // Hands a typed line to the client, as the standard-input reader does.
    void type(std::string_view line);
    void quit();
    const cli::ChatMachine& machine() const { return client->machine(); }
    cli::chat::Phase state() const { return machine().phase(); }
    bool isActive() const { return state() == cli::chat::Phase::active; }

    int owner;
    ManualTimeline& timeline;
    SimulatedRelay& relay;
    RecordingDisplay display{timeline};
    LineLedger lines;
    MemoryIdentity identity{World::identityKey(owner)};
    World world;
    // The cover delays' own draws: what the process types does not move its cover schedule.
    DeterministicStream coverStream;
    std::optional<int> exitStatus;
    std::function<void(int)> onExit;  // runs when the client ends the process, before it returns
    // Gone first, before all the above: the client, then the timers (and the sleeps waiting in
    // them), then what is still queued.
    boost::asio::io_context io;
    HeldTimers timers{io.get_executor(), &timeline};
    std::shared_ptr<cli::CLIChatClient> client;
    std::size_t pollerKey = 0;
};

// Two chat processes of the identity pair and the simulated relay between them, on one
// timeline; each process has its own deterministic world with fast keys.
class MachinePair {
public:
    explicit MachinePair(std::uint64_t seed = 1) : relay(timeline, seed), seed_(seed) {}

    // Starts (or, after kill(), starts anew) the process of identity `which` (0 or 1).
    ChatProcess& launch(int which);
    void kill(int which) { processes_[which].reset(); }
    ChatProcess& process(int which) { return *processes_[which]; }
    bool isRunning(int which) const { return processes_[which] != nullptr; }

    // Runs simulated time until the condition holds or the time has passed; true if it held.
    bool runUntil(const std::function<bool()>& condition, double seconds) {
        timeline.runFor(seconds, condition);
        return condition();
    }
    void runFor(double seconds) { timeline.runFor(seconds); }
    bool bothActive() const {
        return processes_[0] && processes_[1] && processes_[0]->isActive() && processes_[1]->isActive();
    }

    ManualTimeline timeline;
    SimulatedRelay relay;
    bool baseProtocolOnly[2] = {false, false};  // for the next launch of each side
    bool steady[2] = {false, false};

private:
    std::uint64_t seed_;
    std::uint64_t launches_ = 0;
    std::unique_ptr<ChatProcess> processes_[2];
};

}  // namespace duoquill::test
