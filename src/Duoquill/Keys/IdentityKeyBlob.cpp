#include "Duoquill/Keys/IdentityKeyBlob.h"

#include <algorithm>
#include <array>

#include "Duoquill/Base/PlatformError.h"

namespace duoquill::IdentityKeyBlob {
namespace {

constexpr std::array<std::uint8_t, 3> magic = {'D', 'Q', 'K'};
constexpr std::uint8_t softwareVersion = 0x01;
constexpr std::uint8_t taggedVersion = 0x02;
constexpr std::uint8_t withAccessVersion = 0x03;
constexpr std::size_t taggedHeaderSize = magic.size() + 2;
constexpr std::size_t accessLengthSize = 2;

bool hasMagic(BytesView blob) {
    return blob.size() > magic.size() && std::equal(magic.begin(), magic.end(), blob.begin());
}

struct Parts {
    BytesView access;
    BytesView payload;
};

// The access record and payload of a version 2 or 3 blob; nothing when the lengths do not add up.
std::optional<Parts> split(BytesView blob) {
    if (!hasMagic(blob) || blob.size() <= taggedHeaderSize) return std::nullopt;
    const BytesView body = blob.subspan(taggedHeaderSize);
    const std::uint8_t version = blob[magic.size()];
    if (version == taggedVersion) return Parts{{}, body};
    if (version != withAccessVersion || body.size() < accessLengthSize) return std::nullopt;
    const std::size_t length = (std::size_t{body[0]} << 8) | body[1];
    if (length == 0 || length > maxAccessSize || body.size() <= accessLengthSize + length) return std::nullopt;
    return Parts{body.subspan(accessLengthSize, length), body.subspan(accessLengthSize + length)};
}

Parts partsOf(BytesView blob, IdentityBackend backend) {
    if (backend == IdentityBackend::software || backendOf(blob) != backend) {
        throw CryptoError("not a key blob of this key store");
    }
    return *split(blob);
}

}  // namespace

std::optional<IdentityBackend> backendOf(BytesView blob) {
    if (!hasMagic(blob)) return std::nullopt;
    if (blob[magic.size()] == softwareVersion) return IdentityBackend::software;
    if (!split(blob)) return std::nullopt;
    switch (const auto tag = static_cast<IdentityBackend>(blob[magic.size() + 1])) {
    case IdentityBackend::tpm:
    case IdentityBackend::pkcs11:
        return tag;
    case IdentityBackend::software:
        break;
    }
    return std::nullopt;
}

SecureBytes make(IdentityBackend backend, BytesView payload, const std::string& access) {
    if (access.size() > maxAccessSize) throw CryptoError("the key store's setting is too long to record");
    const std::size_t accessPart = access.empty() ? 0 : accessLengthSize + access.size();
    SecureBytes blob(taggedHeaderSize + accessPart + payload.size());
    std::copy(magic.begin(), magic.end(), blob.begin());
    blob[magic.size()] = access.empty() ? taggedVersion : withAccessVersion;
    blob[magic.size() + 1] = static_cast<std::uint8_t>(backend);
    auto at = blob.begin() + taggedHeaderSize;
    if (!access.empty()) {
        *at++ = static_cast<std::uint8_t>(access.size() >> 8);
        *at++ = static_cast<std::uint8_t>(access.size());
        at = std::copy(access.begin(), access.end(), at);
    }
    std::copy(payload.begin(), payload.end(), at);
    return blob;
}

BytesView payload(BytesView blob, IdentityBackend backend) { return partsOf(blob, backend).payload; }

std::string access(BytesView blob, IdentityBackend backend) {
    const BytesView recorded = partsOf(blob, backend).access;
    return {recorded.begin(), recorded.end()};
}

}  // namespace duoquill::IdentityKeyBlob
