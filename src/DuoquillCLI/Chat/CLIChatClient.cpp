// The chat of one identity with one peer: its set-up, and the operations its readers call.

#include "DuoquillCLI/Chat/CLIChatClient.h"

#include <algorithm>

#include "Duoquill/Base/BigEndian.h"
#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Identity/KeyHelpers.h"
#include "Duoquill/Primitives/Random.h"
#include "Duoquill/Session/PFSChatSession.h"

namespace asio = boost::asio;

namespace duoquill::cli {

using namespace chat;

double secureUnitDraw() {
    // 53 random bits, uniform over the closed interval [0, 2^53].
    constexpr std::uint64_t top = std::uint64_t{1} << 53;
    std::uint64_t draw = 0;
    do {
        std::uint8_t bytes[8];
        random::fill(bytes);
        draw = bigendian::read(bytes) & ((top << 1) - 1);
    } while (draw > top);
    return static_cast<double>(draw) / static_cast<double>(top);
}

CLIChatClient::CLIChatClient(Private, ChatEnvironment environment) : env_(std::move(environment)) {}

std::shared_ptr<CLIChatClient> CLIChatClient::create(ChatEnvironment environment, std::string peerPubKeyBase64URL,
                                                     std::string relayBaseURL) {
    auto client = std::make_shared<CLIChatClient>(Private{}, std::move(environment));
    if (!client->setUp(std::move(peerPubKeyBase64URL), std::move(relayBaseURL))) return nullptr;
    return client;
}

void CLIChatClient::fatal(std::string_view message) {
    env_.display.startupError(message);
    env_.exitProcess(1);
}

bool CLIChatClient::setUp(std::string peerPubKeyBase64URL, std::string relayBaseURL) {
    // Each step's failure is shown as the one line the user acts on; the reason of a hardware
    // store (a token not plugged in, a wrong PIN) is part of it.
    std::optional<std::string> identifier;
    try {
        identifier = env_.identity.existingKeyIdentifier();
    } catch (const std::exception&) {
    }
    if (!identifier) {
        fatal("No local key. Run 'keygen' first.");
        return false;
    }
    Bytes localCompressed;
    try {
        localCompressed = env_.identity.retrievePublicKey(*identifier).compressed();
    } catch (const std::exception&) {
        fatal("Cannot retrieve local public key");
        return false;
    }
    std::optional<p256::PublicKey> peerKey;
    try {
        peerKey = KeyHelpers::p256PublicKey(peerPubKeyBase64URL);
    } catch (const std::exception&) {
        fatal("Invalid peer public key");
        return false;
    }
    std::unique_ptr<P256KeyAgreementKey> privateKey;
    try {
        privateKey = env_.identity.retrievePrivateKey(*identifier);
    } catch (const std::exception& error) {
        fatal(std::string("Cannot retrieve local private key: ") + error.what());
        return false;
    }
    SecureBytes roomKeyData;
    try {
        roomKeyData = privateKey->sharedSecret(*peerKey);
    } catch (const std::exception&) {
        fatal("ECDH failed");
        return false;
    }
    roomCode_ = KeyHelpers::deriveRoomCode(roomKeyData);
    // Kept for the sessions: a token asks its PIN once per process.
    localKey_ = std::move(privateKey);

    const Bytes peerCompressed = peerKey->compressed();
    const std::string localText = base64URLString(localCompressed);
    env_.display.banner(localText, peerPubKeyBase64URL, relayBaseURL);

    auto makeSession = [this, peerKey = *peerKey](std::optional<double> roomEpoch) -> std::unique_ptr<PFSChatSession> {
        if (env_.makeSession) return env_.makeSession(localKey_, peerKey, roomCode_, roomEpoch);
        return std::make_unique<PFSChatSession>(localKey_, peerKey, roomCode_, roomEpoch);
    };
    epochs_ = SessionEpochStore(env_.epochDirectory);
    auto coverDraw = env_.coverDelay ? std::function<double()>([delay = env_.coverDelay] {
        return (delay() - ChatMachine::minCoverDelaySeconds) /
               (ChatMachine::maxCoverDelaySeconds - ChatMachine::minCoverDelaySeconds);
    })
                                     : std::function<double()>(secureUnitDraw);
    auto jitterDraw = env_.backoffJitter ? env_.backoffJitter : std::function<double()>([] {
        return static_cast<double>(random::uniform(1u << 30)) / static_cast<double>(1u << 30);
    });
    auto machine = std::make_unique<ChatMachine>(ChatMachineConfig{
        .relayBaseURL = std::move(relayBaseURL),
        .roomKeyData = std::move(roomKeyData),
        .localPubKeyCompressed = localText,
        .peerPubKeyBase64URL = std::move(peerPubKeyBase64URL),
        .leads = std::lexicographical_compare(localCompressed.begin(), localCompressed.end(), peerCompressed.begin(),
                                              peerCompressed.end()),
        .makeSession = std::move(makeSession),
        .roomEpoch = epochs_.read(roomCode_),
        .coverDraw = std::move(coverDraw),
        .jitterDraw = std::move(jitterDraw),
        .baseProtocolOnly = env_.baseProtocolOnly,
        .lineStreamStart = env_.lineStreamStart.value_or(Outbox::randomStreamStart()),
        .steady = env_.steady,
    });
    driver_ = ChatDriver::create(
        {
            .executor = env_.executor,
            .timers = env_.timers,
            .display = env_.display,
            .makeTransport = env_.makeTransport,
            .clock = env_.clock,
            .exitProcess = env_.exitProcess,
            .startInput =
                [weak = weak_from_this(), start = env_.startInputReader](std::shared_ptr<TaskHandle> task) {
                    if (start) start(weak, std::move(task));
                },
            .observer = env_.observer,
            .storeSessionEpoch =
                [this](std::optional<double> wallSeconds) {
                    if (wallSeconds) {
                        epochs_.write(roomCode_, *wallSeconds);
                    } else {
                        epochs_.remove(roomCode_);
                    }
                },
        },
        std::move(machine));
    return true;
}

asio::awaitable<void> CLIChatClient::run() {
    auto driver = driver_;
    driver->feed(Started{});
    co_return;
}

asio::awaitable<void> CLIChatClient::sendMessage(SecureText line) {
    auto driver = driver_;
    driver->feed(LineTyped{std::move(line)});
    co_await driver->writesHandedOn();
}

asio::awaitable<void> CLIChatClient::quit() {
    auto driver = driver_;
    driver->feed(QuitRequested{});
    co_return;
}


}  // namespace duoquill::cli
