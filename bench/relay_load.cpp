// Load on the real duoquill-relay, started as a child process on loopback: rooms of two
// clients exchanging frames of the tunnel's sizes (1560 to 4632 bytes).
//
//   CoverTraffic/rooms  opens the rooms, checks each pairs, reports the relay's resident memory
//                       per connection, then every client sends one frame every 2 to 5 s and
//                       the forwarding latency (send to receipt, through the relay) is sampled.
//   FullSpeed/rooms     each client keeps a window of frames in flight and answers every frame
//                       it receives with another: forwarded frames per second.
//   MemoryAttack/kind   the relay with its default limits, the relay's resident memory before,
//                       during and after an attack from one address: 64 paired members that
//                       never read while one of each pair sends full-sized frames (kind 0), or 40
//                       lone members each with a kept frame and an unfinished message, pinging
//                       the relay (kind 1).
//
// Run through scripts/relay-load, which raises the descriptor limit. The relay is the one built
// beside this program, with the test kit's certificates. Environment: DUOQUILL_BENCH_ROOMS
// (largest room count, default 10000), DUOQUILL_BENCH_SECONDS (length of each measuring phase,
// default 10).

#include <benchmark/benchmark.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Kit/RelayProcess.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t kMinFrame = 1560;
constexpr std::size_t kMaxFrame = 4632;
constexpr std::size_t kStampDigits = 20;
constexpr int kOpeningAtOnce = 256;

std::string environment(const char* name, std::string fallback = {}) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

long environmentNumber(const char* name, long fallback) {
    const std::string value = environment(name);
    return value.empty() ? fallback : std::stol(value);
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string roomPath(std::size_t room) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string path = "/";
    std::uint64_t x = 0x9e3779b97f4a7c15ull * (room + 1);
    for (int i = 0; i < 128; ++i) {
        x ^= x >> 29;
        x *= 0xbf58476d1ce4e5b9ull;
        path += hex[(x >> 60) & 0xf];
    }
    return path;
}

// ---- the relay child process ----

// The relay with the test kit's certificates (or plain), sized for the connections.
class RelayChild {
public:
    RelayChild(bool tls, std::size_t connections)
        : RelayChild(tls, {"--quiet", "--max-per-address", "0", "--max-connections", std::to_string(connections + 16)}) {}

    RelayChild(bool tls, std::vector<std::string> arguments)
        : relay_(duoquill::test::RelayProcess::Options{.plain = !tls, .arguments = std::move(arguments)}),
          // Opened now: once the clients hold every descriptor allowed, no file can be opened.
          statusFd_(::open(("/proc/" + std::to_string(relay_.pid()) + "/status").c_str(), O_RDONLY | O_CLOEXEC)) {}

    ~RelayChild() {
        if (statusFd_ >= 0) ::close(statusFd_);
        relay_.stop(SIGTERM, std::chrono::seconds(4));
    }

    std::uint16_t port() const { return relay_.port(); }

    // Resident memory in KiB (VmRSS).
    long residentKiB() const {
        char text[8192];
        const ssize_t n = ::pread(statusFd_, text, sizeof text - 1, 0);
        if (n <= 0) return 0;
        text[n] = '\0';
        const char* at = std::strstr(text, "VmRSS:");
        return at != nullptr ? std::strtol(at + 6, nullptr, 10) : 0;
    }

private:
    duoquill::test::RelayProcess relay_;
    int statusFd_ = -1;
};

// ---- clients ----

enum class Traffic { pairOnly, cover, fullSpeed };

struct Load {
    asio::io_context context;
    asio::ssl::context tls{asio::ssl::context::tls_client};
    tcp::endpoint relay;
    Traffic traffic = Traffic::pairOnly;
    std::size_t fullSpeedFrame = kMinFrame;
    std::shared_ptr<const std::string> fullSpeedPayload;
    int window = 8;
    std::string filler;

    std::size_t opened = 0, failed = 0, paired = 0, received = 0, closed = 0;
    bool measuring = false;
    std::vector<std::uint32_t> latencyMicros;
    std::mt19937_64 random{42};

