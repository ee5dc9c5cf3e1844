#pragma once
// Chat clients as bare ChatMachines on the simulated timeline, with no io_context: the kit
// carries out each machine's actions itself. A connection is one to the SimulatedRelay, a
// text sent comes back as SendDone (SendFailed once the connection is gone), received texts
// and the connection's end come in as events, timers are timeline events and every line
// shown goes to a RecordingDisplay as the driver would show it. Each process has its own
// deterministic world with fast keys; killing it drops everything it had.
//
// ChatProcess (InProcessChat.h) runs the real driver instead, for what only the driver does.

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Duoquill/Crypto/SessionEpochStore.h"
#include "DuoquillCLI/ChatMachine.h"
#include "Kit/ManualTimeline.h"
#include "Kit/RecordingDisplay.h"
#include "Kit/SimulatedRelay.h"
#include "Kit/World.h"

namespace duoquill::test {

// The machine of identity `owner` (World::identityKey) talking to the other identity: sessions
// made in `world`, cover and jitter drawn from its stream, a line stream starting at random.
cli::ChatMachineConfig machineConfig(int owner, World& world, std::string relayURL = "wss://relay.test");

// The machine of identity `owner` (World::identityKey) talking to the other identity.
// `baseProtocolOnly`: a client of the base protocol (ChatMachineConfig).
class MachineProcess {
public:
    MachineProcess(int owner, ManualTimeline& timeline, SimulatedRelay& relay, std::uint64_t seed,
                   bool baseProtocolOnly = false);
    ~MachineProcess();
    MachineProcess(const MachineProcess&) = delete;
    MachineProcess& operator=(const MachineProcess&) = delete;

    void type(std::string_view line) { feed(cli::chat::LineTyped{SecureText(line)}); }
    void quit() { feed(cli::chat::QuitRequested{}); }
    cli::chat::Phase state() const { return machine->phase(); }
    bool isActive() const { return state() == cli::chat::Phase::active; }

    const int owner;
    ManualTimeline& timeline;
    SimulatedRelay& relay;
    World world;
    RecordingDisplay display{timeline};
    std::optional<int> exitStatus;
    std::unique_ptr<cli::ChatMachine> machine;
    // The room's epoch file, in the world's own directory.
    std::string roomCode;
    SessionEpochStore epochs{world.epochs.path()};

private:
    void feed(cli::chat::Event event);
    void perform(cli::chat::Action& action);
    void post(cli::chat::Event event);
    void receiveNext();
    void cancelTimers();
    std::size_t poll();

    SimulatedRelay::ConnectionPtr connection_;  // the newest, where texts go
    bool receiving_ = false;
    std::array<std::optional<ManualTimeline::EventId>, cli::chat::timerCount> timers_;
    // Events waiting for the machine, fed before the timeline moves, as a driver's executor runs
    // ready work; each with the connection it came from, if any (one let go drops them).
    std::deque<std::pair<cli::chat::Event, SimulatedRelay::ConnectionPtr>> ready_;
    bool ended_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::size_t pollerKey_ = 0;
};

// Two machines of the pair of identities (so that runs repeat) and the relay between them, on
// one timeline.
class MachinePair {
public:
    explicit MachinePair(std::uint64_t seed = 1) : relay(timeline, seed), seed_(seed) {}

    // Starts (or, after kill(), starts anew) the process of identity `which` (0 or 1).
    MachineProcess& launch(int which);
    void kill(int which) { processes_[which].reset(); }
    MachineProcess& process(int which) { return *processes_[which]; }
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

private:
    std::uint64_t seed_;
    std::uint64_t launches_ = 0;
    std::unique_ptr<MachineProcess> processes_[2];
};

}  // namespace duoquill::test
