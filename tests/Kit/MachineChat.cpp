#include "Kit/MachineChat.h"

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Session/PFSChatSession.h"
#include "Duoquill/Identity/KeyHelpers.h"

namespace duoquill::test {

using namespace cli::chat;

cli::ChatMachineConfig machineConfig(int owner, World& world, std::string relayURL) {
    std::shared_ptr<const P256KeyAgreementKey> local = SoftwareKeyStore::wrap(World::identityKey(owner));
    const p256::PublicKey peer = World::identityKey(1 - owner).publicKey();
    SecureBytes roomKeyData = local->sharedSecret(peer);
    std::string roomCode = KeyHelpers::deriveRoomCode(roomKeyData);
    const Bytes localKey = local->publicKey().compressed(), peerKey = peer.compressed();
    return {
        .relayBaseURL = std::move(relayURL),
        .roomKeyData = std::move(roomKeyData),
        .localPubKeyCompressed = base64URLString(localKey),
        .peerPubKeyBase64URL = base64URLString(peerKey),
        .leads = localKey < peerKey,
        .makeSession =
            [&world, local, peer, roomCode = std::move(roomCode)] {
                return std::make_unique<PFSChatSession>(world.environment(), local, peer, roomCode);
            },
        .coverDraw = [&world] { return static_cast<double>(world.stream.next() % 3001) / 3000.0; },
        .jitterDraw = [&world] { return static_cast<double>(world.stream.next() % 1000) / 1000.0; },
        .lineStreamStart = (std::uint64_t{1} << 52) + world.stream.next() % (std::uint64_t{1} << 51),
    };
}

MachineProcess::MachineProcess(int owner_, ManualTimeline& timeline_, SimulatedRelay& relay_, std::uint64_t seed,
                               bool baseProtocolOnly)
    : owner(owner_), timeline(timeline_), relay(relay_), world(seed, true) {
    pollerKey_ = timeline.attach([this] { return poll(); });
    auto config = machineConfig(owner, world);
    config.baseProtocolOnly = baseProtocolOnly;
    display.banner(config.localPubKeyCompressed, config.peerPubKeyBase64URL, config.relayBaseURL);
    machine = std::make_unique<cli::ChatMachine>(std::move(config));
    feed(Started{});
}

MachineProcess::~MachineProcess() {
    *alive_ = false;
    relay.processDied(owner);
    cancelTimers();
    timeline.detach(pollerKey_);
}

void MachineProcess::feed(Event event) {
    if (ended_) return;
    Actions actions = machine->handle(std::move(event), world.clock.wallSeconds());
    for (auto& action : actions) {
        if (ended_) return;
        perform(action);
    }
}

void MachineProcess::post(Event event) { ready_.emplace_back(std::move(event), nullptr); }

std::size_t MachineProcess::poll() {
    std::size_t done = 0;
    while (!ready_.empty()) {
        auto [event, from] = std::move(ready_.front());
        ready_.pop_front();
        ++done;
        // What arrives on a connection let go (or no longer read) is not the machine's.
        if (from && (from != connection_ || !receiving_)) continue;
        const bool text = std::holds_alternative<TextReceived>(event);
        feed(std::move(event));
        if (text && from == connection_ && receiving_ && !ended_) receiveNext();
    }
    return done;
}

void MachineProcess::receiveNext() {
    relay.receive(connection_, [this, alive = alive_, from = connection_](std::optional<std::string> text) {
        if (!*alive) return;
        if (text) {
            ready_.emplace_back(TextReceived{std::move(*text)}, from);
        } else {
            ready_.emplace_back(ConnectionLost{}, from);
        }
    });
}

void MachineProcess::cancelTimers() {
    for (auto& id : timers_) {
        if (id) timeline.cancel(*id);
        id.reset();
    }
}

void MachineProcess::perform(Action& action) {
    std::visit(
        [this](auto& a) {
            using A = std::decay_t<decltype(a)>;
            if constexpr (std::is_same_v<A, OpenConnection>) {
                if (connection_) relay.drop(connection_);
                connection_ = relay.connect(owner, a.url);
                receiving_ = false;
            } else if constexpr (std::is_same_v<A, StartReceiving>) {
                if (!connection_) return;
                receiving_ = true;
                receiveNext();
            } else if constexpr (std::is_same_v<A, CloseConnection>) {
                auto connection = std::exchange(connection_, nullptr);
                receiving_ = false;
                if (!connection) return;
                if (a.disconnect) {
                    relay.disconnect(connection);
                } else {
                    relay.drop(connection);
                }
            } else if constexpr (std::is_same_v<A, SendText>) {
                // Nothing to send on counts as sent, as in the driver.
                const auto failure = connection_ ? relay.send(connection_, std::move(a.text)) : std::nullopt;
                if (failure) return post(SendFailed{std::move(a.tag), *failure});
                post(SendDone{std::move(a.tag)});
            } else if constexpr (std::is_same_v<A, ArmTimer>) {
                auto& slot = timers_[static_cast<std::size_t>(a.timer)];
                if (slot) timeline.cancel(*slot);
                slot = timeline.schedule(a.seconds, [this, timer = a.timer] {
                    timers_[static_cast<std::size_t>(timer)].reset();
                    feed(TimerFired{timer});
                });
            } else if constexpr (std::is_same_v<A, CancelTimer>) {
                auto& slot = timers_[static_cast<std::size_t>(a.timer)];
                if (slot) timeline.cancel(*slot);
                slot.reset();
            } else if constexpr (std::is_same_v<A, Show>) {
                display.show(a);
            } else if constexpr (std::is_same_v<A, StartInput>) {
                // Lines are typed by the test.
            } else if constexpr (std::is_same_v<A, Exit>) {
                ended_ = true;
                cancelTimers();
                exitStatus = a.status;
                if (auto connection = std::exchange(connection_, nullptr)) relay.disconnect(connection);
            }
        },
        action);
}

MachineProcess& MachinePair::launch(int which) {
    processes_[which].reset();
    const std::uint64_t processSeed = seed_ * 1000003 + (++launches_) * 7919 + static_cast<std::uint64_t>(which);
    processes_[which] = std::make_unique<MachineProcess>(which, timeline, relay, processSeed, baseProtocolOnly[which]);
    return *processes_[which];
}

}  // namespace duoquill::test