    Load() {
        tls.set_verify_mode(asio::ssl::verify_none);  // loopback load, not a test of verification
        filler.resize(kMaxFrame);
        for (std::size_t i = 0; i < filler.size(); ++i) filler[i] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef+/"[i % 34];
    }

    // A frame of `size` bytes whose first digits are the send time in nanoseconds.
    std::shared_ptr<const std::string> stampedFrame(std::size_t size) const {
        auto frame = std::make_shared<std::string>(filler.substr(0, size));
        const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count();
        std::string digits = std::to_string(now);
        digits.insert(0, kStampDigits - digits.size(), '0');
        frame->replace(0, kStampDigits, digits);
        return frame;
    }
};

class ClientBase {
public:
    virtual ~ClientBase() = default;
    virtual void open(const std::string& path, std::function<void(bool)> done) = 0;
    virtual void send(std::shared_ptr<const std::string> frame) = 0;
    virtual void startCover() = 0;
};

template <class Stream>
class Client final : public ClientBase {
public:
    template <class... Args>
    Client(Load& load, bool sender, Args&&... args)
        : load_(load), sender_(sender), ws_(std::forward<Args>(args)...), timer_(load.context) {}

    void open(const std::string& path, std::function<void(bool)> done) override {
        path_ = path;
        done_ = std::move(done);
        beast::get_lowest_layer(ws_).async_connect(load_.relay, [this](beast::error_code ec) {
            if (ec) return finishOpen(false);
            beast::error_code ignored;
            beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ignored);
            if constexpr (!std::is_same_v<Stream, websocket::stream<beast::tcp_stream>>) {
                ws_.next_layer().async_handshake(asio::ssl::stream_base::client, [this](beast::error_code ec2) {
                    ec2 ? finishOpen(false) : upgrade();
                });
            } else {
                upgrade();
            }
        });
    }

    void send(std::shared_ptr<const std::string> frame) override {
        queue_.push_back(std::move(frame));
        if (!writing_) writeNext();
    }

    void startCover() override {
        std::uniform_int_distribution<int> delay(2000, 5000);
        timer_.expires_after(std::chrono::milliseconds(delay(load_.random)));
        timer_.async_wait([this](beast::error_code ec) {
            if (ec || !open_) return;
            std::uniform_int_distribution<std::size_t> size(kMinFrame, kMaxFrame);
            send(load_.stampedFrame(size(load_.random)));
            startCover();
        });
    }

private:
    void upgrade() {
        ws_.async_handshake("localhost", path_, [this](beast::error_code ec) {
            if (ec) return finishOpen(false);
            open_ = true;
            read();
            finishOpen(true);
        });
    }

    void finishOpen(bool ok) {
        auto done = std::move(done_);
        if (done) done(ok);
    }

    void read() {
        ws_.async_read(buffer_, [this](beast::error_code ec, std::size_t size) {
            if (ec) {
                open_ = false;
                ++load_.closed;
                return;
            }
            onFrame(size);
            buffer_.consume(buffer_.size());
            read();
        });
    }

    void onFrame(std::size_t size) {
        if (!paired_) {
            paired_ = true;
            if (!sender_) ++load_.paired;
        }
        if (!load_.measuring) return;
        ++load_.received;
        if (load_.traffic == Traffic::cover && size >= kStampDigits) {
            const auto* data = static_cast<const char*>(buffer_.data().data());
            const long long sent = std::stoll(std::string(data, kStampDigits));
            const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count();
            load_.latencyMicros.push_back(static_cast<std::uint32_t>(std::max(0LL, (now - sent) / 1000)));
        } else if (load_.traffic == Traffic::fullSpeed) {
            send(load_.fullSpeedPayload);
        }
    }

    void writeNext() {
        writing_ = true;
        ws_.text(true);
        ws_.async_write(asio::buffer(*queue_.front()), [this](beast::error_code ec, std::size_t) {
            queue_.pop_front();
            writing_ = false;
            if (!ec && !queue_.empty()) writeNext();
        });
    }

    Load& load_;
    bool sender_;
    Stream ws_;
    asio::steady_timer timer_;
    beast::flat_buffer buffer_;
    std::string path_;
    std::function<void(bool)> done_;
    std::deque<std::shared_ptr<const std::string>> queue_;
    bool writing_ = false;
    bool open_ = false;
    bool paired_ = false;
};

