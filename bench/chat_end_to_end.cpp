// End-to-end figures with real processes over loopback TLS: one duoquill-relay and two
// `duoquill-cli chat` clients, driven through their standard input and watched through the
// display they write on standard error.
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
// Environment: DUOQUILL_CLI, DUOQUILL_RELAY (the programs; default: beside this program's
// build directory), DUOQUILL_BENCH_LINES (default 1000), DUOQUILL_BENCH_IDLE_SECONDS
// (default 60). Needs the `openssl` command for the throwaway certificate authority.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ScratchDirectory.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// What the display writes for the events measured (colours included, so that "disconnected"
// never passes for "connected").
constexpr std::string_view connectedMarker = "\x1b[32m\x1b[1mconnected\x1b[0m";
constexpr std::string_view waitingMarker = "waiting for peer...";
constexpr std::string_view bannerMarker = "Duoquill";
constexpr std::string_view receivedPrefix = "\x1b[36m\x1b[1mpeer\x1b[0m \x1b[2m>\x1b[0m ";

std::string environment(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

long environmentNumber(const char* name, long fallback) {
    return std::stol(environment(name, std::to_string(fallback)));
}

fs::path program(const char* variable, const char* name) {
    const fs::path self = fs::read_symlink("/proc/self/exe");
    return environment(variable, (self.parent_path().parent_path() / name).string());
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

std::string readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A field of /proc/<pid>/status in kB ("VmHWM", "VmRSS").
long statusKiB(pid_t pid, std::string_view field) {
    std::istringstream status(readWhole("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

// utime + stime of /proc/<pid>/stat, in clock ticks. The command name (field 2) may hold
// spaces, so counting starts after its closing parenthesis.
long cpuTicks(pid_t pid) {
    const std::string stat = readWhole("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> values{std::istream_iterator<std::string>(fields), {}};
    return std::stol(values.at(11)) + std::stol(values.at(12));  // fields 14 and 15
}

// A child process with the given environment; standard input and standard error are pipes
// when asked for, anything else goes to /dev/null or `errorFile`.
class Child {
public:
    Child(std::vector<std::string> arguments, const std::vector<std::string>& environmentEntries,
          const fs::path& errorFile = {}) {
        int in[2] = {-1, -1}, err[2] = {-1, -1};
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        std::vector<std::string> env = environmentEntries;
        std::vector<char*> argv, envp;
        for (auto& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(in[0], 0);
            ::dup2(null, 1);
            if (errorFile.empty()) {
                ::dup2(err[1], 2);
            } else {
                ::dup2(::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            }
            ::execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(err[1]);
        input_ = in[1];
        error_ = err[0];
        ::fcntl(error_, F_SETFL, O_NONBLOCK);
    }

    ~Child() {
        closeInput();
        if (!waitForExit(5s)) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (error_ >= 0) ::close(error_);
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    int errorDescriptor() const { return error_; }

    void type(std::string_view line) {
        std::string data(line);
        data.push_back('\n');
        std::size_t written = 0;
        while (written < data.size()) {
            const ssize_t n = ::write(input_, data.data() + written, data.size() - written);
            if (n <= 0) throw std::runtime_error("the client stopped reading");
            written += static_cast<std::size_t>(n);
        }
    }

    void closeInput() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
    }

    void terminate() { ::kill(pid_, SIGTERM); }

    bool waitForExit(std::chrono::milliseconds timeout) {
        if (exited_) return true;
        const auto deadline = Clock::now() + timeout;
        while (::waitpid(pid_, nullptr, WNOHANG) != pid_) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        exited_ = true;
        return true;
    }

    // Reads what is waiting on standard error; false at its end.
    bool drain() {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(error_, buffer, sizeof buffer);
            if (n > 0) {
                shown_.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            return n < 0 && (errno == EAGAIN || errno == EINTR);
        }
    }

    // Finds `text` in what has been shown since the last match, and moves past it.
    bool consume(std::string_view text) {
        const auto at = shown_.find(text, consumed_);
        if (at == std::string::npos) return false;
        consumed_ = at + text.size();
        return true;
    }

    const std::string& shown() const { return shown_; }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int error_ = -1;
    bool exited_ = false;
    std::string shown_;
    std::size_t consumed_ = 0;
};

// Reads the displays of all `clients` (so that none blocks on a full pipe) until `done`.
void pumpUntil(const std::vector<Child*>& clients, const std::function<bool()>& done,
               std::chrono::milliseconds timeout = 20s) {
    const auto deadline = Clock::now() + timeout;
    std::vector<pollfd> fds;
    for (Child* c : clients) fds.push_back({c->errorDescriptor(), POLLIN, 0});
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms) {
            std::string shown;
            for (Child* c : clients) shown += "\n--- display ---\n" + c->shown();
            throw std::runtime_error("timed out" + shown);
        }
        ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left.count(), 100)));
        for (Child* c : clients) c->drain();
    }
}

// The relay with a certificate authority made for the run, and two identities, alice and bob,
// in one throwaway HOME.
class Stage {
public:
    static Stage& get() {
        static Stage stage;
        return stage;
    }

    std::unique_ptr<Child> chat(const std::string& label) const {
        const std::string& peer = label == "alice" ? bobKey_ : aliceKey_;
        return std::make_unique<Child>(std::vector<std::string>{cli_.string(), "chat", peer, url_},
                                       environmentFor(label));
    }

    pid_t relayPid() const { return relay_->pid(); }

private:
    Stage() : cli_(program("DUOQUILL_CLI", "duoquill-cli")) {
        ::signal(SIGPIPE, SIG_IGN);
        const fs::path dir = scratch_.path;
        fs::create_directories(dir / "home");
        const std::string d = dir.string();
        run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=bench-ca"
            " -keyout " + d + "/ca.key -out " + d + "/ca.pem 2>/dev/null");
        run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost -keyout " + d +
            "/relay.key -out " + d + "/relay.csr 2>/dev/null");
        run("printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\nextendedKeyUsage=serverAuth\\n' > " + d + "/ext.cnf");
        run("openssl x509 -req -in " + d + "/relay.csr -CA " + d + "/ca.pem -CAkey " + d +
            "/ca.key -CAcreateserial -days 1 -extfile " + d + "/ext.cnf -out " + d + "/relay.pem 2>/dev/null");

        relay_ = std::make_unique<Child>(
            std::vector<std::string>{program("DUOQUILL_RELAY", "duoquill-relay").string(), "--listen", "127.0.0.1:0",
                                     "--cert", d + "/relay.pem", "--key", d + "/relay.key", "--quiet"},
            std::vector<std::string>{}, dir / "relay.log");
        const std::string marker = "listening on 127.0.0.1:";
        const auto deadline = Clock::now() + 10s;
        std::string log;
        while ((log = readWhole(dir / "relay.log")).find(marker) == std::string::npos) {
            if (Clock::now() >= deadline) throw std::runtime_error("the relay did not start: " + log);
            std::this_thread::sleep_for(10ms);
        }
        url_ = "wss://127.0.0.1:" + std::to_string(std::stoul(log.substr(log.find(marker) + marker.size())));
        aliceKey_ = keygen("alice");
        bobKey_ = keygen("bob");
    }

    ~Stage() { relay_->terminate(); }

    std::vector<std::string> environmentFor(const std::string& label) const {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string_view entry(*e);
            if (!entry.starts_with("HOME=") && !entry.starts_with("XDG_DATA_HOME=") &&
                !entry.starts_with("DUOQUILL_KEY_LABEL=") && !entry.starts_with("SSL_CERT_")) {
                env.emplace_back(entry);
            }
        }
        const std::string home = (scratch_.path / "home").string();
        env.push_back("HOME=" + home);
        env.push_back("XDG_DATA_HOME=" + home + "/.local/share");
        env.push_back("DUOQUILL_KEY_LABEL=" + label);
        env.push_back("SSL_CERT_FILE=" + (scratch_.path / "ca.pem").string());
        return env;
    }

    // keygen prints the public key on standard output.
    std::string keygen(const std::string& label) const {
        const fs::path out = scratch_.path / ("key-" + label);
        const std::string home = (scratch_.path / "home").string();
        run("env HOME=" + home + " XDG_DATA_HOME=" + home + "/.local/share DUOQUILL_KEY_LABEL=" + label + " " +
            cli_.string() + " keygen > " + out.string());
        std::string key = readWhole(out);
        key.erase(key.find_last_not_of('\n') + 1);
        return key;
    }

    duoquill::ScratchDirectory scratch_;
    fs::path cli_;
    std::unique_ptr<Child> relay_;
    std::string url_;
    std::string aliceKey_;
    std::string bobKey_;
};

