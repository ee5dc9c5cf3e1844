// What TLS handshakes cost the real duoquill-relay, started as a child process on loopback with
// a certificate made for the run. CPU time and memory are read from /proc for the relay alone.
//
//   Handshake/group    TLS 1.3 handshakes offering that one group (connect, handshake, close):
//                      relay_us_per_handshake is the relay's CPU time per attempt, refused the
//                      share of attempts it turned down. A group this OpenSSL lacks is skipped.
//   Pending/kind       300 connections that stop in their opening: 0 sends nothing, 1 one byte
//                      of a ClientHello, 2 a whole ClientHello (the relay has answered and waits
//                      for the client's Finished), 3 plain with half an HTTP request.
//                      KiB_per_pending is the relay's resident memory per connection.
//
// Environment: DUOQUILL_RELAY, the relay to measure (default: the one built here).

#include <benchmark/benchmark.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Kit/Paths.h"
#include "Kit/Process.h"
#include "Kit/TestCertificates.h"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

constexpr std::array<const char*, 7> kGroups{"X25519", "P-256", "P-384", "ffdhe2048", "ffdhe4096", "ffdhe8192",
                                             "X25519MLKEM768"};

class Relay {
public:
    explicit Relay(bool tls) {
        const char* program = std::getenv("DUOQUILL_RELAY");
        std::vector<std::string> arguments{"--listen", "127.0.0.1:0", "--quiet", "--max-per-address", "0",
                                           "--max-connections", "5000", "--handshake-timeout", "60"};
        if (tls) {
            const auto& certificates = duoquill::test::TestCertificates::shared();
            arguments.insert(arguments.end(), {"--cert", certificates.certificateFile().string(), "--key",
                                               certificates.privateKeyFile().string()});
        } else {
            arguments.push_back("--plain");
        }
        process_ = std::make_unique<duoquill::test::RunningProcess>(
            program != nullptr ? std::string(program) : duoquill::test::relayPath().string(), arguments);
        const std::string marker = "listening on 127.0.0.1:";
        process_->waitForStandardError([&](const std::string& log) { return log.find(marker) != std::string::npos; }, 10s);
        const std::string log = process_->standardError();
        port_ = static_cast<std::uint16_t>(std::stoul(log.substr(log.find(marker) + marker.size())));
    }
    ~Relay() {
        ::kill(process_->pid(), SIGTERM);
        if (!process_->waitForExit(4s)) process_->killGroup();
    }
    std::uint16_t port() const { return port_; }

    long residentKiB() const { return field("/status", "VmRSS:"); }

    // User and system time of all its threads.
    double cpuMicros() const {
        std::ifstream file("/proc/" + std::to_string(process_->pid()) + "/stat");
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 1));
        std::string value;
        long ticks = 0;
        for (int i = 3; i <= 15 && fields >> value; ++i) {
            if (i >= 14) ticks += std::stol(value);
        }
        return static_cast<double>(ticks) * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

private:
    long field(const char* file, const char* name) const {
        std::ifstream in("/proc/" + std::to_string(process_->pid()) + file);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(name, 0) == 0) return std::stol(line.substr(std::strlen(name)));
        }
        return 0;
    }
    std::unique_ptr<duoquill::test::RunningProcess> process_;
    std::uint16_t port_ = 0;
};

using Context = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;
using Connection = std::unique_ptr<SSL, decltype(&SSL_free)>;

// A TLS 1.3 client offering `group` alone, or nothing when this OpenSSL lacks it.
Context clientFor(const char* group) {
    Context context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    SSL_CTX_set_min_proto_version(context.get(), TLS1_3_VERSION);
    SSL_CTX_set_security_level(context.get(), 0);
    if (SSL_CTX_set1_groups_list(context.get(), group) != 1) {
        ERR_clear_error();
        return Context(nullptr, SSL_CTX_free);
    }
    return context;
}

void Handshake(benchmark::State& state) {
    const char* group = kGroups[static_cast<std::size_t>(state.range(0))];
    const Context context = clientFor(group);
    if (!context) {
        state.SkipWithError((std::string("this OpenSSL has no ") + group).c_str());
        return;
    }
    const Relay relay(true);
    asio::io_context io;
    const asio::ip::tcp::endpoint at(asio::ip::make_address("127.0.0.1"), relay.port());
    std::size_t refused = 0;
    const double before = relay.cpuMicros();
    for (auto _ : state) {
        asio::ip::tcp::socket socket(io);
        socket.connect(at);
        Connection tls(SSL_new(context.get()), SSL_free);
        SSL_set_fd(tls.get(), socket.native_handle());
        if (SSL_connect(tls.get()) != 1) ++refused;
        ERR_clear_error();
    }
    std::this_thread::sleep_for(100ms);  // the relay's share of the last closes
    const double iterations = static_cast<double>(state.iterations());
    state.counters["relay_us_per_handshake"] = (relay.cpuMicros() - before) / iterations;
    state.counters["refused"] = static_cast<double>(refused) / iterations;
    state.SetLabel(group);
}
BENCHMARK(Handshake)->DenseRange(0, kGroups.size() - 1)->MinTime(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void Pending(benchmark::State& state) {
    constexpr int kConnections = 300;
    const int kind = static_cast<int>(state.range(0));
    const Context context = clientFor("X25519");
    for (auto _ : state) {
        const Relay relay(kind != 3);
        asio::io_context io;
        const asio::ip::tcp::endpoint at(asio::ip::make_address("127.0.0.1"), relay.port());
        std::this_thread::sleep_for(300ms);
        const long before = relay.residentKiB();
        std::vector<asio::ip::tcp::socket> sockets;
        std::vector<Connection> clients;
        for (int i = 0; i < kConnections; ++i) {
            asio::ip::tcp::socket& socket = sockets.emplace_back(io);
            socket.connect(at);
            if (kind == 1) asio::write(socket, asio::buffer("\x16", 1));
            if (kind == 3) asio::write(socket, asio::buffer(std::string_view("GET /x HTTP/1.1\r\nHost: ")));
            if (kind == 2) {
                socket.non_blocking(true);
                Connection& tls = clients.emplace_back(SSL_new(context.get()), SSL_free);
                SSL_set_fd(tls.get(), socket.native_handle());
                (void)SSL_connect(tls.get());  // sends its hello, then would wait for the answer
                ERR_clear_error();
            }
        }
        std::this_thread::sleep_for(1s);
        state.counters["KiB_per_pending"] = static_cast<double>(relay.residentKiB() - before) / kConnections;
    }
}
BENCHMARK(Pending)->DenseRange(0, 3)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
