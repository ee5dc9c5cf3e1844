// `chat --json` against a person's chat, real processes: the relay over TLS on loopback, a
// person's `chat` and a program's `chat --json`, each with its own HOME. What a script relies
// on: the answers and notifications on standard output (and nothing else there), the text
// passed on byte for byte, a malformed request that changes nothing, a restarted peer.

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "Kit/ChatCliProcess.h"
#include "Kit/RelayProcess.h"

namespace duoquill::test {
namespace {

namespace json = boost::json;
namespace fs = std::filesystem;

bool isCall(const json::object& o, const char* method) { return o.contains("method") && o.at("method") == method; }

// Whether `done` comes true within `timeout`.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
    return done();
}

class JsonChat : public RunningProcess {
public:
    JsonChat(const ChatUser& user, const std::string& peerKey, const std::string& relayURL)
        : RunningProcess(cliPath().string(), {"chat", "--json", peerKey, relayURL}, user.processOptions()) {}

    void request(std::string_view line) { write(std::string(line) + "\n"); }

    // Standard output's complete lines, each parsed; a line that is not a JSON-RPC 2.0 object
    // fails the test.
    std::vector<json::object> objects() const {
        std::vector<json::object> parsed;
        std::istringstream lines(standardOutput());
        for (std::string line; std::getline(lines, line) && !lines.eof();) {
            const json::value value = json::parse(line);  // anything but JSON throws
            const json::object* object = value.if_object();
            const bool rpc = object && object->contains("jsonrpc") && object->at("jsonrpc") == "2.0";
            EXPECT_TRUE(rpc) << "not a JSON-RPC object on standard output: " << line;
            if (object) parsed.push_back(*object);
        }
        return parsed;
    }

