// Load on the real duoquill-relay, started as a child process on loopback: rooms of two
// clients exchanging frames of the tunnel's sizes (1560 to 4632 bytes). The FullSpeed and Idle
// loads come from generator processes (this program run with --generator), and the relay's
// CPU time and memory are read from /proc for the relay process alone.
//
//   FullSpeed/rooms/tls/bytes/threads  each client keeps a window of frames in flight and
//                       answers every frame it receives with another: server_us_per_frame is
//                       the relay's CPU time per forwarded frame, frames_per_s its rate.
//   Idle/connections/tls  paired connections that have exchanged a frame, then wait:
//                       KiB_per_conn is the relay's resident memory per connection.
//   NodePeerFullSpeed, NodePeerIdle  the same against bench/peer, a minimal pairing relay on
//                       Node's ws package (skipped unless node and bench/peer/node_modules exist).
//   BaselineFullSpeed, BaselineIdle  the same against another build of duoquill-relay named by
//                       DUOQUILL_RELAY_BASELINE (skipped without it), for before and after in one run.
//   CoverTraffic/rooms  opens the rooms in this process, then every client sends one frame
//                       every 2 to 5 s and the forwarding latency (send to receipt) is sampled.
//   MemoryAttack/kind   the relay with its default limits, the relay's resident memory before,
//                       during and after an attack from one address: 64 paired members that
//                       never read while one of each pair sends full-sized frames (kind 0), or 40
//                       lone members each with a kept frame and an unfinished message, pinging
//                       the relay (kind 1).
//
// Run through scripts/relay-load, which raises the descriptor limit. Environment:
// DUOQUILL_RELAY (the relay to measure), DUOQUILL_BENCH_SECONDS (length of each measuring
// phase, default 10; FullSpeed measures half of it), DUOQUILL_BENCH_ROOMS (CoverTraffic's
// largest room count, default 10000), DUOQUILL_BENCH_IDLE (Idle's connections, default 2000),
// DUOQUILL_BENCH_FULL_ROOMS (default 16), DUOQUILL_BENCH_WORKERS (generator processes, default 2).

#include <benchmark/benchmark.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
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
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Kit/Paths.h"
#include "Kit/Process.h"
#include "Kit/TestCertificates.h"

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

// ---- the measured server, a child process ----