using TlsClient = Client<websocket::stream<beast::ssl_stream<beast::tcp_stream>>>;
using PlainClient = Client<websocket::stream<beast::tcp_stream>>;

// Runs the io_context until `done` holds or the time is up.
bool runUntil(Load& load, const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = SteadyClock::now() + limit;
    while (!done() && SteadyClock::now() < deadline) {
        load.context.run_for(std::chrono::milliseconds(20));
        if (load.context.stopped()) load.context.restart();
    }
    return done();
}

// Opens two clients per room, a bounded number of handshakes at a time, then has the first
// of each room send one frame that the second must receive.
std::vector<std::unique_ptr<ClientBase>> openRooms(Load& load, bool tls, std::size_t rooms) {
    std::vector<std::unique_ptr<ClientBase>> clients;
    clients.reserve(rooms * 2);
    for (std::size_t i = 0; i < rooms * 2; ++i) {
        if (tls) {
            clients.push_back(std::make_unique<TlsClient>(load, i % 2 == 0, load.context, load.tls));
        } else {
            clients.push_back(std::make_unique<PlainClient>(load, i % 2 == 0, load.context));
        }
    }
    std::size_t next = 0;
    int inFlight = 0;
    std::function<void()> openMore = [&] {
        while (inFlight < kOpeningAtOnce && next < clients.size()) {
            ++inFlight;
            const std::size_t i = next++;
            clients[i]->open(roomPath(i / 2), [&](bool ok) {
                --inFlight;
                ok ? ++load.opened : ++load.failed;
                openMore();
            });
        }
    };
    openMore();
    runUntil(load, [&] { return load.opened + load.failed == clients.size(); }, std::chrono::seconds(180));
    auto hello = std::make_shared<const std::string>(load.filler.substr(0, kMinFrame));
    for (std::size_t i = 0; i < clients.size(); i += 2) clients[i]->send(hello);
    runUntil(load, [&] { return load.paired == rooms; }, std::chrono::seconds(60));
    return clients;
}

// Each process (relay, load generator) holds one descriptor per connection.
std::size_t roomsWithinDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    return limit.rlim_cur > 128 ? (limit.rlim_cur - 128) / 2 : 1;
}


double percentile(std::vector<std::uint32_t>& samples, double p) {
    if (samples.empty()) return 0;
    const auto at = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(at), samples.end());
    return samples[at] / 1000.0;
}

void CoverTraffic(benchmark::State& state) {
    const bool tls = state.range(1) != 0;
    const auto rooms = std::min(static_cast<std::size_t>(state.range(0)), roomsWithinDescriptorLimit());
    const auto seconds = environmentNumber("DUOQUILL_BENCH_SECONDS", 10);
    for (auto _ : state) {
        RelayChild relay(tls, rooms * 2);
        const long baseline = relay.residentKiB();
        auto load = std::make_unique<Load>();
        load->relay = tcp::endpoint(asio::ip::make_address("127.0.0.1"), relay.port());
        load->traffic = Traffic::cover;
        const auto start = SteadyClock::now();
        auto clients = openRooms(*load, tls, rooms);
        const double setupSeconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
        const long held = relay.residentKiB();

        load->measuring = true;
        for (auto& client : clients) client->startCover();
        runUntil(*load, [] { return false; }, std::chrono::seconds(seconds));
        const long afterTraffic = relay.residentKiB();

        state.counters["rooms_held"] = static_cast<double>(load->paired);
        state.counters["rooms_asked"] = static_cast<double>(state.range(0));
        state.counters["connections"] = static_cast<double>(load->opened);
        state.counters["failed_opens"] = static_cast<double>(load->failed);
        state.counters["dropped"] = static_cast<double>(load->closed);
        state.counters["setup_s"] = setupSeconds;
        state.counters["KiB_per_conn"] = static_cast<double>(held - baseline) / static_cast<double>(std::max<std::size_t>(1, load->opened));
        state.counters["KiB_per_conn_traffic"] =
            static_cast<double>(afterTraffic - baseline) / static_cast<double>(std::max<std::size_t>(1, load->opened));
        state.counters["frames"] = static_cast<double>(load->latencyMicros.size());
        state.counters["p50_ms"] = percentile(load->latencyMicros, 0.50);
        state.counters["p99_ms"] = percentile(load->latencyMicros, 0.99);
        state.counters["max_ms"] = percentile(load->latencyMicros, 1.0);
        load->context.stop();
        clients.clear();
    }
}

