#include "Duoquill/Protocol/RelayMessages.h"

#include <boost/json/memory_resource.hpp>
#include <boost/json/parser.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <new>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Session/PFSChatSession.h"

namespace json = boost::json;

namespace duoquill::protocol {
namespace {

MessageType typeNamed(std::string_view name) {
    if (name == "hello") return MessageType::hello;
    if (name == "kex2") return MessageType::kex2;
    if (name == "ready") return MessageType::ready;
    if (name == "msg") return MessageType::msg;
    if (name == "bye") return MessageType::bye;
    if (name == "peer-disconnected") return MessageType::peerDisconnected;
    return MessageType::unknown;
}

const json::string* stringMember(const json::object& object, std::string_view name) {
    const auto* member = object.if_contains(name);
    return member != nullptr && member->is_string() ? &member->as_string() : nullptr;
}

std::optional<Bytes> base64Member(const json::object& object, std::string_view name) {
    const auto* text = stringMember(object, name);
    if (text == nullptr) return std::nullopt;
    return bytesFromBase64String(std::string_view(*text));
}

// A JSON integer that fits an unsigned 64-bit counter; fractions, negatives and numbers past
// 2^64 (which the parser keeps as doubles) are not one.
std::optional<std::uint64_t> counterMember(const json::object& object, std::string_view name) {
    const auto* member = object.if_contains(name);
    if (member == nullptr) return std::nullopt;
    if (member->is_uint64()) return member->as_uint64();
    if (member->is_int64() && member->as_int64() >= 0) return static_cast<std::uint64_t>(member->as_int64());
    return std::nullopt;
}

bool trueMember(const json::object& object, std::string_view name) {
    const auto* member = object.if_contains(name);
    return member != nullptr && member->is_bool() && member->as_bool();
}

// Heap memory wiped before it is given back. JSON values need no more than the default
// alignment (and the parser does not always pass the same alignment back).
class WipingResource final : public json::memory_resource {
    void* do_allocate(std::size_t bytes, std::size_t) override { return ::operator new(bytes); }
    void do_deallocate(void* p, std::size_t bytes, std::size_t) override {
        secureWipe(p, bytes);
        ::operator delete(p);
    }
    bool do_is_equal(const json::memory_resource& other) const noexcept override { return this == &other; }
};

}  // namespace

std::optional<RelayMessage> parseRelayMessage(std::string_view jsonText, bool secret) {
    // The parser's own temporary storage and the value's both come from `storage`.
    const json::storage_ptr storage = secret ? json::make_shared_resource<WipingResource>() : json::storage_ptr();
    json::parser parser(storage);
    parser.reset(storage);
    boost::system::error_code ec;
    parser.write(jsonText.data(), jsonText.size(), ec);
    if (ec) return std::nullopt;
    json::value value = parser.release();
    if (!value.is_object()) return std::nullopt;
    auto& object = value.as_object();
    const auto* type = stringMember(object, "t");
    if (type == nullptr) return std::nullopt;
    std::string name(*type);
    const MessageType kind = typeNamed(name);
    return RelayMessage{kind, std::move(name), std::move(object)};
}

std::string encode(const Hello& hello) {
    const json::object object{
        {"t", "hello"},
        {"pkid", hello.pkid},
        {"ct", base64String(hello.ct)},
        {"ek", base64String(hello.ek)},
        {"mlk", base64String(hello.mlk)},
    };
    return json::serialize(object);
}

std::string encode(const Kex2& kex2) {
    const json::object object{{"t", "kex2"}, {"mc", base64String(kex2.mc)}};
    return json::serialize(object);
}

std::string encode(const Ready& ready) {
    // Written out by hand (base64url needs no escaping) so that no JSON buffer holds the
    // confirmation; the caller wipes the returned text once it is sealed.
    constexpr std::string_view head = R"({"t":"ready","kc":")", tail = R"("})";
    constexpr std::string_view lineStream = R"(","ls":)", lead = R"(,"lead":"sorted-key")";
    constexpr std::string_view parts = R"(,"parts":true)", steady = R"(,"steady":true)";
    std::string kc = base64URLString(ready.kc);
    const std::string ls =
        ready.announcement.lineStream ? std::to_string(*ready.announcement.lineStream) : std::string();
    std::string text;
    // One buffer, never reallocated.
    text.reserve(head.size() + kc.size() + lineStream.size() + ls.size() + lead.size() + parts.size() +
                 steady.size() + tail.size());
    text.append(head).append(kc);
    if (ready.announcement.lineStream) {
        text.append(lineStream).append(ls);
    } else {
        text.push_back('"');
    }
    if (ready.announcement.followsLeaderRule) text.append(lead);
    if (ready.announcement.joinsParts) text.append(parts);
    if (ready.announcement.steady) text.append(steady);
    text.push_back('}');
    secureWipe(kc.data(), kc.size());
    return text;
}

