// What a SOCKS5 proxy answers the client, read as the transport reads it: the method choice,
// the answer to the credentials, then the CONNECT reply, each taken from the input as many
// bytes at a time as the parser asks for.
//
// Input: a flag byte (bit 0: the client has credentials), then the proxy's bytes.
//
// Invariants: the parser asks only for more than it has and never beyond the longest reply
// (262 bytes); its verdict does not depend on how the bytes were cut; a connection is
// granted only for version 5, code 0, reserved 0 and an address of the length its type says;
// every refusal has a sentence.

#include <algorithm>
#include <array>
#include <string>
#include <variant>

#include "Duoquill/Transport/Socks5Messages.h"
#include "FuzzTarget.h"

using namespace duoquill;
using namespace duoquill::socks5;
using duoquill::fuzz::require;

namespace {

constexpr std::size_t kLongestReply = 4 + 1 + 255 + 2;

std::vector<Bytes> seeds() {
    const auto join = [](std::initializer_list<int> values, const std::string& tail = {}) {
        Bytes out;
        for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
        out.insert(out.end(), tail.begin(), tail.end());
        return out;
    };
    return {
        join({1, 5, 2, 1, 0, 5, 0, 0, 1, 0, 0, 0, 0, 0, 0}),              // Tor's answers with credentials
        join({0, 5, 0, 5, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x1F, 0x90}),  // IPv6 bound address
        join({1, 5, 2, 1, 0, 5, 0, 0, 3, 9}, "localhost\x01\xbb"),         // a name as bound address
        join({1, 5, 2, 1, 0, 5, 4}),                                       // host unreachable, then closed
        join({1, 5, 2, 1, 1}),                                             // credentials refused
        join({1, 5, 0xFF}),                                                // no acceptable method
        join({0, 5, 0, 5, 0, 0, 3, 0}),                                    // an empty name
        join({0, 5, 0, 5, 0, 0, 9, 0, 0, 0, 0, 0, 0}),                     // an unknown address type
        join({0, 4, 0}),                                                   // not SOCKS5
    };
}

void requireSentence(Socks5Error error) {
    require(!make_error_code(error).message().empty(), "every refusal has a sentence");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::writeSeedsIfAsked(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    const bool withCredentials = (input.u8() & 1) != 0;
    if (input.remaining() < 2) return 0;
    std::array<std::uint8_t, 2> two{};
    std::copy_n(input.take(2).begin(), 2, two.begin());
    const auto method = parseMethodChoice(two, withCredentials);
    if (const auto* refusal = std::get_if<Socks5Error>(&method)) {
        requireSentence(*refusal);
        return 0;
    }
    require(two[0] == 5, "a method is chosen only by version 5");
    if (std::get<Method>(method) == Method::usernamePassword) {
        require(withCredentials, "username/password only when offered");
        if (input.remaining() < 2) return 0;
        std::copy_n(input.take(2).begin(), 2, two.begin());
        if (const auto refusal = parseAuthReply(two)) {
            requireSentence(*refusal);
            return 0;
        }
        require(two[0] == 1 && two[1] == 0, "credentials accepted only by 01 00");
    }

    Bytes reply;
    for (;;) {
        const auto judged = parseConnectReply(reply);
        if (const auto* need = std::get_if<NeedBytes>(&judged)) {
            require(need->total > reply.size() && need->total <= kLongestReply, "asks for more, within the longest reply");
            if (input.remaining() < need->total - reply.size()) return 0;
            const auto more = input.take(need->total - reply.size());
            reply.insert(reply.end(), more.begin(), more.end());
            continue;
        }
        // Read a byte at a time, the same bytes end in the same verdict.
        for (std::size_t n = 0; n <= reply.size(); ++n) {
            const auto early = parseConnectReply(std::span(reply).first(n));
            if (std::holds_alternative<NeedBytes>(early)) continue;
            require(early == judged, "the verdict does not depend on how the bytes were cut");
            break;
        }
        if (const auto* refusal = std::get_if<Socks5Error>(&judged)) {
            requireSentence(*refusal);
            return 0;
        }
        require(reply.size() >= 8 && reply[0] == 5 && reply[1] == 0 && reply[2] == 0, "granted only by 05 00 00");
        const std::size_t address = reply[3] == 1 ? 4 : reply[3] == 4 ? 16 : reply[3] == 3 ? 1u + reply[4] : 0;
        require(address > 1 && reply.size() == 4 + address + 2, "the reply's length is its address type's");
        return 0;
    }
}
