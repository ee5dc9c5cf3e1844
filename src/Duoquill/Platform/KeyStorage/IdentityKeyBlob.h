#pragma once
// The identity item's blob. Version 1 is a software key (p256::PrivateKey::blob); version 2
// names the store that holds the key in one tag byte and carries what that store needs to
// find it again:
//
//   'D' 'Q' 'K' 0x02 | tag | payload
//
// A software path reads only version 1, so a hardware blob is never taken for a key.

#include <optional>

#include "Duoquill/Platform/SecureBytes.h"

namespace duoquill {

enum class IdentityBackend : std::uint8_t { software = 0, tpm = 'T', pkcs11 = 'P' };

namespace IdentityKeyBlob {

// The store a blob belongs to; nothing when it is no identity blob at all.
std::optional<IdentityBackend> backendOf(BytesView blob);
SecureBytes make(IdentityBackend backend, BytesView payload);
// The payload of a version 2 blob of this backend; throws CryptoError otherwise.
BytesView payload(BytesView blob, IdentityBackend backend);

}  // namespace IdentityKeyBlob
}  // namespace duoquill
