#include "Duoquill/Platform/KeyStorage/IdentityKeyBlob.h"

#include <algorithm>
#include <array>

#include "Duoquill/Platform/PlatformError.h"

namespace duoquill::IdentityKeyBlob {
namespace {

constexpr std::array<std::uint8_t, 3> magic = {'D', 'Q', 'K'};
constexpr std::uint8_t softwareVersion = 0x01;
constexpr std::uint8_t taggedVersion = 0x02;
constexpr std::size_t taggedHeaderSize = magic.size() + 2;

bool hasMagic(BytesView blob) {
    return blob.size() > magic.size() && std::equal(magic.begin(), magic.end(), blob.begin());
}

}  // namespace

std::optional<IdentityBackend> backendOf(BytesView blob) {
    if (!hasMagic(blob)) return std::nullopt;
    const std::uint8_t version = blob[magic.size()];
    if (version == softwareVersion) return IdentityBackend::software;
    if (version != taggedVersion || blob.size() <= taggedHeaderSize) return std::nullopt;
    switch (const auto tag = static_cast<IdentityBackend>(blob[magic.size() + 1])) {
    case IdentityBackend::tpm:
    case IdentityBackend::pkcs11:
        return tag;
    case IdentityBackend::software:
        break;
    }
    return std::nullopt;
}

SecureBytes make(IdentityBackend backend, BytesView payload) {
    SecureBytes blob(taggedHeaderSize + payload.size());
    std::copy(magic.begin(), magic.end(), blob.begin());
    blob[magic.size()] = taggedVersion;
    blob[magic.size() + 1] = static_cast<std::uint8_t>(backend);
    std::copy(payload.begin(), payload.end(), blob.begin() + taggedHeaderSize);
    return blob;
}

BytesView payload(BytesView blob, IdentityBackend backend) {
    if (backend == IdentityBackend::software || backendOf(blob) != backend) {
        throw CryptoError("not a key blob of this key store");
    }
    return blob.subspan(taggedHeaderSize);
}

}  // namespace duoquill::IdentityKeyBlob
