// Cost of making a received message safe for the terminal and of measuring banner text.

#include <benchmark/benchmark.h>

#include <string>

#include "DuoquillCLI/Terminal/TerminalText.h"

namespace {

// The longest line the chat accepts.
constexpr std::size_t kLongestMessage = 49152;

std::string repeatedTo(const std::string& unit, std::size_t size) {
    std::string out;
    while (out.size() + unit.size() <= size) out += unit;
    return out;
}

void neutraliseAscii(benchmark::State& state) {
    const std::string text = repeatedTo("The quick brown fox jumps over the lazy dog. ", kLongestMessage);
    for (auto _ : state) benchmark::DoNotOptimize(duoquill::cli::TerminalText::neutralised(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void neutraliseMixedScripts(benchmark::State& state) {
    const std::string text =
        repeatedTo("\xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD \xD0\xBF\xD1\x80 ", kLongestMessage);
    for (auto _ : state) benchmark::DoNotOptimize(duoquill::cli::TerminalText::neutralised(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void neutraliseHostile(benchmark::State& state) {
    const std::string text = repeatedTo("\x1B]52;c;AAAA\x07\r\b\xC2\x9B\xE2\x80\xAE\xFF", kLongestMessage);
    for (auto _ : state) benchmark::DoNotOptimize(duoquill::cli::TerminalText::neutralised(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void countCharacters(benchmark::State& state) {
    const std::string text = repeatedTo(
        "wss://\xC3\xBC\xC3\xB1\xC3\xAF.example/e\xCC\x81\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xED\x95\x9C ", kLongestMessage);
    for (auto _ : state) benchmark::DoNotOptimize(duoquill::cli::TerminalText::characterCount(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

BENCHMARK(neutraliseAscii);
BENCHMARK(neutraliseMixedScripts);
BENCHMARK(neutraliseHostile);
BENCHMARK(countCharacters);

}  // namespace

BENCHMARK_MAIN();