void FullSpeed(benchmark::State& state) {
    const bool tls = state.range(1) != 0;
    const auto rooms = static_cast<std::size_t>(state.range(0));
    const auto seconds = std::max<long>(2, environmentNumber("DUOQUILL_BENCH_SECONDS", 10) / 2);
    for (auto _ : state) {
        RelayChild relay(tls, rooms * 2);
        auto load = std::make_unique<Load>();
        load->relay = tcp::endpoint(asio::ip::make_address("127.0.0.1"), relay.port());
        load->traffic = Traffic::fullSpeed;
        load->fullSpeedFrame = static_cast<std::size_t>(state.range(2));
        auto clients = openRooms(*load, tls, rooms);

        load->measuring = true;
        load->fullSpeedPayload = std::make_shared<const std::string>(load->filler.substr(0, load->fullSpeedFrame));
        for (auto& client : clients) {
            for (int i = 0; i < load->window; ++i) client->send(load->fullSpeedPayload);
        }
        runUntil(*load, [] { return false; }, std::chrono::milliseconds(500));  // warm up
        const std::size_t before = load->received;
        const auto start = SteadyClock::now();
        runUntil(*load, [] { return false; }, std::chrono::seconds(seconds));
        const double elapsed = std::chrono::duration<double>(SteadyClock::now() - start).count();
        const double frames = static_cast<double>(load->received - before);

        state.SetIterationTime(elapsed);
        state.counters["rooms_held"] = static_cast<double>(load->paired);
        state.counters["frames_per_s"] = frames / elapsed;
        state.counters["MB_per_s"] = frames * static_cast<double>(load->fullSpeedFrame) / elapsed / 1e6;
        load->context.stop();
        clients.clear();
    }
}

// A member that never reads: it only sends whole frames, parts of one, or pings.
class Attacker {
public:
    explicit Attacker(Load& load) : load_(load), ws_(load.context, load.tls) {}

    void open(const std::string& path, std::function<void(bool)> done) {
        beast::get_lowest_layer(ws_).async_connect(load_.relay, [this, path, done](beast::error_code ec) {
            if (ec) return done(false);
            ws_.next_layer().async_handshake(asio::ssl::stream_base::client, [this, path, done](beast::error_code ec2) {
                if (ec2) return done(false);
                ws_.auto_fragment(false);
                ws_.async_handshake("localhost", path, [done](beast::error_code ec3) { done(!ec3); });
            });
        });
    }
    // Writes one after the other; `last` false leaves the message unfinished.
    void send(std::shared_ptr<const std::string> piece, bool last) {
        queue_.push_back({std::move(piece), last});
        if (queue_.size() == 1) writeNext();
    }
    void ping() {
        ws_.async_ping({}, [](beast::error_code) {});
    }
    bool failed() const { return failed_; }

private:
    void writeNext() {
        ws_.text(true);
        ws_.async_write_some(queue_.front().second, asio::buffer(*queue_.front().first), [this](beast::error_code ec, std::size_t) {
            queue_.pop_front();
            if (ec) failed_ = true;
            if (!ec && !queue_.empty()) writeNext();
        });
    }

    Load& load_;
    websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws_;
    std::deque<std::pair<std::shared_ptr<const std::string>, bool>> queue_;
    bool failed_ = false;
};