std::string whichProgram(const std::string& name) {
    const std::string path = environment("PATH");
    for (std::size_t at = 0; at <= path.size();) {
        const std::size_t end = std::min(path.find(':', at), path.size());
        const std::string candidate = path.substr(at, end - at) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return {};
}

// duoquill-relay ($DUOQUILL_RELAY, else the one built beside this program) or the Node peer of
// bench/peer, on loopback with the bench's certificate (or plain). Memory and CPU time are
// read from /proc for that process alone.
class ServerChild {
public:
    static std::unique_ptr<ServerChild> relay(bool tls, std::vector<std::string> arguments,
                                              const std::string& program = environment("DUOQUILL_RELAY", duoquill::test::relayPath().string())) {
        std::vector<std::string> all{"--listen", "127.0.0.1:0"};
        addCertificates(tls, all);
        all.insert(all.end(), arguments.begin(), arguments.end());
        return std::make_unique<ServerChild>(program, all);
    }

    static std::unique_ptr<ServerChild> relay(bool tls, std::size_t connections, unsigned threads = 1) {
        return relay(tls, loadArguments(connections, threads));
    }

    // Nothing when DUOQUILL_RELAY_BASELINE names no program.
    static std::unique_ptr<ServerChild> baseline(bool tls, std::size_t connections, unsigned threads) {
        const std::string program = environment("DUOQUILL_RELAY_BASELINE");
        return program.empty() ? nullptr : relay(tls, loadArguments(connections, threads), program);
    }

    // Nothing when Node or the peer's installed packages are missing.
    static std::unique_ptr<ServerChild> nodePeer(bool tls) {
        const auto peer = duoquill::test::sourceDir() / "bench" / "peer";
        const std::string node = whichProgram("node");
        if (node.empty() || !std::filesystem::exists(peer / "node_modules" / "ws")) return nullptr;
        std::vector<std::string> all{(peer / "server.js").string()};
        addCertificates(tls, all);
        return std::make_unique<ServerChild>(node, all);
    }

    ServerChild(const std::string& program, const std::vector<std::string>& arguments)
        : process_(program, arguments, duoquill::test::ProcessOptions{}) {
        const std::string marker = "listening on 127.0.0.1:";
        process_.waitForStandardError([&](const std::string& log) { return log.find(marker) != std::string::npos; },
                                      std::chrono::seconds(10));
        const std::string log = process_.standardError();
        const auto at = log.find(marker);
        if (at == std::string::npos) throw std::runtime_error(program + " did not start: " + log);
        port_ = static_cast<std::uint16_t>(std::stoul(log.substr(at + marker.size())));
        // Opened now: once the clients hold every descriptor allowed, no file can be opened.
        const std::string proc = "/proc/" + std::to_string(process_.pid());
        statusFd_ = ::open((proc + "/status").c_str(), O_RDONLY | O_CLOEXEC);
        statFd_ = ::open((proc + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    }

    ~ServerChild() {
        if (statusFd_ >= 0) ::close(statusFd_);
        if (statFd_ >= 0) ::close(statFd_);
        ::kill(process_.pid(), SIGTERM);
        if (!process_.waitForExit(std::chrono::seconds(4))) process_.killGroup();
    }

    std::uint16_t port() const { return port_; }

    // Resident memory in KiB (VmRSS).
    long residentKiB() const {
        char text[8192];
        const ssize_t n = ::pread(statusFd_, text, sizeof text - 1, 0);
        if (n <= 0) return 0;
        text[n] = '\0';
        const char* at = std::strstr(text, "VmRSS:");
        return at != nullptr ? std::strtol(at + 6, nullptr, 10) : 0;
    }

    // User and system CPU time of all its threads, in microseconds.
    double cpuMicros() const {
        char text[4096];
        const ssize_t n = ::pread(statFd_, text, sizeof text - 1, 0);
        if (n <= 0) return 0;
        text[n] = '\0';
        const char* at = std::strrchr(text, ')');  // the command name may hold spaces
        if (at == nullptr) return 0;
        std::istringstream fields(at + 1);
        std::string field;
        long ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i >= 14) ticks += std::stol(field);  // utime, stime
        }
        return static_cast<double>(ticks) * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

private:
    static std::vector<std::string> loadArguments(std::size_t connections, unsigned threads) {
        return {"--quiet", "--max-per-address", "0", "--max-connections", std::to_string(connections + 16), "--threads",
                std::to_string(threads)};
    }

    static void addCertificates(bool tls, std::vector<std::string>& arguments) {
        if (!tls) {
            arguments.push_back("--plain");
            return;
        }
        const auto& shared = duoquill::test::TestCertificates::shared();
        arguments.insert(arguments.end(), {"--cert", environment("DUOQUILL_BENCH_CERT", shared.certificateFile().string()),
                                           "--key", environment("DUOQUILL_BENCH_KEY", shared.privateKeyFile().string())});
    }

    duoquill::test::RunningProcess process_;
    std::uint16_t port_ = 0;
    int statusFd_ = -1;
    int statFd_ = -1;
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
std::vector<std::unique_ptr<ClientBase>> openRooms(Load& load, bool tls, std::size_t rooms, std::size_t firstRoom = 0) {
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
            clients[i]->open(roomPath(firstRoom + i / 2), [&](bool ok) {
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
        const auto relay = ServerChild::relay(tls, rooms * 2);
        const long baseline = relay->residentKiB();
        auto load = std::make_unique<Load>();
        load->relay = tcp::endpoint(asio::ip::make_address("127.0.0.1"), relay->port());
        load->traffic = Traffic::cover;
        const auto start = SteadyClock::now();
        auto clients = openRooms(*load, tls, rooms);
        const double setupSeconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
        const long held = relay->residentKiB();

        load->measuring = true;
        for (auto& client : clients) client->startCover();
        runUntil(*load, [] { return false; }, std::chrono::seconds(seconds));
        const long afterTraffic = relay->residentKiB();

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
        const auto relay = ServerChild::relay(true, std::vector<std::string>{"--quiet"});
        auto load = std::make_unique<Load>();
        load->relay = tcp::endpoint(asio::ip::make_address("127.0.0.1"), relay->port());
        runUntil(*load, [] { return false; }, std::chrono::milliseconds(500));
        const long before = relay->residentKiB();

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
                peak = std::max(peak, relay->residentKiB());
            }
        };
        if (lone) {
            for (auto& a : attackers) {
                a->send(frame, true);
                a->send(part, false);
            }
            sample(std::chrono::seconds(2));
            for (auto& a : attackers) a->ping();
            state.counters["during_KiB"] = static_cast<double>(relay->residentKiB());
            sample(std::chrono::seconds(10));  // past the bound on unfinished messages
        } else {
            for (int round = 0; round < 200; ++round) {
                for (std::size_t i = 0; i < attackers.size(); i += 2) attackers[i]->send(frame, true);
                sample(std::chrono::milliseconds(0));
            }
            sample(std::chrono::seconds(3));
            state.counters["during_KiB"] = static_cast<double>(relay->residentKiB());
            sample(std::chrono::seconds(16));  // past the bound on a queue that does not drain
        }
        std::size_t failedSends = 0;
        for (const auto& a : attackers) failedSends += a->failed() ? 1 : 0;
        const long held = relay->residentKiB();
        attackers.clear();
        load->context.stop();
        load.reset();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const long after = relay->residentKiB();

        state.counters["connections"] = static_cast<double>(opened);
        state.counters["before_KiB"] = static_cast<double>(before);
        state.counters["peak_KiB"] = static_cast<double>(peak);
        state.counters["later_KiB"] = static_cast<double>(held);
        state.counters["closed_KiB"] = static_cast<double>(after);
        state.counters["failed_senders"] = static_cast<double>(failedSends);
    }
}

// ---- load generators in processes of their own ----

// A generator process: `bench_relay_load --generator PORT TLS FIRST_ROOM ROOMS BYTES WINDOW`.
// Opens its rooms, says "ready OPENED PAIRED FAILED" on standard error, then obeys lines on
// standard input: "go" starts full-speed traffic, "count" answers "count RECEIVED DROPPED",
// "quit" (or the end of input) ends it.
int generatorMain(char** argv) {
    raiseDescriptorLimit();
    const auto port = static_cast<std::uint16_t>(std::stoul(argv[0]));
    const bool tls = std::stoi(argv[1]) != 0;
    const auto firstRoom = static_cast<std::size_t>(std::stoul(argv[2]));
    const auto rooms = static_cast<std::size_t>(std::stoul(argv[3]));
    auto load = std::make_unique<Load>();
    load->relay = tcp::endpoint(asio::ip::make_address("127.0.0.1"), port);
    load->traffic = Traffic::fullSpeed;
    load->fullSpeedFrame = static_cast<std::size_t>(std::stoul(argv[4]));
    load->window = std::stoi(argv[5]);
    load->fullSpeedPayload = std::make_shared<const std::string>(load->filler.substr(0, load->fullSpeedFrame));
    auto clients = openRooms(*load, tls, rooms, firstRoom);
    const auto say = [](const std::string& line) { ::write(2, line.data(), line.size()); };
    say("ready " + std::to_string(load->opened) + " " + std::to_string(load->paired) + " " +
        std::to_string(load->failed) + "\n");

    asio::posix::stream_descriptor input(load->context, ::dup(0));
    asio::streambuf line;
    bool done = false;
    std::function<void()> readCommand = [&] {
        asio::async_read_until(input, line, '\n', [&](beast::error_code ec, std::size_t size) {
            std::string command(asio::buffers_begin(line.data()), asio::buffers_begin(line.data()) + static_cast<std::ptrdiff_t>(size));
            line.consume(size);
            if (ec || command == "quit\n") {
                done = true;
            } else if (command == "go\n") {
                load->measuring = true;
                for (auto& client : clients) {
                    for (int i = 0; i < load->window; ++i) client->send(load->fullSpeedPayload);
                }
            } else if (command == "count\n") {
                say("count " + std::to_string(load->received) + " " + std::to_string(load->closed) + "\n");
            }
            if (!done) readCommand();
        });
    };
    readCommand();
    runUntil(*load, [&] { return done; }, std::chrono::hours(1));
    load->context.stop();
    clients.clear();
    return 0;
}

// Generator processes sharing the rooms between them, so that the bench's own work is spread
// over processes and the server's CPU time can be read apart from it.
class Generators {
public:
    struct Totals {
        std::size_t opened = 0, paired = 0, failed = 0, received = 0, dropped = 0;
    };

    Generators(std::uint16_t port, bool tls, std::size_t rooms, std::size_t bytes, int window) {
        const auto count = std::clamp<std::size_t>(static_cast<std::size_t>(environmentNumber("DUOQUILL_BENCH_WORKERS", 2)), 1, std::max<std::size_t>(1, rooms));
        const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        for (std::size_t i = 0, first = 0; i < count; ++i) {
            const std::size_t share = rooms / count + (i < rooms % count ? 1 : 0);
            workers_.push_back(std::make_unique<duoquill::test::RunningProcess>(
                self, std::vector<std::string>{"--generator", std::to_string(port), tls ? "1" : "0", std::to_string(first),
                                               std::to_string(share), std::to_string(bytes), std::to_string(window)}));
            first += share;
        }
        for (const auto& worker : workers_) {
            worker->waitForStandardError([](const std::string& log) { return log.find('\n') != std::string::npos; },
                                         std::chrono::seconds(240));
            std::istringstream ready(worker->standardError());
            std::string word;
            std::size_t opened = 0, paired = 0, failed = 0;
            ready >> word >> opened >> paired >> failed;
            ready_.opened += opened;
            ready_.paired += paired;
            ready_.failed += failed;
        }
    }

    ~Generators() {
        for (const auto& worker : workers_) worker->write("quit\n");
        for (const auto& worker : workers_) worker->waitForExit(std::chrono::seconds(10));
    }

    const Totals& ready() const { return ready_; }

    void go() {
        for (const auto& worker : workers_) worker->write("go\n");
    }

    // What the generators have received since "go", asked of all of them at once.
    Totals count() {
        ++asked_;
        for (const auto& worker : workers_) worker->write("count\n");
        Totals totals = ready_;
        for (const auto& worker : workers_) {
            std::string last;
            worker->waitForStandardError([&](const std::string& log) {
                std::size_t lines = 0;
                for (std::size_t at = log.find("count "); at != std::string::npos; at = log.find("count ", at + 1)) {
                    if (log.find('\n', at) == std::string::npos) break;
                    if (++lines == asked_) last = log.substr(at);
                }
                return lines >= asked_;
            }, std::chrono::seconds(30));
            std::istringstream answer(last);
            std::string word;
            std::size_t received = 0, dropped = 0;
            answer >> word >> received >> dropped;
            totals.received += received;
            totals.dropped += dropped;
        }
        return totals;
    }

private:
    std::vector<std::unique_ptr<duoquill::test::RunningProcess>> workers_;
    Totals ready_;
    std::size_t asked_ = 0;
};

enum class Server { relay, baseline, nodePeer };

std::unique_ptr<ServerChild> startServer(Server server, bool tls, std::size_t connections, unsigned threads) {
    switch (server) {
    case Server::relay:
        return ServerChild::relay(tls, connections, threads);
    case Server::baseline:
        return ServerChild::baseline(tls, connections, threads);
    case Server::nodePeer:
        break;
    }
    return ServerChild::nodePeer(tls);
}

// Rooms at full speed, each client keeping a window of frames in flight and answering every
// frame with another. Headline: the server's CPU time per forwarded frame.
void FullSpeed(benchmark::State& state, Server which) {
    const bool tls = state.range(1) != 0;
    const auto rooms = static_cast<std::size_t>(state.range(0));
    const auto bytes = static_cast<std::size_t>(state.range(2));
    const auto threads = static_cast<unsigned>(state.range(3));
    const auto seconds = std::max<long>(2, environmentNumber("DUOQUILL_BENCH_SECONDS", 10) / 2);
    for (auto _ : state) {
        const auto server = startServer(which, tls, rooms * 2, threads);
        if (!server) {
            state.SkipWithError(which == Server::baseline ? "DUOQUILL_RELAY_BASELINE names no relay"
                                                          : "Node or bench/peer/node_modules missing (npm ci in bench/peer)");
            return;
        }
        Generators load(server->port(), tls, rooms, bytes, 8);
        load.go();
        std::this_thread::sleep_for(std::chrono::seconds(1));  // warm up
        const auto before = load.count();
        const double cpuBefore = server->cpuMicros();
        const auto start = SteadyClock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const auto after = load.count();
        const double cpu = server->cpuMicros() - cpuBefore;
        const double elapsed = std::chrono::duration<double>(SteadyClock::now() - start).count();
        const double frames = static_cast<double>(after.received - before.received);

        state.SetIterationTime(elapsed);
        state.counters["rooms_held"] = static_cast<double>(load.ready().paired);
        state.counters["dropped"] = static_cast<double>(after.dropped);
        state.counters["frames_per_s"] = frames / elapsed;
        state.counters["server_cores"] = cpu / 1e6 / elapsed;
        state.counters["server_us_per_frame"] = frames > 0 ? cpu / frames : 0;
    }
}

// Paired connections that have exchanged their first frame and then wait. Headline: the
// server's resident memory per connection.
void Idle(benchmark::State& state, Server which) {
    const bool tls = state.range(1) != 0;
    const auto connections = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        const auto server = startServer(which, tls, connections, 1);
        if (!server) {
            state.SkipWithError(which == Server::baseline ? "DUOQUILL_RELAY_BASELINE names no relay"
                                                          : "Node or bench/peer/node_modules missing (npm ci in bench/peer)");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const long baseline = server->residentKiB();
        const auto start = SteadyClock::now();
        Generators load(server->port(), tls, connections / 2, kMinFrame, 0);
        const double setupSeconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
        std::this_thread::sleep_for(std::chrono::seconds(1));  // let the last handshakes' memory settle
        const long held = server->residentKiB();
        const auto opened = std::max<std::size_t>(1, load.ready().opened);

        state.counters["connections"] = static_cast<double>(load.ready().opened);
        state.counters["rooms_held"] = static_cast<double>(load.ready().paired);
        state.counters["failed_opens"] = static_cast<double>(load.ready().failed);
        state.counters["setup_s"] = setupSeconds;
        state.counters["baseline_KiB"] = static_cast<double>(baseline);
        state.counters["KiB_per_conn"] = static_cast<double>(held - baseline) / static_cast<double>(opened);
    }
}

void registerBenchmarks() {
    const long idle = environmentNumber("DUOQUILL_BENCH_IDLE", 2000);
    const long rooms = environmentNumber("DUOQUILL_BENCH_FULL_ROOMS", 16);
    for (const auto& entry : {std::pair{"", Server::relay}, std::pair{"Baseline", Server::baseline}, std::pair{"NodePeer", Server::nodePeer}}) {
        // Copied out of the pair: clang 14 cannot capture structured bindings.
        const char* const name = entry.first;
        const Server server = entry.second;
        for (int tls : {1, 0}) {
            for (int threads : {1, 2}) {
                if (server == Server::nodePeer && threads != 1) continue;
                benchmark::RegisterBenchmark((std::string(name) + "FullSpeed").c_str(),
                                             [server](benchmark::State& s) { FullSpeed(s, server); })
                    ->ArgNames({"rooms", "tls", "bytes", "threads"})
                    ->Args({rooms, tls, static_cast<long>(kMinFrame), threads})
                    ->Iterations(1)
                    ->UseManualTime()
                    ->Unit(benchmark::kSecond);
            }
            benchmark::RegisterBenchmark((std::string(name) + "Idle").c_str(), [server](benchmark::State& s) { Idle(s, server); })
                ->ArgNames({"connections", "tls"})
                ->Args({idle, tls})
                ->Iterations(1)
                ->Unit(benchmark::kSecond);
        }
    }
    benchmark::RegisterBenchmark("FullSpeed", [](benchmark::State& s) { FullSpeed(s, Server::relay); })
        ->ArgNames({"rooms", "tls", "bytes", "threads"})
        ->Args({rooms, 1, static_cast<long>(kMaxFrame), 1})
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
    const long maxRooms = environmentNumber("DUOQUILL_BENCH_ROOMS", 10000);
    for (int tls : {0, 1}) {
        for (long coverRooms : {100L, maxRooms}) {
            benchmark::RegisterBenchmark("CoverTraffic", CoverTraffic)
                ->ArgNames({"rooms", "tls"})
                ->Args({coverRooms, tls})
                ->Iterations(1)
                ->Unit(benchmark::kSecond);
        }
    }
    for (int kind : {0, 1}) {
        benchmark::RegisterBenchmark("MemoryAttack", MemoryAttack)->ArgNames({"lone"})->Args({kind})->Iterations(1)->Unit(benchmark::kSecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc == 8 && std::string_view(argv[1]) == "--generator") return generatorMain(argv + 2);
    raiseDescriptorLimit();
    registerBenchmarks();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
