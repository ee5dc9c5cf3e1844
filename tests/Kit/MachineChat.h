#pragma once
// Two chat clients of the identity pair and the simulated relay between them, on one timeline:
// each process is the program's own client and driver (ChatProcess, InProcessChat.h), so what
// the recovery tests see is what the program does. Each process has its own deterministic world
// with fast keys; killing it drops everything it had.

#include <functional>
#include <memory>
#include <string>

#include "Duoquill/Session/SessionEpochStore.h"
#include "DuoquillCLI/Chat/ChatMachine.h"
#include "Kit/InProcessChat.h"
#include "Kit/ManualTimeline.h"
#include "Kit/SimulatedRelay.h"
#include "Kit/World.h"

namespace duoquill::test {

// The machine of identity `owner` (World::identityKey) talking to the other identity: sessions
// made in `world`, cover and jitter drawn from its stream, a line stream starting at random.
cli::ChatMachineConfig machineConfig(int owner, World& world, std::string relayURL = "wss://relay.test");

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
