#pragma once
// Chat clients in one test process: each "process" has its own io_context, timers on the
// shared simulated timeline, a display that records every line, an identity held in memory and
// a transport to the simulated relay. Killing a process drops everything it had, as the end of
// a real process would.

#include <boost/asio/io_context.hpp>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Duoquill/Crypto/SessionEnvironment.h"
#include "Duoquill/Platform/KeyStore.h"
#include "Duoquill/Platform/P256.h"
#include "DuoquillCLI/CLIChatClient.h"
#include "SimulatedRelay.h"
#include "Support/Paths.h"

namespace duoquill::test {

// Every line the client shows, as "kind:text" ("status:connecting...", "connected", "prompt",
// "received:hi", ...).
class RecordingDisplay final : public cli::ChatDisplay {
public:
    std::vector<std::string> lines;
    std::vector<double> times;  // simulated time of each line, when a timeline is set
    const cli::ManualTimeline* timeline = nullptr;

    void banner(std::string_view, std::string_view, std::string_view) override { push("banner"); }
    void startupError(std::string_view m) override { add("startup", m); }
    void status(std::string_view t) override { add("status", t); }
    void peerEvent(std::string_view t) override { add("peer", t); }
    void error(std::string_view t) override { add("error", t); }
    void connected() override { push("connected"); }
    void sent(std::string_view t) override { add("sent", t); }
    void received(std::string_view t) override { add("received", t); }
    void prompt() override { push("prompt"); }

    bool contains(std::string_view line) const;
    // Time of the n-th (0-based) occurrence of the line, or a negative value.
    double timeOf(std::string_view line, std::size_t occurrence = 0) const;
    std::vector<double> timesOf(std::string_view line) const;
    std::size_t count(std::string_view line) const;
    // Lines from index `from` on.
    std::vector<std::string> since(std::size_t from) const { return {lines.begin() + from, lines.end()}; }

private:
    void add(std::string_view kind, std::string_view text) { push(std::string(kind) + ":" + std::string(text)); }
    void push(std::string line) {
        lines.push_back(std::move(line));
        times.push_back(timeline ? timeline->now() : 0.0);
    }
};

// An identity held in memory.
class MemoryIdentity final : public cli::ChatIdentitySource {
public:
    explicit MemoryIdentity(p256::PrivateKey key) : key_(std::move(key)) {}
    std::optional<std::string> existingKeyIdentifier() override { return "00000000-0000-0000-0000-000000000001"; }
    p256::PublicKey retrievePublicKey(const std::string&) override { return key_.publicKey(); }
    std::unique_ptr<P256KeyAgreementKey> retrievePrivateKey(const std::string&) override {
        return SoftwareKeyStore::wrap(key_);
    }
    std::string publicKeyText() const;

private:
    p256::PrivateKey key_;
};

// Fast, reproducible keys for sessions in simulations: P-256 keys from a seeded generator,
// ML-KEM keys drawn from a small pool made once, and a stand-in ML-DSA key (no operation
// ever signs with it).
class SimulationKeyStore final : public KeyStore {
public:
    explicit SimulationKeyStore(std::uint64_t seed) : random_(seed) {}
    std::unique_ptr<P256KeyAgreementKey> generateP256() override;
    std::unique_ptr<P256KeyAgreementKey> restoreP256(BytesView) override;
    std::unique_ptr<MLKEM1024Key> generateMLKEM1024() override;
    std::unique_ptr<MLDSA87Key> generateMLDSA87() override;

private:
    std::mt19937_64 random_;
};

struct ChatProcess {
    ChatProcess(int owner, cli::ManualTimeline& timeline, SimulatedRelay& relay, const p256::PrivateKey& identity,
                std::string peerKey, std::uint64_t seed, bool fastKeys);
    ~ChatProcess();
    ChatProcess(const ChatProcess&) = delete;
    ChatProcess& operator=(const ChatProcess&) = delete;

    // Starts run(); the client then connects.
    void start();
    // Hands a typed line to the client, as the standard-input reader does.
    void type(std::string line);
    void quit();

    cli::CLIChatClient::State::Kind state() const { return client ? client->state().kind() : cli::CLIChatClient::State::Kind::idle; }
    bool isActive() const { return state() == cli::CLIChatClient::State::Kind::active; }

    int owner;
    cli::ManualTimeline& timeline;
    SimulatedRelay& relay;
    std::unique_ptr<boost::asio::io_context> io;
    std::unique_ptr<cli::ManualChatTimers> timers;
    RecordingDisplay display;
    MemoryIdentity identity;
    TempDir epochDirectory;
    std::unique_ptr<SimulationKeyStore> keyStore;
    std::unique_ptr<SessionEnvironment> sessionEnvironment;
    ManualClock wallClock;
    std::mt19937_64 random;
    std::optional<int> exitStatus;
    std::shared_ptr<cli::CLIChatClient> client;
    std::size_t pollerKey = 0;
    bool killed = false;
};

}  // namespace duoquill::test

namespace duoquill::test {

// Two chat processes of a pair of identities and the relay between them, on one timeline.
class ChatPair {
public:
    explicit ChatPair(std::uint64_t seed = 1, bool fastKeys = true);
    ~ChatPair();

    // Identity `which` (0 or 1): a fixed key, so that runs repeat.
    static p256::PrivateKey identityKey(int which);
    static std::string publicKeyText(int which);

    // Starts (or, after kill(), starts anew) the process of identity `which`.
    ChatProcess& launch(int which);
    void kill(int which);
    ChatProcess& process(int which) { return *processes_[which]; }
    bool isRunning(int which) const { return processes_[which] != nullptr; }

    // Runs simulated time until the condition holds or the time has passed; true if it held.
    bool runUntil(const std::function<bool()>& condition, double seconds);
    void runFor(double seconds) { timeline.runFor(seconds); }
    bool bothActive() const;

    cli::ManualTimeline timeline;
    SimulatedRelay relay;

private:
    std::uint64_t seed_;
    bool fastKeys_;
    std::uint64_t launches_ = 0;
    std::unique_ptr<ChatProcess> processes_[2];
};

}  // namespace duoquill::test
