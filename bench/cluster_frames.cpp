// What HAProxy in front of a relay costs: a pair of clients bounces tunnel-sized frames (1560
// bytes) through the real relay, either straight over TLS or through the real HAProxy (which
// ends TLS and speaks PROXY protocol to a plain relay). Reported per forwarded frame: the CPU
// time of the relay process and of HAProxy, read from /proc/<pid>/stat.
//
//   Direct    relay with TLS
//   Proxied   HAProxy with TLS -> plain relay with --proxy-protocol

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "Kit/RelayProcess.h"
#include "Kit/TestCertificates.h"
#include "Kit/WebSocketTestClient.h"

namespace {

using namespace duoquill::test;

const std::string kRoom = "/" + std::string(128, 'c');
const std::string kFrame(1560, 'F');

// User and system time of a process, in seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i < 14; ++i) fields >> field;
    unsigned long long user = 0, system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::unique_ptr<WebSocketTestClient> join(std::uint16_t port) {
    auto client = std::make_unique<WebSocketTestClient>(WebSocketTestClient::Options{.caFile = TestCertificates::shared().caFile()});
    if (client->open(port, kRoom) != 101) throw std::runtime_error("join refused");
    return client;
}

void bounce(benchmark::State& state, std::uint16_t port, pid_t relay, pid_t proxy) {
    auto a = join(port), b = join(port);
    const double relayBefore = cpuSeconds(relay), proxyBefore = proxy > 0 ? cpuSeconds(proxy) : 0;
    std::int64_t frames = 0;
    for (auto _ : state) {
        a->sendText(kFrame);
        if (b->readText().size() != kFrame.size()) state.SkipWithError("wrong frame");
        b->sendText(kFrame);
        if (a->readText().size() != kFrame.size()) state.SkipWithError("wrong frame");
        frames += 2;
    }
    const double perFrame = 1e6 / static_cast<double>(frames);
    state.counters["relay_cpu_us_per_frame"] = (cpuSeconds(relay) - relayBefore) * perFrame;
    if (proxy > 0) state.counters["haproxy_cpu_us_per_frame"] = (cpuSeconds(proxy) - proxyBefore) * perFrame;
    state.counters["frames"] = static_cast<double>(frames);
    state.SetItemsProcessed(frames);
}

void Direct(benchmark::State& state) {
    RelayProcess relay({.arguments = {"--quiet"}});
    bounce(state, relay.port(), relay.pid(), 0);
}

void Proxied(benchmark::State& state) {
    RelayProcess relay({.plain = true, .arguments = {"--quiet", "--proxy-protocol", "127.0.0.1", "--metrics", "127.0.0.1:0"}});
    const HaproxyProcess proxy({.relays = {{relay.port(), relay.metricsPort()}}, .checkInterval = "2s"});
    bounce(state, proxy.port(), relay.pid(), proxy.pid());
}

// Clock ticks are 10 ms: a few seconds of frames make the per-frame figures meaningful.
BENCHMARK(Direct)->MinTime(3.0)->Unit(benchmark::kMicrosecond);
BENCHMARK(Proxied)->MinTime(3.0)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
