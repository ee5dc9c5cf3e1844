#pragma once
// Chat clients for the end-to-end hardening tests: the real CLIChatClient on simulated time,
// with fast reproducible keys, an identity held in memory, and the HostileRelay between them.

#include <boost/asio/io_context.hpp>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Duoquill/Crypto/SessionEnvironment.h"
#include "Duoquill/Platform/KeyStore.h"
#include "DuoquillCLI/CLIChatClient.h"
#include "HostileRelay.h"
#include "Support/Paths.h"

namespace duoquill::test {

// Every line shown, as "kind:text", with the simulated time it was shown at.
class TimedDisplay final : public cli::ChatDisplay {
public:
    explicit TimedDisplay(const cli::ManualTimeline& timeline) : timeline_(timeline) {}
    void banner(std::string_view, std::string_view, std::string_view) override {}
    void startupError(std::string_view m) override { add("startup:", m); }
    void status(std::string_view t) override { add("status:", t); }
    void peerEvent(std::string_view t) override { add("peer:", t); }
    void error(std::string_view t) override { add("error:", t); }
    void connected() override { add("connected", ""); }
    void sent(std::string_view t) override { add("sent:", t); }
    void received(std::string_view t) override { add("received:", t); }
    void prompt() override {}

    std::vector<std::pair<double, std::string>> lines;

private:
    void add(std::string_view kind, std::string_view text) {
        lines.emplace_back(timeline_.now(), std::string(kind) + std::string(text));
    }
    const cli::ManualTimeline& timeline_;
};

class MemoryIdentity final : public cli::ChatIdentitySource {
public:
    explicit MemoryIdentity(p256::PrivateKey key) : key_(std::move(key)) {}
    std::optional<std::string> existingKeyIdentifier() override { return "identity"; }
    p256::PublicKey retrievePublicKey(const std::string&) override { return key_.publicKey(); }
    std::unique_ptr<P256KeyAgreementKey> retrievePrivateKey(const std::string&) override {
        return SoftwareKeyStore::wrap(key_);
    }

private:
    p256::PrivateKey key_;
};

// Keys fast enough for hundreds of sessions: seeded P-256 scalars, ML-KEM keys drawn from a
// small pool made once, and a stand-in for the ML-DSA key nobody signs with.
class FastKeyStore final : public KeyStore {
public:
    explicit FastKeyStore(std::uint64_t seed) : random_(seed) {}
    std::unique_ptr<P256KeyAgreementKey> generateP256() override;
    std::unique_ptr<P256KeyAgreementKey> restoreP256(BytesView blob) override { return software_.restoreP256(blob); }
    std::unique_ptr<MLKEM1024Key> generateMLKEM1024() override;
    std::unique_ptr<MLDSA87Key> generateMLDSA87() override;

private:
    std::mt19937_64 random_;
    SoftwareKeyStore software_;
};

// Identity 0 or 1 of the pair, fixed.
p256::PrivateKey chatIdentityKey(int which);

// One chat "process": the client of identity `which`, talking to the other identity through
// the relay. `display` replaces the recording display (e.g. with the terminal).
struct ProxiedClient {
    ProxiedClient(int which, cli::ManualTimeline& timeline, HostileRelay& relay, std::uint64_t seed,
                  cli::ChatDisplay* display = nullptr);
    ~ProxiedClient();
    ProxiedClient(const ProxiedClient&) = delete;
    ProxiedClient& operator=(const ProxiedClient&) = delete;

    void start();
    void type(std::string line);
    void quit();
    bool active() const;
    // How often the display showed exactly this line.
    std::size_t count(std::string_view line) const;

    boost::asio::io_context io;
    std::unique_ptr<cli::ManualChatTimers> timers;
    TimedDisplay display;
    MemoryIdentity identity;
    FastKeyStore keys;
    TempDir epochDirectory;
    std::unique_ptr<SessionEnvironment> sessionEnvironment;
    ManualClock wallClock;
    std::mt19937_64 random;
    std::optional<int> exitStatus;
    // Called when the client ends the process, before it returns to the client.
    std::function<void(int)> onExit;
    std::shared_ptr<cli::CLIChatClient> client;
};

// Runs simulated time until the condition holds or `seconds` have passed; whether it held.
bool runUntil(cli::ManualTimeline& timeline, const std::function<bool()>& condition, double seconds);

}  // namespace duoquill::test
