// Secret hygiene of the chat as a whole: the terminal output of a chat (through the real
// display, errors and restarts included) carries no key in any encoding, and both ways the
// client ends the process (quitting, and a fatal check) wipe the session before the end.

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/channel.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/serialize.hpp>
#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <set>

#include "Duoquill/Crypto/CryptoCore.h"
#include "DuoquillCLI/CLIChatClient.h"
#include "DuoquillCLI/ChatDisplay.h"
#include "DuoquillCLI/ChatTasks.h"
#include "FreedMemoryWatch.h"
#include "SessionAccess.h"
#include "Support/ProtocolPeer.h"

namespace duoquill::test {
namespace {

namespace asio = boost::asio;
using Access = PFSChatSessionTestAccess;
using Channel = asio::experimental::channel<void(boost::system::error_code, std::string)>;

p256::PrivateKey identityKey(int which) { return p256::PrivateKey::fromScalar(Bytes(32, which == 0 ? 0x0a : 0x0b)); }

// The client's end of a connection that leads straight to the peer.
class LinkTransport final : public cli::ChatTransport {
public:
    explicit LinkTransport(std::shared_ptr<Channel> in, std::deque<std::string>& out) : in_(std::move(in)), out_(out) {}
    void connect(const std::string&) override {}
    asio::awaitable<void> send(std::string text) override {
        if (!in_->is_open()) throw std::runtime_error("closed");
        out_.push_back(std::move(text));
        co_return;
    }
    asio::awaitable<std::string> receive() override { co_return co_await in_->async_receive(asio::use_awaitable); }
    asio::awaitable<void> disconnect() override {
        in_->close();
        co_return;
    }

private:
    std::shared_ptr<Channel> in_;
    std::deque<std::string>& out_;
};

// The real CLIChatClient of identity 0 on simulated time, its relay connection leading straight
// to a ProtocolPeer of identity 1 that the test drives.
class LinkedChat final : public ProtocolPeer, cli::ChatIdentitySource {
public:
    explicit LinkedChat(cli::ChatDisplay& display) : ProtocolPeer(identityKey(1), identityKey(0).publicKey(), Clock::system()) {
        timeline.attach([this] {
            const std::size_t n = io.poll();
            if (io.stopped()) io.restart();
            return n;
        });
        cli::ChatEnvironment environment{
            .executor = io.get_executor(),
            .timers = *timers,
            .display = display,
            .identity = *this,
            .makeTransport =
                [this] {
                    toClient = std::make_shared<Channel>(io.get_executor(), 4096);
                    return std::make_shared<LinkTransport>(toClient, fromClient);
                },
            .makeSession = [this](std::shared_ptr<const P256KeyAgreementKey> local, const p256::PublicKey& peer,
                                  const std::string& roomCode) {
                return std::make_unique<PFSChatSession>(sessions, std::move(local), peer, roomCode);
            },
            .clock = wallClock,
            .coverDelay = [] { return 3.0; },
            .exitProcess = [this](int status) {
                exitStatus = status;
                if (onExit) onExit(status);
            },
            .startInputReader = {},
        };
        client = cli::CLIChatClient::create(std::move(environment), publicKeyText(), "wss://relay.test");
        asio::co_spawn(io, client->run(), asio::detached);
    }
    ~LinkedChat() override {
        client.reset();
        timers.reset();
    }

    void send(std::string text) override {
        if (toClient) toClient->try_send(boost::system::error_code{}, std::move(text));
        timeline.runFor(0.01);
    }
    std::optional<std::string> next(double seconds) override {
        timeline.runFor(seconds, [this] { return !fromClient.empty(); });
        if (fromClient.empty()) return std::nullopt;
        std::string text = std::move(fromClient.front());
        fromClient.pop_front();
        return text;
    }

    void type(std::string line) {
        asio::co_spawn(io, client->sendMessage(std::move(line)), asio::detached);
        timeline.runFor(0.5);
    }
    // Answers the client's latest hello with a fresh session of our own, up to active.
    void handshakeAgain() {
        auto clientHello = nextPlain("hello", 60);
        ASSERT_TRUE(clientHello);
        while (auto later = nextPlain("hello", 0.2)) clientHello = std::move(later);
        renewSession();
        send(boost::json::serialize(hello()));
        ASSERT_TRUE(handshake(*clientHello));
        timeline.runFor(5, [this] { return active(); });
        ASSERT_TRUE(active());
    }
    bool active() const { return client->state().kind() == cli::CLIChatClient::State::Kind::active; }

    std::optional<std::string> existingKeyIdentifier() override { return "identity"; }
    p256::PublicKey retrievePublicKey(const std::string&) override { return identityKey(0).publicKey(); }
    std::unique_ptr<P256KeyAgreementKey> retrievePrivateKey(const std::string&) override {
        return SoftwareKeyStore::wrap(identityKey(0));
    }

