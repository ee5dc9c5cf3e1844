// What the relay reads from a new connection: the opening HTTP request (parsed with the
// relay's limits and judged by the relay's own rule), then, for a request that joins a room,
// the WebSocket upgrade and the client's frames read with the relay's settings.
//
// Input: the bytes the client sends, request head first.
//
// Invariants: only "/" (or "//") + 128 lower-case hexadecimal characters with a WebSocket upgrade joins,
// and the token is the path; a request carrying a body is never accepted; every message read
// after the upgrade is within the frame limit.

#include <boost/asio/io_context.hpp>
#include <boost/beast/_experimental/test/stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <string>

#include "DuoquillRelay/RelayOptions.h"
#include "DuoquillRelay/UpgradeRequest.h"
#include "FuzzTarget.h"

using namespace duoquill;
using namespace duoquill::relay;
using duoquill::fuzz::require;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {

constexpr int maxMessages = 64;

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

std::vector<Bytes> seeds() {
    const std::string hello = R"({"t":"hello","pkid":"x","ct":"AA==","ek":"AA==","mlk":"AA=="})";
    const std::vector<std::string> texts = {
        upgradeRequest("/" + room) + maskedFrame(1, hello) + maskedFrame(1, std::string(300, 'Q')) +
            maskedFrame(8, std::string("\x03\xe8", 2)),
        upgradeRequest("/" + room) + maskedFrame(2, "binary"),
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

    boost::asio::io_context io;
    beast::test::stream client(io);
    websocket::stream<beast::test::stream> server(io);
    server.next_layer().connect(client);
    const RelayOptions options;
    server.read_message_max(options.maxFrameBytes);
    server.auto_fragment(false);
    client.write_some(boost::asio::buffer(input.substr(used)), ec);
    client.close();
    server.accept(request, ec);
    if (ec) return 0;
    beast::flat_buffer buffer;
    for (int i = 0; i < maxMessages; ++i) {
        server.read(buffer, ec);
        if (ec) break;
        require(buffer.size() <= options.maxFrameBytes, "messages within the frame limit");
        if (!server.got_text()) break;  // the relay closes on binary frames
        buffer.consume(buffer.size());
    }
    return 0;
}
