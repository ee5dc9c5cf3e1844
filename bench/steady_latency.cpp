// What the steady mode costs in time, on the test kit's two clients and simulated relay under
// injected time (figures are simulated seconds, not the machine's speed):
//
//   Latency/<bytes>/<steady>      a line typed at a random moment, alone, until the peer shows
//                                 it: counters meanS and p95S over the samples
//   Throughput/<bytes>/<steady>   a burst of lines typed at once until the peer has shown them
//                                 all: counter linesPerMinute
//
// <bytes>: 16 (a short line) or 20480 (20 KB); <steady>: 1 for steady clients, 0 for the
// default mode beside them.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "Kit/InProcessChat.h"

namespace {

using namespace duoquill::test;

// Lines the peer (side 1) has shown so far.
std::size_t shownByPeer(MachinePair& pair) {
    const auto& lines = pair.process(1).display.lines;
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("received:"); }));
}

std::string lineOf(std::size_t bytes, std::size_t index) {
    std::string line = std::to_string(index) + ":";
    line.resize(std::max(bytes, line.size()), 'w');
    return line;
}

bool startPair(MachinePair& pair, bool steady) {
    pair.steady[0] = pair.steady[1] = steady;
    pair.launch(0);
    pair.launch(1);
    return pair.runUntil([&] { return pair.bothActive(); }, 30.0);
}

void Latency(benchmark::State& state) {
    const auto bytes = static_cast<std::size_t>(state.range(0));
    const bool steady = state.range(1) != 0;
    const int samples = bytes > 1000 ? 12 : 200;
    std::vector<double> latencies;
    for (auto _ : state) {
        MachinePair pair(17);
        if (!startPair(pair, steady)) {
            state.SkipWithError("no handshake");
            return;
        }
        std::mt19937_64 random(29);
        latencies.clear();
        for (int i = 0; i < samples; ++i) {
            // Typed at a moment that has nothing to do with the ticks.
            pair.runFor(std::uniform_real_distribution<double>(0.0, 5.0)(random));
            const std::size_t before = shownByPeer(pair);
            const double typed = pair.timeline.now();
            pair.process(0).type(lineOf(bytes, static_cast<std::size_t>(i)));
            if (!pair.runUntil([&] { return shownByPeer(pair) > before; }, 1200.0)) {
                state.SkipWithError("a line did not arrive");
                return;
            }
            latencies.push_back(pair.timeline.now() - typed);
        }
    }
    std::sort(latencies.begin(), latencies.end());
    double sum = 0;
    for (const double l : latencies) sum += l;
    state.counters["meanS"] = sum / static_cast<double>(latencies.size());
    state.counters["p95S"] = latencies[latencies.size() * 95 / 100];
}

void Throughput(benchmark::State& state) {
    const auto bytes = static_cast<std::size_t>(state.range(0));
    const bool steady = state.range(1) != 0;
    const std::size_t burst = bytes > 1000 ? 3 : 60;
    double seconds = 0;
    for (auto _ : state) {
        MachinePair pair(23);
        if (!startPair(pair, steady)) {
            state.SkipWithError("no handshake");
            return;
        }
        pair.runFor(1.0);
        const std::size_t before = shownByPeer(pair);
        const double typed = pair.timeline.now();
        for (std::size_t i = 0; i < burst; ++i) pair.process(0).type(lineOf(bytes, i));
        if (!pair.runUntil([&] { return shownByPeer(pair) >= before + burst; }, 7200.0)) {
            state.SkipWithError("the burst did not arrive");
            return;
        }
        seconds = pair.timeline.now() - typed;
    }
    state.counters["linesPerMinute"] = static_cast<double>(burst) * 60.0 / seconds;
}

BENCHMARK(Latency)->Args({16, 1})->Args({20480, 1})->Args({16, 0})->Args({20480, 0})->Iterations(1);
BENCHMARK(Throughput)->Args({16, 1})->Args({20480, 1})->Args({16, 0})->Args({20480, 0})->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