    ManualClock wallClock;
    cli::ManualTimeline timeline;
    asio::io_context io;
    std::unique_ptr<cli::ManualChatTimers> timers = std::make_unique<cli::ManualChatTimers>(timeline, io.get_executor());
    TempDir epochs;
    SessionEnvironment sessions{.epochDirectory = epochs.path()};
    std::deque<std::string> fromClient;
    std::shared_ptr<Channel> toClient;
    std::optional<int> exitStatus;
    std::function<void(int)> onExit;  // when the client ends the process, before it returns
    std::shared_ptr<cli::CLIChatClient> client;

protected:
    double now() const override { return timeline.now(); }
};

// Sends standard error to a file while it lives.
class StandardErrorToFile {
public:
    explicit StandardErrorToFile(const std::filesystem::path& path)
        : saved_(dup(2)), file_(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)) {
        dup2(file_, 2);
    }
    ~StandardErrorToFile() {
        dup2(saved_, 2);
        close(saved_);
        close(file_);
    }

private:
    int saved_, file_;
};

// Every textual form a secret could take on a terminal.
std::vector<std::string> encodings(BytesView secret) {
    std::string upper = hexString(secret);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string base64 = base64String(secret);
    base64.erase(base64.find_last_not_of('=') + 1);
    return {std::string(secret.begin(), secret.end()), hexString(secret), upper, base64, base64URLString(secret)};
}

class ChatHygiene : public ::testing::Test {
protected:
    std::string shown() const { return readFile(dir.path() / "stderr"); }

    // Watches every secret of the client's session and, when the client ends the process,
    // records what is left of the session at that moment.
    void watchTheEnd(std::size_t fewestSecrets) {
        const PFSChatSession* session = chat.client->currentSession();
        ASSERT_NE(session, nullptr);
        for (const auto& [name, bytes] : Access::secrets(*session)) watch.watch(name, bytes);
        ASSERT_GE(watch.watchedCount(), fewestSecrets);
        chat.onExit = [this](int) {
            ended = true;
            if (const PFSChatSession* left = chat.client->currentSession()) {
                for (BytesView region : Access::storage(*left)) {
                    for (auto& name : watch.occurrencesIn(region)) leftAtExit.push_back(name);
                }
                leftAtExit.emplace_back("the session was still held");
            }
            freedUnwiped = watch.findings();
        };
    }

    TempDir dir;
    StandardErrorToFile redirect{dir.path() / "stderr"};
    cli::TerminalChatDisplay terminal;
    FreedMemoryWatch watch;
    LinkedChat chat{terminal};
    bool ended = false;
    std::vector<std::string> leftAtExit, freedUnwiped;
};

TEST_F(ChatHygiene, NothingSecretReachesStandardError) {
    std::set<Bytes> secrets{toBytes(identityKey(0).scalar()), toBytes(identityKey(1).scalar())};
    auto collect = [&] {
        for (const PFSChatSession* session : {chat.client->currentSession(), &chat.session()}) {
            if (session == nullptr) continue;
            for (const auto& [name, bytes] : Access::secrets(*session)) secrets.insert(toBytes(bytes));
        }
    };
    chat.handshakeAgain();
    for (int round = 0; round < 40; ++round) {
        chat.type("terminal line " + std::to_string(round));
        chat.send(chat.msgFrame("peer line " + std::to_string(round)));
        chat.timeline.runFor(2);
        collect();
        // Errors and restarts on the terminal too: a record that does not open, a skipped counter.
        if (round == 10) {
            auto record = chat.session().seal(asBytes("tampered"));
            record.data[record.data.size() / 2] ^= 1;
            chat.sendTunneled({{"t", "msg"}, {"n", record.counter}, {"d", base64String(record.data)}});
        } else if (round == 25) {
            (void)chat.msgFrame("never sent");
            chat.send(chat.msgFrame("after a gap"));
        }
        if (round == 10 || round == 25) {
            collect();
            ASSERT_NO_FATAL_FAILURE(chat.handshakeAgain());
        }
    }
    collect();
    const std::string text = shown();
    ASSERT_NE(text.find("terminal line 39"), std::string::npos) << "the capture must hold the chat";
    ASSERT_NE(text.find("peer line 39"), std::string::npos) << "the capture must hold the chat";
    ASSERT_NE(text.find("restarting"), std::string::npos) << "the capture must hold a restart";
    std::erase_if(secrets, [](const Bytes& s) { return s.size() < 12; });
    EXPECT_GT(secrets.size(), 40u);
    for (const Bytes& secret : secrets) {
        for (const std::string& form : encodings(secret)) {
            EXPECT_EQ(text.find(form), std::string::npos) << "a secret reached standard error as " << form;
        }
    }
}

TEST_F(ChatHygiene, QuitWipesTheSessionBeforeTheProcessEnds) {
    chat.handshakeAgain();
    chat.type("something to move the chains");
    chat.send(chat.msgFrame("and back"));
    chat.timeline.runFor(3);
    watchTheEnd(8);
    asio::co_spawn(chat.io, chat.client->quit(), asio::detached);
    chat.timeline.runFor(5, [&] { return ended; });
    EXPECT_EQ(chat.exitStatus, 0);
    EXPECT_EQ(freedUnwiped, std::vector<std::string>{});
    // quit() destroys the session in place and keeps the object: nothing secret may be left.
    std::erase(leftAtExit, "the session was still held");
    EXPECT_EQ(leftAtExit, std::vector<std::string>{});
}

TEST_F(ChatHygiene, AFatalCheckWipesTheSessionBeforeTheProcessEnds) {
    ASSERT_TRUE(chat.nextPlain("hello", 10));
    watchTheEnd(1);  // a waiting session holds its pre-shared key
    auto stranger = chat.hello();
    stranger["pkid"] = base64URLString(Bytes(64, 1));
    chat.send(boost::json::serialize(stranger));
    chat.timeline.runFor(5, [&] { return ended; });
    EXPECT_EQ(chat.exitStatus, 1);
    EXPECT_NE(shown().find("Peer identity mismatch"), std::string::npos);
    EXPECT_EQ(leftAtExit, std::vector<std::string>{});
    EXPECT_EQ(freedUnwiped, std::vector<std::string>{});
}

}  // namespace
}  // namespace duoquill::test
