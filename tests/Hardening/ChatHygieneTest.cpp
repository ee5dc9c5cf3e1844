// Secret hygiene of the chat as a whole: the terminal output of a chat (through the real
// display, errors and restarts included) carries no key in any encoding, and both ways the
// client ends the process (quitting, and a fatal check) wipe the session before the end.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <set>

#include "Duoquill/Crypto/CryptoCore.h"
#include "DuoquillCLI/ChatDisplay.h"
#include "FreedMemoryWatch.h"
#include "ProxiedChat.h"
#include "SessionAccess.h"

namespace duoquill::test {
namespace {

using Access = PFSChatSessionTestAccess;

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

TEST(ChatHygiene, NothingSecretReachesStandardError) {
    TempDir dir;
    const auto capture = dir.path() / "stderr";
    std::set<Bytes> secrets;
    for (int which : {0, 1}) secrets.insert(toBytes(chatIdentityKey(which).scalar()));
    std::size_t linesTyped = 0;
    {
        cli::ManualTimeline timeline;
        HostileRelay relay(timeline, 0x737464657272);
        cli::TerminalChatDisplay terminal;
        ProxiedClient shown(0, timeline, relay, 11, &terminal);
        ProxiedClient other(1, timeline, relay, 22);
        auto collect = [&] {
            for (const auto* client : {&shown, &other}) {
                if (const auto* session = client->client->currentSession()) {
                    for (const auto& [name, bytes] : Access::secrets(*session)) secrets.insert(toBytes(bytes));
                }
            }
        };
        StandardErrorToFile redirect(capture);
        shown.start();
        other.start();
        ASSERT_TRUE(runUntil(timeline, [&] { return shown.active() && other.active(); }, 60));
        for (int i = 0; i < 80; ++i) {
            relay.setHostile(i >= 20 && i < 50);  // errors and restarts on the terminal too
            (i % 2 ? other : shown).type("terminal line " + std::to_string(i));
            ++linesTyped;
            timeline.runFor(1.5);
            collect();
        }
        timeline.runFor(30);
        collect();
    }
    const std::string text = readFile(capture);
    ASSERT_NE(text.find("terminal line 0"), std::string::npos) << "the capture must hold the chat";
    std::erase_if(secrets, [](const Bytes& s) { return s.size() < 12; });
    EXPECT_GT(secrets.size(), 40u);
    for (const Bytes& secret : secrets) {
        for (const std::string& form : encodings(secret)) {
            EXPECT_EQ(text.find(form), std::string::npos) << "a secret reached standard error as " << form;
        }
    }
}

class ExitPaths : public ::testing::Test {
protected:
    ExitPaths() : relay(timeline, 0x65786974), clients{{0, timeline, relay, 31}, {1, timeline, relay, 32}} {}

    void becomeActive() {
        clients[0].start();
        clients[1].start();
        ASSERT_TRUE(runUntil(timeline, [&] { return clients[0].active() && clients[1].active(); }, 60));
        clients[0].type("something to move the chains");
        timeline.runFor(3);
    }

    // Watches every secret of client 0's session, and, when the client ends the process,
    // checks what is left of the session at that moment.
    void watchTheEnd(std::size_t fewestSecrets) {
        const PFSChatSession* session = clients[0].client->currentSession();
        ASSERT_NE(session, nullptr);
        for (const auto& [name, bytes] : Access::secrets(*session)) watch.watch(name, bytes);
        ASSERT_GE(watch.watchedCount(), fewestSecrets);
        clients[0].onExit = [this](int) {
            ended = true;
            if (const PFSChatSession* left = clients[0].client->currentSession()) {
                for (BytesView region : Access::storage(*left)) {
                    for (auto& name : watch.occurrencesIn(region)) leftAtExit.push_back(name);
                }
                leftAtExit.emplace_back("the session was still held");
            }
            freedUnwiped = watch.findings();
        };
    }

    cli::ManualTimeline timeline;
    HostileRelay relay;
    ProxiedClient clients[2];
    FreedMemoryWatch watch;
    bool ended = false;
    std::vector<std::string> leftAtExit, freedUnwiped;
};

TEST_F(ExitPaths, QuitWipesTheSessionBeforeTheProcessEnds) {
    becomeActive();
    watchTheEnd(8);
    clients[0].quit();
    ASSERT_TRUE(runUntil(timeline, [&] { return ended; }, 5));
    EXPECT_EQ(clients[0].exitStatus, 0);
    EXPECT_EQ(freedUnwiped, std::vector<std::string>{});
    // quit() destroys the session in place and keeps the object: nothing secret may be left.
    std::erase(leftAtExit, "the session was still held");
    EXPECT_EQ(leftAtExit, std::vector<std::string>{});
}

TEST_F(ExitPaths, AFatalCheckWipesTheSessionBeforeTheProcessEnds) {
    becomeActive();
    clients[1].quit();  // client 0 goes back to waiting, with a fresh session
    ASSERT_TRUE(runUntil(timeline, [&] {
        return clients[0].client->state().kind() == cli::CLIChatClient::State::Kind::waitingForPeer;
    }, 10));
    watchTheEnd(1);  // a waiting session holds its pre-shared key
    // A hello naming another identity ends the program.
    relay.injectToAll(R"({"t":"hello","pkid":"AAAA","ct":"AAAA","ek":"AAAA","mlk":")" +
                      base64String(Bytes(1568, 1)) + R"("})");
    ASSERT_TRUE(runUntil(timeline, [&] { return ended; }, 5));
    EXPECT_EQ(clients[0].exitStatus, 1);
    EXPECT_EQ(clients[0].display.lines.back().second, "error:Peer identity mismatch");
    EXPECT_EQ(leftAtExit, std::vector<std::string>{});
    EXPECT_EQ(freedUnwiped, std::vector<std::string>{});
}

}  // namespace
}  // namespace duoquill::test