// Two clients in the room, both active.
struct Pair {
    Pair() {
        alice = Stage::get().chat("alice");
        pumpUntil({alice.get()}, [&] { return alice->consume(waitingMarker); });
        started = Clock::now();
        bob = Stage::get().chat("bob");
        pumpUntil({alice.get(), bob.get()}, [&] {
            if (!bobBanner && bob->consume(bannerMarker)) bobBanner = Clock::now();
            if (!aliceActive && alice->consume(connectedMarker)) aliceActive = Clock::now();
            if (!bobActive && bob->consume(connectedMarker)) bobActive = Clock::now();
            return aliceActive && bobActive;
        });
    }

    ~Pair() {
        alice->closeInput();
        bob->closeInput();
    }

    double secondsToActive() const {
        return std::chrono::duration<double>(std::max(*aliceActive, *bobActive) - started).count();
    }

    std::unique_ptr<Child> alice, bob;
    Clock::time_point started;
    std::optional<Clock::time_point> bobBanner, aliceActive, bobActive;
};

void TimeToActive(benchmark::State& state) {
    double bannerSeconds = 0;
    double slowest = 0;
    for (auto _ : state) {
        Pair pair;
        state.SetIterationTime(pair.secondsToActive());
        slowest = std::max(slowest, pair.secondsToActive());
        bannerSeconds += std::chrono::duration<double>(*pair.bobBanner - pair.started).count();
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
        micros.reserve(static_cast<std::size_t>(lines));
        for (long i = 0; i < lines; ++i) {
            const bool fromAlice = state.range(0) == 0 || i % 2 == 0;
            Child& from = fromAlice ? *pair.alice : *pair.bob;
            Child& to = fromAlice ? *pair.bob : *pair.alice;
            const std::string line = "line " + std::to_string(i) + " of the latency run";
            const std::string shown = std::string(receivedPrefix) + line + "\n";
            const auto start = Clock::now();
            from.type(line);
            pumpUntil({pair.alice.get(), pair.bob.get()}, [&] { return to.consume(shown); });
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
        state.counters["aliceHWMKiB"] = static_cast<double>(statusKiB(pair.alice->pid(), "VmHWM"));
        state.counters["bobHWMKiB"] = static_cast<double>(statusKiB(pair.bob->pid(), "VmHWM"));
        state.counters["relayHWMKiB"] = static_cast<double>(statusKiB(Stage::get().relayPid(), "VmHWM"));
    }
}
BENCHMARK(LineLatency)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void IdleCpu(benchmark::State& state) {
    const auto idle = std::chrono::seconds(environmentNumber("DUOQUILL_BENCH_IDLE_SECONDS", 60));
    const double ticksPerSecond = static_cast<double>(::sysconf(_SC_CLK_TCK));
    for (auto _ : state) {
        Pair pair;
        // Let the start-up work settle before counting.
        const auto settle = Clock::now() + 1s;
        pumpUntil({pair.alice.get(), pair.bob.get()}, [&] { return Clock::now() >= settle; });
        const long aliceBefore = cpuTicks(pair.alice->pid());
        const long bobBefore = cpuTicks(pair.bob->pid());
        const auto start = Clock::now();
        const auto end = start + idle;
        pumpUntil({pair.alice.get(), pair.bob.get()}, [&] { return Clock::now() >= end; }, idle + 10s);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        state.counters["aliceCpuPercent"] = 100.0 * static_cast<double>(cpuTicks(pair.alice->pid()) - aliceBefore) / ticksPerSecond / seconds;
        state.counters["bobCpuPercent"] = 100.0 * static_cast<double>(cpuTicks(pair.bob->pid()) - bobBefore) / ticksPerSecond / seconds;
        state.counters["aliceHWMKiB"] = static_cast<double>(statusKiB(pair.alice->pid(), "VmHWM"));
    }
}
BENCHMARK(IdleCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
