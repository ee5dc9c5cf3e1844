// End-to-end figures with real processes over loopback TLS: one duoquill-relay and two
// `duoquill-cli chat` clients (the test kit's), driven through their standard input and
// watched through the display they write on standard error.
//
//   TimeToActive  from the second client's start until both clients show "connected"
//                 (counters maxMs, and bannerMs: from its start until its banner, the bare
//                 process start)
//   LineLatency   one-way time from a line written to one client's input until it shows on
//                 the peer's display, 1,000 lines; counters p50Us, p99Us, maxUs, and the peak
//                 resident memory (VmHWM) of both clients and of the relay afterwards
//   IdleCpu       CPU time (utime + stime) of an active client doing nothing but cover
//                 traffic for a minute, as a percentage of one core
//
// Environment: DUOQUILL_BENCH_LINES (default 1000), DUOQUILL_BENCH_IDLE_SECONDS (default 60).

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Kit/ChatCliProcess.h"
#include "Kit/RelayProcess.h"

namespace {

using namespace duoquill::test;
using Clock = std::chrono::steady_clock;

// What the display writes for the events measured: plain lines, standard error being a pipe
// (the note included, so that "disconnected" never passes for "connected").
constexpr std::string_view connectedMarker = " connected \u2014 PQ handshake complete\n";
constexpr std::string_view waitingMarker = "waiting for peer...";
constexpr std::string_view bannerMarker = "Duoquill";
constexpr std::string_view receivedPrefix = " peer > ";

long environmentNumber(const char* name, long fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::stol(value) : fallback;
}

std::string procFile(pid_t pid, const char* name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A field of /proc/<pid>/status in kB ("VmHWM").
double statusKiB(pid_t pid, const std::string& field) {
    const std::string status = procFile(pid, "status");
    const auto at = status.find(field + ":");
    return at == std::string::npos ? -1 : std::stod(status.substr(at + field.size() + 1));
}

// utime + stime of /proc/<pid>/stat, in clock ticks. The command name (field 2) may hold
// spaces, so counting starts after its closing parenthesis.
long cpuTicks(pid_t pid) {
    const std::string stat = procFile(pid, "stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> values{std::istream_iterator<std::string>(fields), {}};
    return std::stol(values.at(11)) + std::stol(values.at(12));  // fields 14 and 15
}

// A client whose display is read from where the last wait stopped.
struct Client {
    std::unique_ptr<ChatCliProcess> process;
    std::size_t consumed = 0;

    // Waits for `text` past what earlier waits consumed, and moves past it.
    void waitFor(std::string_view text) {
        const bool found = process->waitForStandardError(
            [&](const std::string& shown) {
                const auto at = shown.find(text, consumed);
                if (at != std::string::npos) consumed = at + text.size();
                return at != std::string::npos;
            },
            std::chrono::seconds(20));
        if (!found) throw std::runtime_error("timed out waiting for a display line:\n" + process->standardError());
    }
};

// The relay, and the two users alice and bob with a HOME each.
struct Stage {
    static Stage& get() {
        static Stage stage;
        return stage;
    }
    Client chat(const ChatUser& user, const ChatUser& peer) const {
        return {std::make_unique<ChatCliProcess>(user, peer.publicKey(), relay.url())};
    }
    RelayProcess relay{RelayProcess::Options{.plain = false, .arguments = {"--quiet"}}};
    ChatUser alice{"alice"}, bob{"bob"};
};

// Two clients in the room, both active.
struct Pair {
    Pair() {
        Stage& stage = Stage::get();
        alice = stage.chat(stage.alice, stage.bob);
        alice.waitFor(waitingMarker);
        started = Clock::now();
        bob = stage.chat(stage.bob, stage.alice);
        bob.waitFor(bannerMarker);
        bobBanner = Clock::now();
        alice.waitFor(connectedMarker);
        bob.waitFor(connectedMarker);
        active = Clock::now();
    }
    ~Pair() {
        alice.process->closeInput();
        bob.process->closeInput();
    }
    double secondsToActive() const { return std::chrono::duration<double>(active - started).count(); }

    Client alice, bob;
    Clock::time_point started, bobBanner, active;
};

void TimeToActive(benchmark::State& state) {
    double bannerSeconds = 0;
    double slowest = 0;
    for (auto _ : state) {
        Pair pair;
        state.SetIterationTime(pair.secondsToActive());
        slowest = std::max(slowest, pair.secondsToActive());
        bannerSeconds += std::chrono::duration<double>(pair.bobBanner - pair.started).count();
    }
    state.counters["bannerMs"] = bannerSeconds * 1000 / static_cast<double>(state.iterations());
    state.counters["maxMs"] = slowest * 1000;
}
BENCHMARK(TimeToActive)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

// Arg 0: alice sends every line; 1: the speaker alternates, so every line brings a ratchet step.
void LineLatency(benchmark::State& state) {
    const long lines = environmentNumber("DUOQUILL_BENCH_LINES", 1000);
    for (auto _ : state) {
        Pair pair;
        std::vector<double> micros;
        for (long i = 0; i < lines; ++i) {
            const bool fromAlice = state.range(0) == 0 || i % 2 == 0;
            Client& from = fromAlice ? pair.alice : pair.bob;
            Client& to = fromAlice ? pair.bob : pair.alice;
            const std::string line = "line " + std::to_string(i) + " of the latency run";
            const auto start = Clock::now();
            from.process->type(line);
            to.waitFor(std::string(receivedPrefix) + line + "\n");
            micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        double total = 0;
        for (double m : micros) total += m;
        state.SetIterationTime(total / 1e6);
        std::sort(micros.begin(), micros.end());
        const auto at = [&](double q) { return micros[static_cast<std::size_t>(q * static_cast<double>(micros.size() - 1))]; };
        state.counters["p50Us"] = at(0.50);
        state.counters["p99Us"] = at(0.99);
        state.counters["maxUs"] = micros.back();
        state.counters["lines"] = static_cast<double>(lines);
        state.counters["aliceHWMKiB"] = statusKiB(pair.alice.process->pid(), "VmHWM");
        state.counters["bobHWMKiB"] = statusKiB(pair.bob.process->pid(), "VmHWM");
        state.counters["relayHWMKiB"] = statusKiB(Stage::get().relay.pid(), "VmHWM");
    }
}
BENCHMARK(LineLatency)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void IdleCpu(benchmark::State& state) {
    const auto idle = std::chrono::seconds(environmentNumber("DUOQUILL_BENCH_IDLE_SECONDS", 60));
    const double ticksPerSecond = static_cast<double>(::sysconf(_SC_CLK_TCK));
    for (auto _ : state) {
        Pair pair;
        // Let the start-up work settle before counting.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const pid_t alice = pair.alice.process->pid(), bob = pair.bob.process->pid();
        const long aliceBefore = cpuTicks(alice), bobBefore = cpuTicks(bob);
        const auto start = Clock::now();
        std::this_thread::sleep_for(idle);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        state.counters["aliceCpuPercent"] = 100.0 * static_cast<double>(cpuTicks(alice) - aliceBefore) / ticksPerSecond / seconds;
        state.counters["bobCpuPercent"] = 100.0 * static_cast<double>(cpuTicks(bob) - bobBefore) / ticksPerSecond / seconds;
        state.counters["aliceHWMKiB"] = statusKiB(alice, "VmHWM");
    }
}
BENCHMARK(IdleCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
