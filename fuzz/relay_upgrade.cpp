// What the relay reads from a new connection: the opening HTTP request (parsed with the
// relay's limits and judged by the relay's own rule), then, for a request that joins a room,
// the client's frames read by the relay's frame reader.
//
// Input: the bytes the client sends, request head first.
//
// Invariants: only "/" (or "//") + 128 lower-case hexadecimal characters with a WebSocket upgrade joins,
// and the token is the path; a request carrying a body is never accepted; every message read
// after the upgrade is within the frame limit and is UTF-8; the frames mean the same whether
// they arrive at once or a byte at a time.

#include <boost/beast/websocket/rfc6455.hpp>

#include <algorithm>
#include <string>
#include <vector>

#include "DuoquillRelay/UpgradeRequest.h"
#include "DuoquillRelay/WebSocketFrames.h"
#include "FuzzTarget.h"

using namespace duoquill;
using namespace duoquill::relay;
using duoquill::fuzz::require;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {

const std::string room(128, 'a');

std::string upgradeRequest(const std::string& target) {
    return "GET " + target +
           " HTTP/1.1\r\nHost: relay.example\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

// A masked text (opcode 1), binary (2) or close (8) frame of the client.
std::string maskedFrame(std::uint8_t opcode, const std::string& payload) {
    std::string out;
    out.push_back(static_cast<char>(0x80 | opcode));
    const std::uint8_t mask[4] = {0x12, 0x34, 0x56, 0x78};
    if (payload.size() < 126) {
        out.push_back(static_cast<char>(0x80 | payload.size()));
    } else {
        out.push_back(static_cast<char>(0x80 | 126));
        out.push_back(static_cast<char>(payload.size() >> 8));
        out.push_back(static_cast<char>(payload.size()));
    }
    out.append(reinterpret_cast<const char*>(mask), 4);
    for (std::size_t i = 0; i < payload.size(); ++i) out.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
    return out;
}

// A frame with its first byte (FIN and opcode) as given.
std::string fragment(std::uint8_t first, const std::string& payload) {
    std::string frame = maskedFrame(1, payload);
    frame[0] = static_cast<char>(first);
    return frame;
}

std::vector<Bytes> seeds() {
    const std::string hello = R"({"t":"hello","pkid":"x","ct":"AA==","ek":"AA==","mlk":"AA=="})";
    const std::vector<std::string> texts = {
        upgradeRequest("/" + room) + maskedFrame(1, hello) + maskedFrame(1, std::string(300, 'Q')) +
            maskedFrame(8, std::string("\x03\xe8", 2)),
        upgradeRequest("/" + room) + maskedFrame(2, "binary"),
        upgradeRequest("/" + room) + fragment(0x01, "caf\xc3") + maskedFrame(9, "ping") + fragment(0x80, "\xa9") +
            maskedFrame(1, std::string(5000, 'L')),
        upgradeRequest("/" + std::string(128, 'A')),
        upgradeRequest("/" + room + "?x=1"),
        "GET /" + room + " HTTP/1.1\r\nHost: relay.example\r\n\r\n",
        "POST /" + room + " HTTP/1.1\r\nHost: r\r\nContent-Length: 5\r\n\r\nhello",
    };
    std::vector<Bytes> out;
    for (const auto& t : texts) out.emplace_back(t.begin(), t.end());
    return out;
}

std::string_view roomToken(std::string_view target) {
    return target.substr(target.starts_with("//") ? 2 : 1);
}

bool isRoomPath(std::string_view target) {
    if (target.size() == 130 && target.starts_with("//")) target.remove_prefix(1);
    return target.size() == 129 && target[0] == '/' &&
           std::all_of(target.begin() + 1, target.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// UTF-8 as the standard defines it, decoded the plain way: no overlong form, no surrogate,
// nothing past U+10FFFF.
bool isUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = [&](std::size_t at) { return static_cast<std::uint32_t>(static_cast<unsigned char>(text[at])); };
        const std::uint32_t lead = byte(i);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        std::uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) return false;
            point = (point << 6) | (byte(i + k) & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < least[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

struct Seen {
    FrameReader::Event::Kind kind;
    std::uint16_t code;
    std::string data;
    bool operator==(const Seen&) const = default;
};

std::vector<Seen> readFrames(std::string_view bytes, std::size_t piece, std::size_t max) {
    FrameReader reader(max);
    std::vector<Seen> seen;
    while (!bytes.empty()) {
        std::string_view input = bytes.substr(0, piece);
        bytes.remove_prefix(input.size());
        for (FrameReader::Event event = reader.next(input); event.kind != FrameReader::Event::Kind::needMore;
             event = reader.next(input)) {
            const bool text = event.kind == FrameReader::Event::Kind::text;
            seen.push_back({event.kind, event.code, text ? reader.takeMessage() : std::string(event.payload)});
        }
        require(input.empty(), "the reader takes all it is given");
        require(reader.heldBytes() <= max, "an unfinished message within the frame limit");
    }
    return seen;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::writeSeedsIfAsked(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    UpgradeRequestParser parser;
    limitRequestParser(parser);
    parser.eager(true);
    beast::error_code ec;
    std::size_t used = 0;
    while (!parser.is_done() && used < input.size()) {
        const std::size_t n = parser.put(boost::asio::buffer(input.substr(used)), ec);
        if (ec || n == 0) break;
        used += n;
    }
    if (ec || !parser.is_done()) return 0;
    const UpgradeRequest request = parser.release();
    require(request.payload_size().value_or(0) == 0, "an opening request carries no body");

    const UpgradeDecision decision = judgeUpgradeRequest(request);
    if (decision.verdict != UpgradeDecision::Verdict::join) {
        require((decision.verdict == UpgradeDecision::Verdict::notFound) == !isRoomPath(request.target()),
                "404 exactly for paths that are not rooms");
        return 0;
    }
    require(isRoomPath(request.target()) && decision.token == roomToken(request.target()), "the token is the path");
    require(websocket::is_upgrade(request), "only upgrades join");

    // Smaller than the relay's, so that the limit is reached by inputs of fuzzing size.
    constexpr std::size_t max = 4096;
    const std::string_view frames = input.substr(used);
    const std::vector<Seen> whole = readFrames(frames, frames.size(), max);
    for (const Seen& seen : whole) {
        if (seen.kind != FrameReader::Event::Kind::text) continue;
        require(seen.data.size() <= max, "messages within the frame limit");
        require(isUtf8(seen.data), "text messages are UTF-8");
    }
    require(readFrames(frames, 1, max) == whole, "the same frames a byte at a time");
    return 0;
}
