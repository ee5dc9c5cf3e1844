// The full path of one chat line as the client carries it: ratchet header (if due), record,
// "msg" JSON with base64 members, tunnel frame; and on the other side tunnel frame, JSON,
// ratchet header, record. Once without a root step (one side keeps talking) and once with
// one (the speakers alternate, so every line carries a 3200-byte header). The SessionOnly
// variants leave out the client's JSON and base64 and tunnel the bare record. The Pipeline
// variants take the client's own functions, once without and once with the line numbers
// ("s" and "a") a confirming peer's lines carry.

#include <benchmark/benchmark.h>

#include <boost/json.hpp>
#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Session/PFSChatSession.h"
#include "Duoquill/Session/SessionEnvironment.h"
#include "Duoquill/Protocol/RelayMessages.h"
#include "Duoquill/Protocol/TunnelPipeline.h"

namespace duoquill {
namespace {

// Sessions read no clock: every call is handed this moment.
constexpr Instant benchTime{1'700'000'000.0, 1000.0};

// Two sessions after the handshake and after the first exchange of ratchet headers.
struct Conversation {
    explicit Conversation(const SessionEnvironment& environment) {
        std::shared_ptr<const P256KeyAgreementKey> idA = KeyStore::system().generateP256();
        std::shared_ptr<const P256KeyAgreementKey> idB = KeyStore::system().generateP256();
        a = std::make_unique<PFSChatSession>(environment, idA, idB->publicKey(), std::string(128, 'c'));
        b = std::make_unique<PFSChatSession>(environment, idB, idA->publicKey(), std::string(128, 'c'));
        a->completeHandshake(b->authCiphertext(), b->authEncapKey(), b->mlkemPublicKeyData(), benchTime);
        b->completeHandshake(a->authCiphertext(), a->authEncapKey(), a->mlkemPublicKeyData(), benchTime);
        if (!*a->isInitiator()) std::swap(a, b);
        b->completePQKeyExchange(a->performPQKeyExchange(), benchTime);
        a->completePQInitiator(benchTime);
        line(*a, *b);
        line(*b, *a);
    }

    static void line(PFSChatSession& from, PFSChatSession& to) {
        static const Bytes text(100, 'x');
        const auto header = from.prepareDHRatchetIfNeeded();
        const auto sealed = from.seal(text, benchTime);
        boost::json::object msg{{"t", "msg"}, {"n", sealed.counter}, {"d", base64String(sealed.data)}};
        if (header) msg["rk"] = base64String(*header);
        const Bytes frame = from.tunnelSeal(asBytes(boost::json::serialize(msg)), benchTime);

        const SecureBytes payload = to.tunnelOpen(frame, benchTime);
        const auto received =
            boost::json::parse(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()))
                .as_object();
        if (const auto* rk = received.if_contains("rk")) {
            to.receiveDHRatchetKey(*bytesFromBase64String(rk->as_string()));
        }
        const auto opened =
            to.open(*bytesFromBase64String(received.at("d").as_string()), received.at("n").to_number<std::uint64_t>(), benchTime);
        benchmark::DoNotOptimize(opened->data());
    }

    // The session's share of the same path: the tunnel carries the bare record, no JSON.
    static void bareLine(PFSChatSession& from, PFSChatSession& to) {
        static const Bytes text(100, 'x');
        const auto header = from.prepareDHRatchetIfNeeded();
        const auto sealed = from.seal(text, benchTime);
        const Bytes frame = from.tunnelSeal(sealed.data, benchTime);
        if (header) to.receiveDHRatchetKey(*header);
        const auto opened = to.open(to.tunnelOpen(frame, benchTime), sealed.counter, benchTime);
        benchmark::DoNotOptimize(opened->data());
    }

    // The client's path: sealChatLine, openTunnelText, decodeMsg, open.
    template <bool numbered>
    [[gnu::noinline]] static void pipelineLine(PFSChatSession& from, PFSChatSession& to) {
        static const Bytes text(100, 'x');
        static std::uint64_t number = std::uint64_t{1} << 52;
        std::optional<protocol::LineNumbers> numbers;
        if (numbered) numbers = protocol::LineNumbers{++number, number + 7};
        const std::string frame = protocol::sealChatLine(from, benchTime, text, numbers);
        const auto message = protocol::openTunnelText(to, frame, benchTime);
        const auto msg = protocol::decodeMsg(*message);
        if (msg->rk) to.receiveDHRatchetKey(*msg->rk);
        const auto opened = to.open(msg->d, msg->n, benchTime);
        benchmark::DoNotOptimize(opened->data());
        auto seenNumbers = msg->numbers;  // a const value would take the deprecated overload
        benchmark::DoNotOptimize(seenNumbers);
    }

    std::unique_ptr<PFSChatSession> a, b;
};

// A chain ends after 100000 records: start a new conversation well before.
constexpr std::int64_t linesPerConversation = 50000;

template <void (*line)(PFSChatSession&, PFSChatSession&)>
void LineWithoutRootStep(benchmark::State& state) {
    const SessionEnvironment environment{};
    auto conversation = std::make_unique<Conversation>(environment);
    std::int64_t lines = 0;
    for (auto _ : state) {
        if (++lines % linesPerConversation == 0) {
            state.PauseTiming();
            conversation = std::make_unique<Conversation>(environment);
            state.ResumeTiming();
        }
        line(*conversation->a, *conversation->b);
    }
}
BENCHMARK(LineWithoutRootStep<&Conversation::line>)->Name("LineWithoutRootStep")->Unit(benchmark::kMicrosecond);
BENCHMARK(LineWithoutRootStep<&Conversation::pipelineLine<false>>)
    ->Name("PipelineWithoutRootStep")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(LineWithoutRootStep<&Conversation::pipelineLine<true>>)
    ->Name("PipelineWithLineNumbersWithoutRootStep")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(LineWithoutRootStep<&Conversation::bareLine>)
    ->Name("SessionOnlyWithoutRootStep")
    ->Unit(benchmark::kMicrosecond);

template <void (*line)(PFSChatSession&, PFSChatSession&)>
void LineWithRootStep(benchmark::State& state) {
    const SessionEnvironment environment{};
    Conversation conversation(environment);
    bool fromA = true;
    for (auto _ : state) {
        line(fromA ? *conversation.a : *conversation.b, fromA ? *conversation.b : *conversation.a);
        fromA = !fromA;
    }
}
BENCHMARK(LineWithRootStep<&Conversation::line>)->Name("LineWithRootStep")->Unit(benchmark::kMicrosecond);
BENCHMARK(LineWithRootStep<&Conversation::bareLine>)->Name("SessionOnlyWithRootStep")->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace duoquill

BENCHMARK_MAIN();
