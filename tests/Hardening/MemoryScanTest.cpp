// What a chat leaves in the process's memory: once a line has been shown and the next line
// handled, no copy of it is left anywhere this process can read — heap, stacks, stdio.
// The scan reads every readable mapping through /proc/self/mem; the text it looks for is held
// only masked, so the search never finds its own copy.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <ranges>

#include <openssl/crypto.h>

#include "Duoquill/Primitives/Random.h"
#include "Duoquill/System/ProcessHardening.h"
#include "DuoquillCLI/Chat/ChatIdentitySource.h"
#include "DuoquillCLI/Commands/CLIKeyCommands.h"
#include "DuoquillCLI/Json/JsonChatDisplay.h"
#include "DuoquillCLI/Json/JsonRpc.h"
#include "DuoquillCLI/Terminal/StandardInputReader.h"
#include "DuoquillCLI/Terminal/TerminalChatDisplay.h"
#include "Kit/InProcessChat.h"
#include "Kit/SessionAccess.h"
#include "Redirection.h"

namespace duoquill::test {
namespace {

constexpr std::uint8_t kMask = 0xA5;

// Bytes to look for, kept masked: printable random text, or a secret's bytes.
class MaskedText {
public:
    explicit MaskedText(std::size_t size) : MaskedText(random::bytes(size)) {
        for (auto& b : masked_) b = static_cast<std::uint8_t>('a' + (b ^ kMask) % 26) ^ kMask;
    }
    explicit MaskedText(BytesView secret) { std::ranges::transform(secret, std::back_inserter(masked_), [](std::uint8_t b) { return b ^ kMask; }); }
    SecureText plain() const {
        SecureText text;
        for (auto b : masked_) text += static_cast<char>(b ^ kMask);
        return text;
    }
    bool matchesAt(const std::uint8_t* p) const {
        return std::equal(masked_.begin(), masked_.end(), p, [](std::uint8_t m, std::uint8_t b) { return m == (b ^ kMask); });
    }
    std::size_t size() const { return masked_.size(); }
    std::uint8_t first() const { return masked_[0] ^ kMask; }

private:
    Bytes masked_;
};

// For each text, where this process's readable memory holds a copy of it: one pass for all.
std::vector<std::vector<const void*>> copiesInMemory(const std::vector<MaskedText>& texts) {
    std::array<std::vector<std::size_t>, 256> startingWith;
    std::size_t longest = 0;
    for (std::size_t t = 0; t < texts.size(); ++t) {
        startingWith[texts[t].first()].push_back(t);
        longest = std::max(longest, texts[t].size());
    }
    constexpr std::size_t chunk = 1 << 20;
    void* mapped = mmap(nullptr, chunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::runtime_error("mmap failed");
    auto* buffer = static_cast<std::uint8_t*>(mapped);
    const auto own = reinterpret_cast<std::uintptr_t>(buffer);
    const int memory = open("/proc/self/mem", O_RDONLY);
    if (memory < 0) throw std::runtime_error("cannot open /proc/self/mem");

    std::vector<std::vector<const void*>> copies(texts.size());
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        unsigned long start = 0, end = 0;
        char readable = 0;
        std::array<char, 256> path{};
        std::sscanf(line.c_str(), "%lx-%lx %c%*s %*s %*s %*s %255s", &start, &end, &readable, path.data());
        const std::string_view name = path.data();
        // Larger mappings are the sanitizers' shadow memory, which holds no data.
        if (readable != 'r' || name == "[vvar]" || name == "[vsyscall]" || end - start > (1ul << 30)) continue;
        if (start <= own && own < end) continue;
        // Chunks overlap by the longest text's length less one: a copy across a boundary is
        // found, and found once.
        for (std::uintptr_t at = start; at < end;) {
            const std::size_t want = std::min<std::uintptr_t>(chunk, end - at);
            const ssize_t got = pread(memory, buffer, want, static_cast<off_t>(at));
            if (got <= 0) break;
            const auto n = static_cast<std::size_t>(got);
            const bool last = n < want || at + n >= end;
            for (std::size_t i = 0; i < n && (last || i + longest <= n); ++i) {
                for (std::size_t t : startingWith[buffer[i]]) {
                    if (i + texts[t].size() <= n && texts[t].matchesAt(buffer + i)) {
                        copies[t].push_back(reinterpret_cast<const void*>(at + i));
                    }
                }
            }
            if (last) break;
            at += n - (longest - 1);
        }
    }
    secureWipe(buffer, chunk);
    munmap(mapped, chunk);
    close(memory);
    return copies;
}

TEST(MemoryScan, NoCopyOfALineOutlivesItsTurnAndNoKeyTheSession) {
    const Redirection silenced(2);
    cli::TerminalChatDisplay terminal;
    ManualTimeline timeline;
    SimulatedRelay relay{timeline, 5};
    std::optional<ChatProcess> alice(std::in_place, 0, timeline, relay, 5, &terminal),
        bob(std::in_place, 1, timeline, relay, 5, &terminal);
    timeline.runFor(30, [&] { return alice->isActive() && bob->isActive(); });
    ASSERT_TRUE(alice->isActive() && bob->isActive());
    // Whether the line typed went out and came back confirmed: the peer has shown it.
    const auto shownByThePeer = [&](ChatProcess& from, const MaskedText& line) {
        const auto numbered = from.lines.numbered;
        from.type(line.plain().view());
        const auto confirmed = [&] { return from.lines.numbered > numbered && from.lines.unconfirmed.empty(); };
        timeline.runFor(10, confirmed);
        return confirmed();
    };
    // Short lines live in a string's own buffer, long ones on the heap: both kinds. Each next
    // line has another size, so it does not simply reuse the first one's buffers.
    std::vector<MaskedText> lines{MaskedText(30)};  // [0]: a probe held while the scan runs
    for (std::size_t size : {12, 300}) {
        const MaskedText line(size), next(size * 3 + 40);
        ASSERT_TRUE(shownByThePeer(*alice, line));
        ASSERT_TRUE(shownByThePeer(*bob, next));
        lines.push_back(line);
    }
    {
        const SecureText probe = lines[0].plain();
        const auto found = copiesInMemory(lines);
        // The probe (the scan finds what is there), a 12-character line and a 300-character line.
        EXPECT_EQ(std::tuple(found[0].size(), found[1].size(), found[2].size()), std::tuple(1u, 0u, 0u));
    }

    // Once both ends are gone (each session destroyed), none of its keys is left anywhere.
    std::vector<std::string> names;
    std::vector<MaskedText> keys;
    for (const auto& [name, bytes] : PFSChatSessionTestAccess::secrets(*alice->client->machine().currentSession())) {
        names.push_back(name);
        keys.emplace_back(bytes);
    }
    ASSERT_GE(keys.size(), 8u);
    alice.reset();
    bob.reset();
    const auto left = copiesInMemory(keys);
    for (std::size_t k = 0; k < keys.size(); ++k) EXPECT_EQ(left[k].size(), 0u) << names[k];
}

TEST(MemoryScan, TheStandardInputReaderAndTheJsonInterfaceKeepNoCopyOfALine) {
    const MaskedText line(40);
    TempDir directory;
    const auto typed = directory.path() / "typed";
    {
        SecureText input = line.plain();
        input += "\nnext line\n";
        const int file = open(typed.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_EQ(write(file, input.view().data(), input.size()), static_cast<ssize_t>(input.size()));
        close(file);
    }
    {
        const Redirection standardInput(0, typed, O_RDONLY);
        std::setvbuf(stdin, nullptr, _IONBF, 0);  // as the chat program does
        auto first = cli::StandardInputReader::readLine(std::cin);
        EXPECT_EQ(first ? first->size() : 0, line.size());
        first.reset();
        EXPECT_EQ(cli::StandardInputReader::readLine(std::cin).value_or(SecureText()), "next line");
    }

    // chat --json: a request's text, once handed on, and a received line, once written out as a
    // notification, leave no copy behind in the parser's or the serialiser's memory. Long lines,
    // and only their ends looked for: a freed heap block loses its first bytes to the allocator,
    // but keeps the rest.
    const MaskedText sent(3000), received(3100);
    const auto end = [](const MaskedText& text) { return MaskedText(text.plain().bytes().last(100)); };
    {
        SecureText request(R"({"jsonrpc":"2.0","id":1,"method":"send","params":{"text":")");
        request += sent.plain().view();
        request += R"("}})";
        // std::get throws when it is no request.
        EXPECT_EQ(std::get<cli::jsonrpc::Request>(cli::jsonrpc::parse(request.view())).text.size(), sent.size());
    }
    {
        const Redirection silenced(1);
        cli::JsonChatDisplay display;
        display.show(cli::chat::LineReceived{received.plain()});
    }
    const auto found = copiesInMemory(std::vector{line, end(sent), end(received)});
    EXPECT_EQ(found[0].size(), 0u) << "a line read from standard input";
    EXPECT_EQ(found[1].size() + found[2].size(), 0u) << "the text of a request or of a message";
}