std::string encode(const Msg& msg, std::optional<LinePart> part) {
    json::object object{{"t", "msg"}, {"n", msg.n}, {"d", base64String(msg.d)}};
    if (msg.rk) object["rk"] = base64String(*msg.rk);
    if (msg.numbers) {
        object["s"] = msg.numbers->s;
        object["a"] = msg.numbers->a;
    }
    if (part) {
        object["p"] = part->index;
        object["pn"] = part->count;
    }
    return json::serialize(object);
}

std::string encodeBye(std::optional<std::uint64_t> confirmed) {
    json::object object{{"t", "bye"}};
    if (confirmed) object["a"] = *confirmed;
    return json::serialize(object);
}

std::string encodePeerDisconnected() {
    const json::object object{{"t", "peer-disconnected"}};
    return json::serialize(object);
}

std::optional<HelloDecoding> decodeHello(const RelayMessage& message) {
    const auto* pkid = stringMember(message.object, "pkid");
    auto ct = base64Member(message.object, "ct");
    auto ek = base64Member(message.object, "ek");
    if (pkid == nullptr || !ct || !ek) return std::nullopt;
    auto mlk = base64Member(message.object, "mlk");
    if (mlk && mlk->size() != PFSChatSession::mlkemPublicKeySize) mlk.reset();
    return HelloDecoding{std::string(*pkid), std::move(*ct), std::move(*ek), std::move(mlk)};
}

std::optional<Kex2> decodeKex2(const RelayMessage& message) {
    auto mc = base64Member(message.object, "mc");
    if (!mc) return std::nullopt;
    return Kex2{std::move(*mc)};
}

std::optional<SecureBytes> decodeReadyConfirmation(const RelayMessage& message) {
    const auto* kc = stringMember(message.object, "kc");
    if (kc == nullptr) return std::nullopt;
    auto decoded = bytesFromBase64URLString(std::string_view(*kc));
    if (!decoded) return std::nullopt;
    SecureBytes out(decoded->begin(), decoded->end());
    secureWipe(decoded->data(), decoded->size());
    return out;
}

Announcement decodeReadyAnnouncement(const RelayMessage& message) {
    Announcement announcement;
    announcement.lineStream = counterMember(message.object, "ls");
    const auto* lead = stringMember(message.object, "lead");
    announcement.followsLeaderRule = lead != nullptr && *lead == "sorted-key";
    announcement.joinsParts = trueMember(message.object, "parts");
    announcement.steady = trueMember(message.object, "steady");
    return announcement;
}

std::optional<Msg> decodeMsg(const RelayMessage& message) {
    const auto n = counterMember(message.object, "n");
    if (!n) return std::nullopt;
    auto d = base64Member(message.object, "d");
    if (!d) return std::nullopt;
    Msg msg{*n, std::move(*d), base64Member(message.object, "rk"), std::nullopt};
    const auto s = counterMember(message.object, "s");
    const auto a = counterMember(message.object, "a");
    if (s && a) msg.numbers = LineNumbers{*s, *a};
    return msg;
}

PartDecoding decodeMsgPart(const RelayMessage& message) {
    PartDecoding decoding;
    if (!message.object.contains("p") && !message.object.contains("pn")) return decoding;
    const auto index = counterMember(message.object, "p");
    const auto count = counterMember(message.object, "pn");
    if (index && count && *count >= 2 && *index < *count) {
        decoding.part = LinePart{*index, *count};
    } else {
        decoding.malformed = true;
    }
    return decoding;
}

std::optional<std::uint64_t> decodeByeConfirmation(const RelayMessage& message) {
    return counterMember(message.object, "a");
}

}  // namespace duoquill::protocol