    // The `count`-th object that `match` accepts, once it has come.
    std::optional<json::object> waitFor(const std::function<bool(const json::object&)>& match,
                                        std::chrono::milliseconds timeout = 20s, std::size_t count = 1) const {
        std::vector<json::object> matching;
        eventually([&] {
            matching.clear();
            std::ranges::copy_if(objects(), std::back_inserter(matching), match);
            return matching.size() >= count;
        }, timeout);
        return matching.size() >= count ? std::optional(matching[count - 1]) : std::nullopt;
    }
    std::optional<json::object> answer(const json::value& id) const {
        return waitFor([&](const json::object& o) { return o.contains("id") && o.at("id") == id; });
    }
    std::optional<json::object> state(std::string_view name, std::size_t count = 1) const {
        return waitFor([&](const json::object& o) { return isCall(o, "state") && o.at("params").at("state") == json::value(name); },
                       30s, count);
    }
    std::optional<json::object> confirmed(std::int64_t number) const {
        return waitFor([&](const json::object& o) {
            return isCall(o, "confirmed") && std::ranges::count(o.at("params").at("numbers").as_array(), json::value(number)) > 0;
        });
    }
};

// A number in an answer (its result's "number", its error's "code"), or -1 when there is none.
std::int64_t numberIn(const std::optional<json::object>& answer, std::string_view part, std::string_view name) {
    const auto* found = answer ? answer->if_contains(part) : nullptr;
    return found ? found->at(name).to_number<std::int64_t>() : -1;
}

// First the README's notifier script, as printed there, as Bob: each line from the peer reaches
// notify-send once, its markup shown rather than obeyed; without notify-send it is printed with
// its controls made visible. Then Bob's own script takes his place.
TEST(JsonChat, NotifierThenScriptAndPersonSendReceiveConfirmReconnectAndQuit) {
    const std::string readme = readFile(sourceDir() / "README.md");
    const auto start = readme.find("```bash\n#!/bin/bash\n# duoquill-notify");
    ASSERT_NE(start, std::string::npos) << "the notifier script is gone from the README";
    const auto body = start + std::string_view("```bash\n").size();
    TempDir bin;
    const auto script = bin.path() / "duoquill-notify";
    std::ofstream(script) << readme.substr(body, readme.find("```\n", body) - body);
    // A stand-in notify-send prints its arguments on the script's standard output.
    std::ofstream(bin.path() / "notify-send") << "#!/bin/sh\nprintf '%s|' \"$@\"; echo\n";
    for (const auto& file : {script, bin.path() / "notify-send"}) fs::permissions(file, fs::perms::owner_all);

    const ChatUser alice("alice"), bob("bob");
    RelayProcess relay;
    const auto startAlice = [&] { return std::make_unique<ChatCliProcess>(alice, bob.publicKey(), relay.url()); };
    auto a = startAlice();
    const auto runNotifier = [&](const std::string& path) {
        auto options = bob.processOptions();
        options.environment["PATH"] = path;
        return std::make_unique<RunningProcess>(script.string(), std::vector<std::string>{alice.publicKey(), relay.url()}, options);
    };
    const std::string systemPath = cliPath().parent_path().string() + ":" + std::getenv("PATH");
    const std::string line = "-n <b>bold</b> & \x1b[31mred";

    auto notifier = runNotifier(bin.str() + ":" + systemPath);
    ASSERT_TRUE(a->waitFor(kConnectedLine)) << a->standardError() << notifier->standardError();
    a->type(line);
    a->type("second");
    eventually([&] { return notifier->standardOutput().ends_with("second|\n"); });
    EXPECT_EQ(notifier->standardOutput(), "-a|duoquill|--|duoquill|-n &lt;b&gt;bold&lt;/b&gt; &amp; \x1b[31mred|\n"
                                          "-a|duoquill|--|duoquill|second|\n");
    notifier.reset();
    if (runProcess("/bin/sh", {"-c", "command -v notify-send"}).exitStatus != 0) {
        notifier = runNotifier(systemPath);
        ASSERT_TRUE(a->waitFor(kConnectedLine, 30s, 2)) << a->standardError();
        a->type(line);
        const std::string printed = "duoquill: -n <b>bold</b> & ^[[31mred\n";
        EXPECT_TRUE(eventually([&] { return notifier->standardOutput().find(printed) != std::string::npos; }))
            << notifier->standardOutput();
        notifier.reset();
    }

    const auto connected = a->timesShown(kConnectedLine);
    JsonChat b(bob, alice.publicKey(), relay.url());
    ASSERT_TRUE(b.state("connected")) << b.standardOutput() << b.standardError();
    ASSERT_TRUE(a->waitFor(kConnectedLine, 20s, connected + 1)) << a->standardError();
    std::vector<std::string> states;
    for (const auto& o : b.objects())
        if (isCall(o, "state")) states.emplace_back(o.at("params").at("state").as_string());
    EXPECT_EQ(states, (std::vector<std::string>{"connecting", "waiting", "handshaking", "connected"}));

    // Sent: the number answers, the person sees the text, the peer's next record confirms it.
    b.request(R"({"jsonrpc":"2.0","id":1,"method":"send","params":{"text":"hi \"alice\" \\ \u2713"}})");
    const std::int64_t first = numberIn(b.answer(1), "result", "number");
    ASSERT_TRUE(a->waitFor("peer > hi \"alice\" \\ \xE2\x9C\x93\n")) << a->standardError();
    EXPECT_TRUE(b.confirmed(first)) << b.standardOutput();

    // Received: byte for byte, controls included (the script decides how to show them), and
    // never on standard error.
    const std::string typed = "red \x1b[31mtext\x1b[0m, tab\there";
    a->type(typed);
    // (A line the killed notifier showed but had not confirmed may come before it.)
    ASSERT_TRUE(b.waitFor([&](const json::object& o) {
        return isCall(o, "message") && o.at("params").at("text") == typed.c_str();
    })) << b.standardOutput();
    // (", tab": a key in the banner may hold "tab", never a comma or a space.)
    EXPECT_EQ(b.standardError().find(", tab"), std::string::npos) << b.standardError();
    EXPECT_EQ(b.standardError().find("alice\""), std::string::npos) << b.standardError();

    // Malformed requests, and a line too long to send, are answered with their error and take
    // nothing: the next line gets the next number.
    b.request("{not json");
    b.request(R"([{"jsonrpc":"2.0","id":9,"method":"send","params":{"text":"batched"}}])");
    b.request(R"({"jsonrpc":"2.0","id":"x","method":"shout"})");
    b.request(R"({"jsonrpc":"2.0","id":3,"method":"send","params":{"text":5}})");
    b.request(R"({"jsonrpc":"1.0","id":4,"method":"send","params":{"text":"old"}})");
    b.request(R"({"jsonrpc":"2.0","id":"long","method":"send","params":{"text":")" + std::string(50000, 'L') + "\"}}");
    b.request(R"({"jsonrpc":"2.0","id":5,"method":"send","params":{"text":"after the errors"}})");
    const std::pair<json::value, std::int64_t> refused[] = {
        {nullptr, -32700}, {"x", -32601}, {3, -32602}, {4, -32600}, {"long", -32000}};
    for (const auto& [id, code] : refused) EXPECT_EQ(numberIn(b.answer(id), "error", "code"), code) << id;
    EXPECT_EQ(numberIn(b.answer(5), "result", "number"), first + 1);
    ASSERT_TRUE(a->waitFor("peer > after the errors\n")) << a->standardError();
    EXPECT_EQ(a->timesShown("peer > batched") + a->timesShown("peer > old"), 0u);

    // Alice's process is killed and started again; a line sent in the gap reaches the new one
    // once and is confirmed.
    a.reset();
    ASSERT_TRUE(b.state("waiting", 2)) << b.standardOutput();
    b.request(R"({"jsonrpc":"2.0","id":6,"method":"send","params":{"text":"in the gap"}})");
    EXPECT_EQ(numberIn(b.answer(6), "result", "number"), first + 2);
    a = startAlice();
    ASSERT_TRUE(b.state("connected", 2)) << b.standardOutput();
    ASSERT_TRUE(a->waitFor("peer > in the gap\n")) << a->standardError();
    EXPECT_TRUE(b.confirmed(first + 2)) << b.standardOutput();
    EXPECT_EQ(a->timesShown("peer > in the gap\n"), 1u);

    // quit answers with what the peer has not confirmed, says goodbye and ends with status 0.
    const auto waiting = a->timesShown("waiting for peer...");
    b.request(R"({"jsonrpc":"2.0","id":7,"method":"quit"})");
    const auto quit = b.answer(7);
    ASSERT_TRUE(quit && quit->contains("result")) << b.standardOutput();
    EXPECT_EQ(quit->at("result").at("unconfirmed"), json::array());
    EXPECT_EQ(b.waitForExit(), std::optional<int>(0));
    EXPECT_TRUE(a->waitFor("waiting for peer...", 10s, waiting + 1)) << a->standardError();
    b.waitForEndOfOutput();
    b.objects();  // every line of standard output was one JSON-RPC object
}

}  // namespace
}  // namespace duoquill::test
