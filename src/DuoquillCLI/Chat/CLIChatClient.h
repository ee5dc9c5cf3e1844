#pragma once
// CLIChatClient: the chat of one identity with one peer. It reads the local identity, derives
// the room, shows the banner and makes the ChatMachine, which its ChatDriver then runs; the
// readers of the user's lines reach it as their ChatInput.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Duoquill/Base/SecureBytes.h"
#include "Duoquill/Keys/KeyStore.h"
#include "Duoquill/Primitives/P256.h"
#include "Duoquill/Session/SessionEpochStore.h"
#include "Duoquill/System/Clock.h"
#include "DuoquillCLI/Chat/ChatDisplay.h"
#include "DuoquillCLI/Chat/ChatDriver.h"
#include "DuoquillCLI/Chat/ChatIdentitySource.h"
#include "DuoquillCLI/Chat/ChatInput.h"
#include "DuoquillCLI/Chat/ChatMachine.h"
#include "DuoquillCLI/Chat/ChatObserver.h"
#include "DuoquillCLI/Chat/ChatTasks.h"
#include "DuoquillCLI/Chat/ChatTransport.h"

namespace duoquill {
class PFSChatSession;
}

namespace duoquill::cli {

// Makes the secure session for a connection attempt. The program uses the session's
// system defaults; tests substitute key stores and entropy.
using ChatSessionFactory = std::function<std::unique_ptr<PFSChatSession>(
    std::shared_ptr<const P256KeyAgreementKey> localStaticKey, const p256::PublicKey& peerStaticKey,
    const std::string& roomCode, std::optional<double> roomEpoch)>;

// Starts the reader of the user's lines; it hands each line to the chat and waits.
using ChatInputStarter = std::function<void(std::weak_ptr<ChatInput>, std::shared_ptr<TaskHandle>)>;

// Everything the client reaches outside itself. All references must outlive the client.
struct ChatEnvironment {
    boost::asio::any_io_executor executor;
    ChatTimers& timers;
    ChatDisplay& display;
    ChatIdentitySource& identity;
    ChatTransportFactory makeTransport;
    // Empty: PFSChatSession with the system defaults.
    ChatSessionFactory makeSession;
    // The time of every event: the UTC day of the room token, the sessions' age.
    const Clock& clock = Clock::system();
    // Seconds before the next cover record; empty: uniform in [2, 5] from the secure source.
    std::function<double()> coverDelay;
    // A draw in [0, 1) that spreads the wait after a failed handshake; empty: the secure source.
    std::function<double()> backoffJitter;
    // Ends the process with the status. The program's never returns; a test's may, and the
    // client then stops doing anything.
    std::function<void(int)> exitProcess;
    // Empty: nothing reads standard input (tests call sendMessage and quit themselves).
    ChatInputStarter startInputReader;
    // Behave as a client of the base protocol only (ChatMachineConfig::baseProtocolOnly).
    bool baseProtocolOnly = false;
    // One frame per cover tick once active (ChatMachineConfig::steady).
    bool steady = false;
    // The first number of this process's line stream; empty: drawn at random.
    std::optional<std::uint64_t> lineStreamStart;
    // Null: nobody but the display is told.
    ChatObserver* observer = nullptr;
    // Where the room's epoch file lives; empty: the per-user default.
    std::optional<std::filesystem::path> epochDirectory;
};

// A draw in [0, 1] from the secure random source, with 53 bits.
double secureUnitDraw();

class CLIChatClient final : public ChatInput, public std::enable_shared_from_this<CLIChatClient> {
    struct Private {};

public:
    // Finds the local identity, derives the room and shows the banner. On failure shows
    // "[error] ..." and ends the process with status 1 (returning nothing if that returns).
    static std::shared_ptr<CLIChatClient> create(ChatEnvironment environment, std::string peerPubKeyBase64URL,
                                                 std::string relayBaseURL);
    CLIChatClient(Private, ChatEnvironment environment);

    CLIChatClient(const CLIChatClient&) = delete;
    CLIChatClient& operator=(const CLIChatClient&) = delete;

    // Connects; the reader of the user's lines starts once the machine says so.
    boost::asio::awaitable<void> run();

    // ---- ChatInput ----
    boost::asio::awaitable<void> sendMessage(SecureText line) override;
    boost::asio::awaitable<void> quit() override;

    // ---- observation, for tests ----
    const ChatMachine& machine() const noexcept { return driver_->machine(); }
    const std::string& roomCode() const noexcept { return roomCode_; }

private:
    bool setUp(std::string peerPubKeyBase64URL, std::string relayBaseURL);
    void fatal(std::string_view message);

    ChatEnvironment env_;
    std::string roomCode_;
    SessionEpochStore epochs_;
    std::shared_ptr<const P256KeyAgreementKey> localKey_;
    std::shared_ptr<ChatDriver> driver_;
};

}  // namespace duoquill::cli
