#include "Duoquill/Base/CryptoCore.h"

#include <array>
#include <bit>
#include <cstring>

namespace duoquill {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> makeDecodeTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& v : table) v = -1;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return table;
}
constexpr auto kDecode = makeDecodeTable();

// Two output characters for every 12 bits of input, in memory order on a little-endian host.
constexpr std::array<std::uint16_t, 4096> makePairTable() {
    std::array<std::uint16_t, 4096> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        table[i] = static_cast<std::uint16_t>(static_cast<unsigned char>(kAlphabet[i >> 6]) |
                                              static_cast<unsigned char>(kAlphabet[i & 63]) << 8);
    }
    return table;
}
constexpr auto kPairs = makePairTable();

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

std::string withoutBlanks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != ' ' && c != '\n' && c != '\r') out.push_back(c);
    }
    return out;
}

}  // namespace

namespace {

// Both directions write into a buffer sized once: the frames are kilobytes, and a
// character-at-a-time append cost more than the ciphers on the record path.
//
// wide: also use the 8 KiB table of pairs. Its lookups, indexed by the data, touch many cache
// lines, so it is kept for public bytes (ciphertext, frames, public keys).
std::string encodeBase64(BytesView bytes, bool wide) {
    std::string out((bytes.size() + 2) / 3 * 4, '\0');
    char* at = out.data();
    std::size_t i = 0;
    if (std::endian::native == std::endian::little && wide) {
        // Six bytes give eight characters: four lookups of 12 bits and one store. The load
        // reads two bytes past the six, so it stops eight bytes before the end.
        for (; i + 8 <= bytes.size(); i += 6) {
            std::uint64_t v;
            std::memcpy(&v, bytes.data() + i, sizeof v);
            v = __builtin_bswap64(v);
            const std::uint64_t chars = std::uint64_t{kPairs[(v >> 52) & 0xFFF]} |
                                        std::uint64_t{kPairs[(v >> 40) & 0xFFF]} << 16 |
                                        std::uint64_t{kPairs[(v >> 28) & 0xFFF]} << 32 |
                                        std::uint64_t{kPairs[(v >> 16) & 0xFFF]} << 48;
            std::memcpy(at, &chars, sizeof chars);
            at += 8;
        }
    }
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        at[0] = kAlphabet[(v >> 18) & 63];
        at[1] = kAlphabet[(v >> 12) & 63];
        at[2] = kAlphabet[(v >> 6) & 63];
        at[3] = kAlphabet[v & 63];
        at += 4;
    }
    const std::size_t rest = bytes.size() - i;
    if (rest != 0) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (rest == 2 ? std::uint32_t{bytes[i + 1]} << 8 : 0);
        at[0] = kAlphabet[(v >> 18) & 63];
        at[1] = kAlphabet[(v >> 12) & 63];
        at[2] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        at[3] = '=';
    }
    return out;
}

}  // namespace

std::string base64String(BytesView bytes) { return encodeBase64(bytes, true); }

std::optional<Bytes> bytesFromBase64String(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    Bytes out(text.size() / 4 * 3);
    std::size_t written = 0;
    std::size_t i = 0;
    // Every quantum but the last holds four alphabet characters: any other character,
    // padding included, decodes to -1 and shows in the OR of the four.
    for (; i + 4 < text.size(); i += 4) {
        const std::int32_t a = kDecode[static_cast<unsigned char>(text[i])];
        const std::int32_t b = kDecode[static_cast<unsigned char>(text[i + 1])];
        const std::int32_t c = kDecode[static_cast<unsigned char>(text[i + 2])];
        const std::int32_t d = kDecode[static_cast<unsigned char>(text[i + 3])];
        if ((a | b | c | d) < 0) return std::nullopt;
        const auto v = static_cast<std::uint32_t>(a << 18 | b << 12 | c << 6 | d);
        out[written] = static_cast<std::uint8_t>(v >> 16);
        out[written + 1] = static_cast<std::uint8_t>(v >> 8);
        out[written + 2] = static_cast<std::uint8_t>(v);
        written += 3;
    }
    for (; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int pad = 0;
        std::uint32_t v = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            if (c == '=') {
                // Padding only in the last quantum, only in its last two places, and only trailing.
                if (!last || j < 2) return std::nullopt;
                ++pad;
                v <<= 6;
                continue;
            }
            if (pad != 0) return std::nullopt;
            const std::int8_t d = kDecode[static_cast<unsigned char>(c)];
            if (d < 0) return std::nullopt;
            v = (v << 6) | static_cast<std::uint32_t>(d);
        }
        out[written++] = static_cast<std::uint8_t>(v >> 16);
        if (pad < 2) out[written++] = static_cast<std::uint8_t>(v >> 8);
        if (pad < 1) out[written++] = static_cast<std::uint8_t>(v);
    }
    out.resize(written);
    return out;
}

std::string base64URLString(BytesView bytes) {
    // Key confirmations go this way too: only the 64-character alphabet is looked up.
    std::string standard = encodeBase64(bytes, false);
    std::string out;
    out.reserve(standard.size());
    for (char c : standard) {
        if (c == '+') out.push_back('-');
        else if (c == '/') out.push_back('_');
        else if (c != '=') out.push_back(c);
    }
    return out;
}

std::optional<Bytes> bytesFromBase64URLString(std::string_view text) {
    std::string s;
    s.reserve(text.size() + 3);
    for (char c : text) {
        if (c == '-') s.push_back('+');
        else if (c == '_') s.push_back('/');
        else s.push_back(c);
    }
    switch (s.size() % 4) {
        case 3: s += "="; break;
        case 2: s += "=="; break;
        case 1: s += "==="; break;
        default: break;
    }
    for (char c : s) {
        if (static_cast<unsigned char>(c) > 0x7F) return std::nullopt;
    }
    return bytesFromBase64String(s);
}

std::optional<Bytes> bytesFromLegacyPairedString(std::string_view text) {
    const std::string s = withoutBlanks(text);
    if (s.size() % 2 != 0) return std::nullopt;
    Bytes out;
    out.reserve(s.size() / 2);
    for (std::size_t i = 0; i < s.size(); i += 2) {
        if (!isHexDigit(s[i]) || !isHexDigit(s[i + 1])) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(hexValue(s[i]) * 16 + hexValue(s[i + 1])));
    }
    return out;
}

std::optional<Bytes> bytesFromPublicKeyString(std::string_view text) {
    const std::string s = withoutBlanks(text);
    bool allHex = s.size() % 2 == 0;
    for (char c : s) allHex = allHex && isHexDigit(c);
    if (allHex) {
        if (auto hex = bytesFromLegacyPairedString(s); hex && encryptionCurveFrom(static_cast<long long>(hex->size()))) {
            return hex;
        }
    }
    auto decoded = bytesFromBase64URLString(s);
    if (!decoded || !encryptionCurveFrom(static_cast<long long>(decoded->size()))) return std::nullopt;
    return decoded;
}

std::string hexString(BytesView bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

std::optional<EncryptionCurve> encryptionCurveFrom(long long publicKeyByteCount) {
    if (publicKeyByteCount == 33 || publicKeyByteCount == 64) return EncryptionCurve::p256;
    return std::nullopt;
}

}  // namespace duoquill
