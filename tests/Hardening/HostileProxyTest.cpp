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
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr int scale = 3;
#else
constexpr int scale = 1;
#endif
#else
constexpr int scale = 1;
#endif

constexpr int hostileLines = 240 / scale;
constexpr int calmLines = 60 / scale;
constexpr auto typingPause = 80ms;

// One line of a client's display, as plain text.
struct Shown {
    enum class Kind { sent, received, restart, other } kind;
    std::string text;
};

// Lines that show the session being given up and made again.
bool isRestart(std::string_view line) {
    for (std::string_view marker : {"waiting for peer", "reconnecting", "restarting", "decrypt failed", "handshaking"}) {
        if (line.find(marker) != std::string_view::npos) return true;
    }
    return false;
}

std::vector<Shown> displayOf(const ChatCliProcess& process) {
    std::vector<Shown> out;
    std::istringstream lines(plainText(process.standardError()));
    for (std::string line; std::getline(lines, line);) {
        // The prompt ("> ") may precede a line: the display writes over it.
        if (const auto at = line.find(" peer > "); at != std::string::npos) {
            out.push_back({Shown::Kind::received, line.substr(at + 8)});
        } else if (const auto at = line.find(" you > "); at != std::string::npos) {
            out.push_back({Shown::Kind::sent, line.substr(at + 7)});
        } else {
            out.push_back({isRestart(line) ? Shown::Kind::restart : Shown::Kind::other, line});
        }
    }
    return out;
}

// The end of a client's display, for failure messages.
std::string lastOf(const ChatCliProcess& process) {
    const std::string text = plainText(process.standardError());
    return text.substr(text.size() > 3000 ? text.size() - 3000 : 0);
}

struct Figures {
    std::size_t typed = 0, sent = 0, shown = 0, lost = 0, restarts = 0;
};

// Checks the lines `sender` typed (in order) against what both displays show; adds to the figures.
void checkDirection(const std::vector<std::string>& typed, const std::vector<Shown>& senderDisplay,
                    const std::vector<Shown>& receiverDisplay, const std::set<std::string>& calm, Figures& figures) {
    std::map<std::string, std::size_t> typedIndex;
    for (std::size_t i = 0; i < typed.size(); ++i) typedIndex[typed[i]] = i;
    std::map<std::string, std::size_t> sentAt;  // position in the sender's display
    for (std::size_t i = 0; i < senderDisplay.size(); ++i) {
        if (senderDisplay[i].kind == Shown::Kind::sent) sentAt.emplace(senderDisplay[i].text, i);
    }
    std::map<std::string, std::size_t> shownAt;  // position in the receiver's display
    for (std::size_t i = 0; i < receiverDisplay.size(); ++i) {
        const Shown& line = receiverDisplay[i];
        if (line.kind != Shown::Kind::received) continue;
        EXPECT_TRUE(typedIndex.contains(line.text)) << "shown but never typed by the peer: " << line.text;
        EXPECT_TRUE(sentAt.contains(line.text)) << "shown but never sent: " << line.text;
        EXPECT_TRUE(shownAt.emplace(line.text, i).second) << "shown twice: " << line.text;
    }

    auto restartBetween = [](const std::vector<Shown>& display, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to && i < display.size(); ++i) {
            if (display[i].kind == Shown::Kind::restart) return true;
        }
        return false;
    };
    figures.typed += typed.size();
    for (std::size_t i = 0; i < typed.size(); ++i) {
        const auto sent = sentAt.find(typed[i]);
        if (sent == sentAt.end()) continue;  // typed while no session was active: never sent
        ++figures.sent;
        if (shownAt.contains(typed[i])) {
            ++figures.shown;
            continue;
        }
        ++figures.lost;
        EXPECT_FALSE(calm.contains(typed[i])) << "lost while the relay behaved: " << typed[i];
        // The receiver's display between the neighbouring lines that did arrive, or the
        // sender's after the line until the next one that arrived, shows a restart.
        std::size_t before = 0, after = receiverDisplay.size(), senderNext = senderDisplay.size();
        for (std::size_t k = i; k-- > 0;) {
            if (const auto it = shownAt.find(typed[k]); it != shownAt.end()) {
                before = it->second;
                break;
            }
        }
        for (std::size_t k = i + 1; k < typed.size(); ++k) {
            if (const auto it = shownAt.find(typed[k]); it != shownAt.end()) {
                after = it->second;
                if (const auto s = sentAt.find(typed[k]); s != sentAt.end()) senderNext = s->second;
                break;
            }
        }
        EXPECT_TRUE(restartBetween(receiverDisplay, before, after) ||
                    restartBetween(senderDisplay, sent->second, senderNext))
            << "lost without a visible restart: " << typed[i];
    }
    for (const Shown& line : receiverDisplay) figures.restarts += line.kind == Shown::Kind::restart;
}

TEST(HostileProxy, RealClientsShowOnlyWhatTheirPeerTypedAndRecoverOnceTheRelayBehaves) {
    RelayProcess::Options plain;
    plain.plain = true;
    RelayProcess relay(plain);
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
    ASSERT_TRUE(recovered) << "the clients did not recover once the relay behaved\nclient 0 ends with:\n"
                           << lastOf(clients[0]) << "\nclient 1 ends with:\n" << lastOf(clients[1]);

    for (int i = 0; i < calmLines; ++i) {
        type(i % 2, "calm " + std::to_string(i), true);
        std::this_thread::sleep_for(typingPause);
    }
    ASSERT_TRUE(clients[1].waitFor("peer > calm " + std::to_string(calmLines - 2) + "\n", 10s));
    ASSERT_TRUE(clients[0].waitFor("peer > calm " + std::to_string(calmLines - 1) + "\n", 10s));

    for (auto& client : clients) {
        client.type("/quit");
        EXPECT_EQ(client.waitForExit(10s), std::optional<int>(0)) << "a client crashed, hung or failed";
    }

    Figures figures;
    const std::vector<Shown> displays[2] = {displayOf(clients[0]), displayOf(clients[1])};
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
