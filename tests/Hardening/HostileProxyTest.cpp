// Two real chat processes and the real relay with a hostile proxy between them (HostileProxy.h),
// over a few hundred typed lines. Neither client may crash, hang or show text its peer did not
// type; a line the peer typed is shown once and intact, or its loss shows as a session restart;
// once the proxy behaves, both clients are active again and every line gets through.

#include <gtest/gtest.h>

#include <iostream>
#include <set>
#include <sstream>

#include "HostileProxy.h"
#include "Support/ChatCliProcess.h"
#include "Support/RelayProcess.h"

namespace duoquill::test {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int scale = 3;  // sanitised builds are slower: fewer lines, same pattern
#else
constexpr int scale = 1;
#endif

constexpr int hostileLines = 240 / scale;
constexpr int calmLines = 60 / scale;
constexpr auto typingPause = 80ms;

// A client's display as plain lines: what it sent (" you > "), what it received (" peer > ")
// and whether a line shows the session being given up and made again.
struct Display {
    explicit Display(const ChatCliProcess& process) {
        std::istringstream lines(plainText(process.standardError()));
        for (std::string line; std::getline(lines, line); ++count) {
            // The prompt ("> ") may precede a line: the display writes over it.
            if (const auto at = line.find(" peer > "); at != std::string::npos) {
                received.emplace(line.substr(at + 8), count);
                EXPECT_EQ(received.count(line.substr(at + 8)), 1u) << "shown twice: " << line;
            } else if (const auto at = line.find(" you > "); at != std::string::npos) {
                sent.emplace(line.substr(at + 7), count);
            }
            for (std::string_view marker : {"waiting for peer", "reconnecting", "restarting", "decrypt failed", "handshaking"}) {
                if (line.find(marker) != std::string::npos) restarts.insert(count);
            }
        }
    }
    bool restartBetween(std::size_t from, std::size_t to) const {
        const auto it = restarts.lower_bound(from);
        return it != restarts.end() && *it < to;
    }
    std::multimap<std::string, std::size_t> received;  // text -> line number
    std::map<std::string, std::size_t> sent;
    std::set<std::size_t> restarts;
    std::size_t count = 0;
};

struct Figures {
    std::size_t typed = 0, sent = 0, shown = 0, lost = 0, restarts = 0;
};

// Checks the lines `typed` (in order) by the sender against both displays.
void checkDirection(const std::vector<std::string>& typed, const Display& sender, const Display& receiver,
                    const std::set<std::string>& calm, Figures& figures) {
    const std::set<std::string> typedSet(typed.begin(), typed.end());
    for (const auto& [text, at] : receiver.received) {
        EXPECT_TRUE(typedSet.contains(text)) << "shown but never typed by the peer: " << text;
        EXPECT_TRUE(sender.sent.contains(text)) << "shown but never sent: " << text;
    }
    figures.typed += typed.size();
    figures.restarts += receiver.restarts.size();
    for (std::size_t i = 0; i < typed.size(); ++i) {
        const auto sent = sender.sent.find(typed[i]);
        if (sent == sender.sent.end()) continue;  // typed while no session was active: never sent
        ++figures.sent;
        if (receiver.received.contains(typed[i])) {
            ++figures.shown;
            continue;
        }
        ++figures.lost;
        EXPECT_FALSE(calm.contains(typed[i])) << "lost while the relay behaved: " << typed[i];
        // The receiver's display between the neighbouring lines that did arrive, or the
        // sender's after the line until the next one that arrived, shows a restart.
        std::size_t before = 0, after = receiver.count, senderNext = sender.count;
        for (std::size_t k = i; k-- > 0;) {
            if (const auto it = receiver.received.find(typed[k]); it != receiver.received.end()) {
                before = it->second;
                break;
            }
        }
        for (std::size_t k = i + 1; k < typed.size(); ++k) {
            if (const auto it = receiver.received.find(typed[k]); it != receiver.received.end()) {
                after = it->second;
                if (const auto s = sender.sent.find(typed[k]); s != sender.sent.end()) senderNext = s->second;
                break;
            }
        }
        EXPECT_TRUE(receiver.restartBetween(before, after) || sender.restartBetween(sent->second, senderNext))
            << "lost without a visible restart: " << typed[i];
    }
}

TEST(HostileProxy, RealClientsShowOnlyWhatTheirPeerTypedAndRecoverOnceTheRelayBehaves) {
    RelayProcess relay(RelayProcess::Options{.plain = true, .arguments = {}});
    HostileProxy proxy(relay.port(), 0x686f7374696c65, 6);
    const ChatUser alice("alice"), bob("bob");
    ChatCliProcess clients[2] = {{alice, bob.publicKey(), proxy.url()}, {bob, alice.publicKey(), proxy.url()}};
    for (auto& client : clients) ASSERT_TRUE(client.waitFor("connected", 30s)) << client.standardError();

    std::vector<std::string> typed[2];
    std::set<std::string> calm;
    auto type = [&](int from, std::string text, bool isCalm) {
        clients[from].type(text);
        if (isCalm) calm.insert(text);
        typed[from].push_back(std::move(text));
    };

    proxy.setHostile(true);
    for (int i = 0; i < hostileLines; ++i) {
        type(i % 2, "line " + std::to_string(i) + " — ✓ ünïcode", false);
        std::this_thread::sleep_for(typingPause);
    }
    proxy.setHostile(false);

    // Active again: a probe from each side gets through.
    bool recovered = false;
    for (int probe = 0; probe < 40 && !recovered; ++probe) {
        const std::string probes[2] = {"probe a" + std::to_string(probe), "probe b" + std::to_string(probe)};
        type(0, probes[0], false);
        type(1, probes[1], false);
        recovered = clients[1].waitFor("peer > " + probes[0] + "\n", 1500ms) &&
                    clients[0].waitFor("peer > " + probes[1] + "\n", 1500ms);
    }
    ASSERT_TRUE(recovered) << "the clients did not recover once the relay behaved\nclient 0:\n"
                           << plainText(clients[0].standardError()) << "\nclient 1:\n"
                           << plainText(clients[1].standardError());

    for (int i = 0; i < calmLines; ++i) {
        type(i % 2, "calm " + std::to_string(i), true);
        std::this_thread::sleep_for(typingPause);
    }
    ASSERT_TRUE(clients[1].waitFor("peer > calm " + std::to_string(calmLines - 2) + "\n", 10s));
    ASSERT_TRUE(clients[0].waitFor("peer > calm " + std::to_string(calmLines - 1) + "\n", 10s));

    for (auto& client : clients) {
        client.type("/quit");
        EXPECT_EQ(client.waitForExit(10s), std::optional<int>(0)) << "a client crashed, hung or failed";
        client.waitForEndOfOutput(5s);
    }

    Figures figures;
    const Display displays[2] = {Display(clients[0]), Display(clients[1])};
    checkDirection(typed[0], displays[0], displays[1], calm, figures);
    checkDirection(typed[1], displays[1], displays[0], calm, figures);
    EXPECT_GE(figures.shown, calm.size());

    std::ostringstream actions;
    const char* names[] = {"pass", "drop", "duplicate", "delay", "reorder", "truncate", "flip", "inject"};
    for (const auto& [action, count] : proxy.actions()) actions << " " << names[static_cast<int>(action)] << " " << count;
    std::cout << "hostile proxy: lines typed " << figures.typed << ", sent " << figures.sent << ", shown "
              << figures.shown << ", lost " << figures.lost << ", restart lines " << figures.restarts
              << ", relay connections " << proxy.connections() << "; frames:" << actions.str() << std::endl;
}

}  // namespace
}  // namespace duoquill::test
