// Two real chat clients talking through the relay's room logic and a hostile proxy that drops,
// duplicates, delays, reorders, truncates, bit-flips and injects frames (HostileRelay.h), on
// simulated time, over a few hundred typed lines. Neither client may crash, hang, end or show
// text its peer did not type; a line its peer typed is shown once and intact, or its loss is
// visible as a session restart; once the proxy behaves, both clients are active again and
// every line gets through.

#include <gtest/gtest.h>

#include <iostream>
#include <set>

#include "ProxiedChat.h"

namespace duoquill::test {
namespace {

bool isRestart(const std::string& line) {
    return line == "status:waiting for peer..." || line == "status:reconnecting..." ||
           line == "error:session expired — restarting..." || line.rfind("error:decrypt failed: ", 0) == 0 ||
           line == "peer:peer reconnecting...";
}

struct TypedLine {
    int from;
    double at;
    std::string text;
    bool calm;
};

TEST(HostileRelay, ClientsNeverShowForgedTextAndRecoverOnceTheRelayBehaves) {
    constexpr int hostileLines = 240;
    constexpr int calmLines = 60;
    constexpr double secondsBetweenLines = 1.5;

    cli::ManualTimeline timeline;
    HostileRelay relay(timeline, 0x686f7374696c65);
    ProxiedClient clients[2] = {{0, timeline, relay, 101}, {1, timeline, relay, 202}};
    auto bothActive = [&] { return clients[0].active() && clients[1].active(); };

    clients[0].start();
    clients[1].start();
    ASSERT_TRUE(runUntil(timeline, bothActive, 60));

    relay.setHostile(true);
    std::vector<TypedLine> typed;
    for (int i = 0; i < hostileLines + calmLines; ++i) {
        if (i == hostileLines) {
            relay.setHostile(false);
            if (!runUntil(timeline, bothActive, 300)) {
                for (int side = 0; side < 2; ++side) {
                    std::cout << "client " << side << (clients[side].exitStatus ? " ended" : "") << ":\n";
                    const auto& lines = clients[side].display.lines;
                    for (std::size_t k = lines.size() > 40 ? lines.size() - 40 : 0; k < lines.size(); ++k) {
                        std::cout << "  " << lines[k].first << " " << lines[k].second << "\n";
                    }
                }
                FAIL() << "the clients did not recover once the relay behaved";
            }
        }
        const int from = i % 2;
        typed.push_back({from, timeline.now(), "line " + std::to_string(i) + " — ✓ ünïcode", i >= hostileLines});
        clients[from].type(typed.back().text);
        timeline.runFor(secondsBetweenLines);
    }
    timeline.runFor(20);

    std::size_t sent = 0, shown = 0, lost = 0, restarts = 0;
    for (const auto& client : clients) {
        EXPECT_FALSE(client.exitStatus.has_value()) << "a client ended";
        for (const auto& [time, line] : client.display.lines) restarts += line == "status:waiting for peer...";
    }
    std::multiset<std::string> typedTexts;
    for (const auto& line : typed) typedTexts.insert(line.text);
    for (int side = 0; side < 2; ++side) {
        for (const auto& [time, line] : clients[side].display.lines) {
            if (line.rfind("received:", 0) != 0) continue;
            EXPECT_EQ(typedTexts.count(line.substr(9)), 1u) << "shown but never typed: " << line;
        }
    }
    for (const auto& line : typed) {
        const ProxiedClient& sender = clients[line.from];
        const ProxiedClient& receiver = clients[1 - line.from];
        if (sender.count("sent:" + line.text) == 0) continue;  // typed while not active: dropped
        ++sent;
        const std::size_t times = receiver.count("received:" + line.text);
        EXPECT_LE(times, 1u) << "shown twice: " << line.text;
        if (times == 1) {
            ++shown;
            continue;
        }
        ++lost;
        EXPECT_FALSE(line.calm) << "lost while the relay behaved: " << line.text;
        bool restartSeen = false;
        for (const auto& client : clients) {
            for (const auto& [time, text] : client.display.lines) {
                restartSeen |= time >= line.at && time <= line.at + 30 && isRestart(text);
            }
        }
        EXPECT_TRUE(restartSeen) << "lost without a visible restart: " << line.text;
    }
    EXPECT_TRUE(bothActive());
    EXPECT_GT(shown, std::size_t{calmLines / 2});

    std::string actions;
    for (const auto& [action, count] : relay.actions) actions += " " + std::to_string(static_cast<int>(action)) + "=" + std::to_string(count);
    std::cout << "hostile relay: typed " << typed.size() << ", sent " << sent << ", shown " << shown << ", lost "
              << lost << ", session restarts " << restarts << ", relay connections " << relay.connections
              << ", proxy actions (pass, drop, duplicate, delay, reorder, truncate, flip, inject):" << actions << "\n";
}

TEST(HostileRelay, AClientsOwnHelloSentBackIsIgnored) {
    cli::ManualTimeline timeline;
    HostileRelay relay(timeline, 7);
    ProxiedClient clients[2] = {{0, timeline, relay, 41}, {1, timeline, relay, 42}};
    clients[0].start();
    timeline.runFor(1);
    ASSERT_FALSE(relay.recorded().empty());
    const std::string ownHello = relay.recorded().front();
    ASSERT_NE(ownHello.find(R"("t":"hello")"), std::string::npos);
    relay.injectToAll(ownHello);
    timeline.runFor(2);
    EXPECT_FALSE(clients[0].exitStatus.has_value()) << clients[0].display.lines.back().second;
    EXPECT_EQ(clients[0].client->state().kind(), cli::CLIChatClient::State::Kind::waitingForPeer);
    clients[1].start();
    EXPECT_TRUE(runUntil(timeline, [&] { return clients[0].active() && clients[1].active(); }, 30));
}

}  // namespace
}  // namespace duoquill::test
