#pragma once
// Chat clients in one test process: each "process" is the real CLIChatClient with its own
// io_context, timers on a shared simulated timeline, a deterministic world of its own, an
// identity held in memory, a display that records every line and a transport to the simulated
// relay. Killing a process drops everything it had, as the end of a real process would. Two of
// them on one relay: MachinePair (MachineChat.h).

#include <boost/asio/io_context.hpp>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "DuoquillCLI/Chat/CLIChatClient.h"
#include "DuoquillCLI/Chat/ChatObserver.h"
#include "Kit/ManualTimeline.h"
#include "Kit/RecordingDisplay.h"
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

// The driver's timers on the timeline, for one executor. Destroying them drops their unfired
// sleeps (and with them the coroutines waiting in them), as the end of a process would.
class ManualChatTimers final : public cli::ChatTimers {
public:
    ManualChatTimers(ManualTimeline& timeline, boost::asio::any_io_executor executor)
        : timeline_(timeline), executor_(std::move(executor)) {}
    ManualChatTimers(const ManualChatTimers&) = delete;
    ManualChatTimers& operator=(const ManualChatTimers&) = delete;
    ~ManualChatTimers() override;

    boost::asio::awaitable<void> sleep(double seconds, cli::TaskHandle& task) override;

private:
    ManualTimeline& timeline_;
    boost::asio::any_io_executor executor_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::map<ManualTimeline::EventId, bool> pending_;
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

// The client of identity `owner` (World::identityKey) talking to the other identity. Its
// lines go to `display` when given, else to its own RecordingDisplay. `baseProtocolOnly`: a
// client of the base protocol (ChatMachineConfig); `steady`: one frame per cover tick.
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
    std::unique_ptr<boost::asio::io_context> io = std::make_unique<boost::asio::io_context>();
    std::unique_ptr<cli::ChatTimers> timers;  // on the timeline; their end drops the sleeps waiting in them
    RecordingDisplay display{timeline};
    LineLedger lines;
    MemoryIdentity identity{World::identityKey(owner)};
    World world;
    // The cover delays' own draws: what the process types does not move its cover schedule.
    DeterministicStream coverStream;
    std::optional<int> exitStatus;
    std::function<void(int)> onExit;  // runs when the client ends the process, before it returns
    std::shared_ptr<cli::CLIChatClient> client;
    std::size_t pollerKey = 0;
};

}  // namespace duoquill::test