// The chat reads its identity from the keychain once and keeps it; in a hardened process the
// scalar then lives only in OpenSSL's secure heap and the locked pool, in both byte orders.
TEST(MemoryScan, TheIdentityScalarIsOnlyInLockedMemoryWhileTheChatHoldsIt) {
    TempDir data;
    ASSERT_EQ(setenv("XDG_DATA_HOME", data.path().c_str(), 1), 0);
    const auto hardened = ProcessHardening::protectSecrets();
    if (!hardened.cryptoHeapLocked || !hardened.secretPoolLocked) GTEST_SKIP() << "locked-memory limit too small";
    const Redirection silenced(2);  // keygen says where the key went
    cli::CLIKeyCommands::keygen();
    cli::KeychainIdentitySource identity;
    const auto key = identity.retrievePrivateKey(identity.existingKeyIdentifier().value());
    std::vector<MaskedText> forms;
    {
        const SecureBytes blob = key->dataRepresentation();
        SecureBytes scalar(blob.begin() + 4, blob.begin() + 36);
        forms.emplace_back(scalar);
        std::reverse(scalar.begin(), scalar.end());
        forms.emplace_back(scalar);
    }
    ASSERT_EQ(key->sharedSecret(World::identityKey(1).publicKey()).size(), 32u);  // as a handshake does
    std::size_t locked = 0;
    for (const void* copy : copiesInMemory(forms) | std::views::join) {
        const bool isLocked = CRYPTO_secure_allocated(copy) || lockedmemory::contains(copy);
        EXPECT_TRUE(isLocked) << "a copy at " << copy;
        locked += isLocked;
    }
    EXPECT_GE(locked, 1u);  // the live key itself: the scan does see the locked memory
}

}  // namespace
}  // namespace duoquill::test