void MemoryAttack(benchmark::State& state) {
    const bool lone = state.range(0) != 0;
    constexpr std::size_t kTunnelFrame = 90144;
    for (auto _ : state) {
        RelayChild relay(true, std::vector<std::string>{"--quiet"});
        auto load = std::make_unique<Load>();
        load->relay = tcp::endpoint(asio::ip::make_address("127.0.0.1"), relay.port());
        runUntil(*load, [] { return false; }, std::chrono::milliseconds(500));
        const long before = relay.residentKiB();

        const std::size_t count = lone ? 40 : 64;
        std::vector<std::unique_ptr<Attacker>> attackers;
        std::size_t opened = 0, failedOpens = 0;
        for (std::size_t i = 0; i < count; ++i) {
            attackers.push_back(std::make_unique<Attacker>(*load));
            attackers.back()->open(roomPath(lone ? 1000 + i : 2000 + i / 2), [&](bool ok) { ok ? ++opened : ++failedOpens; });
        }
        runUntil(*load, [&] { return opened + failedOpens == count; }, std::chrono::seconds(30));
        const auto frame = std::make_shared<const std::string>(std::string(kTunnelFrame, 'T'));
        const auto part = std::make_shared<const std::string>(std::string(kTunnelFrame - 1000, 'P'));
        long peak = 0;
        const auto sample = [&](std::chrono::milliseconds length) {
            const auto end = SteadyClock::now() + length;
            while (SteadyClock::now() < end) {
                runUntil(*load, [] { return false; }, std::chrono::milliseconds(100));
                peak = std::max(peak, relay.residentKiB());
            }
        };
        if (lone) {
            for (auto& a : attackers) {
                a->send(frame, true);
                a->send(part, false);
            }
            sample(std::chrono::seconds(2));
            for (auto& a : attackers) a->ping();
            state.counters["during_KiB"] = static_cast<double>(relay.residentKiB());
            sample(std::chrono::seconds(10));  // past the bound on unfinished messages
        } else {
            for (int round = 0; round < 200; ++round) {
                for (std::size_t i = 0; i < attackers.size(); i += 2) attackers[i]->send(frame, true);
                sample(std::chrono::milliseconds(0));
            }
            sample(std::chrono::seconds(3));
            state.counters["during_KiB"] = static_cast<double>(relay.residentKiB());
            sample(std::chrono::seconds(16));  // past the bound on a queue that does not drain
        }
        std::size_t failedSends = 0;
        for (const auto& a : attackers) failedSends += a->failed() ? 1 : 0;
        const long held = relay.residentKiB();
        attackers.clear();
        load->context.stop();
        load.reset();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const long after = relay.residentKiB();

        state.counters["connections"] = static_cast<double>(opened);
        state.counters["before_KiB"] = static_cast<double>(before);
        state.counters["peak_KiB"] = static_cast<double>(peak);
        state.counters["later_KiB"] = static_cast<double>(held);
        state.counters["closed_KiB"] = static_cast<double>(after);
        state.counters["failed_senders"] = static_cast<double>(failedSends);
    }
}

void registerBenchmarks() {
    for (int kind : {0, 1}) {
        benchmark::RegisterBenchmark("MemoryAttack", MemoryAttack)->ArgNames({"lone"})->Args({kind})->Iterations(1)->Unit(benchmark::kSecond);
    }
    const long maxRooms = environmentNumber("DUOQUILL_BENCH_ROOMS", 10000);
    for (int tls : {0, 1}) {
        for (long rooms : {1L, 16L, 64L}) {
            benchmark::RegisterBenchmark("FullSpeed", FullSpeed)
                ->ArgNames({"rooms", "tls", "bytes"})
                ->Args({rooms, tls, static_cast<long>(kMinFrame)})
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kSecond);
        }
        benchmark::RegisterBenchmark("FullSpeed", FullSpeed)
            ->ArgNames({"rooms", "tls", "bytes"})
            ->Args({16, tls, static_cast<long>(kMaxFrame)})
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kSecond);
        for (long rooms : {100L, maxRooms}) {
            benchmark::RegisterBenchmark("CoverTraffic", CoverTraffic)
                ->ArgNames({"rooms", "tls"})
                ->Args({rooms, tls})
                ->Iterations(1)
                ->Unit(benchmark::kSecond);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    registerBenchmarks();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
