#pragma once
// The identity item's blob. Version 1 is a software key (p256::PrivateKey::blob); version 2
// names the store that holds the key in one tag byte and carries what that store needs to
// find it again; version 3 adds how that store was reached when the key was made (a TPM's
// TCTI, a token's PIN file), for the later runs that are given no setting:
//
//   'D' 'Q' 'K' 0x02 | tag | payload
//   'D' 'Q' 'K' 0x03 | tag | access length (2 bytes) | access (UTF-8) | payload
//
// A software path reads only version 1, so a hardware blob is never taken for a key. Version 3
// is written only when there is something to record, so the blobs of a TPM at its usual device
// and of a token whose PIN is typed stay readable by clients that know version 2 alone.

#include <optional>
#include <string>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill {

enum class IdentityBackend : std::uint8_t { software = 0, tpm = 'T', pkcs11 = 'P' };

namespace IdentityKeyBlob {

inline constexpr std::size_t maxAccessSize = 4096;

// The store a blob belongs to; nothing when it is no identity blob at all.
std::optional<IdentityBackend> backendOf(BytesView blob);
// Version 2 when `access` is empty, else version 3. Throws CryptoError when `access` is longer
// than maxAccessSize.
SecureBytes make(IdentityBackend backend, BytesView payload, const std::string& access = {});
// The payload of a version 2 or 3 blob of this backend; throws CryptoError otherwise.
BytesView payload(BytesView blob, IdentityBackend backend);
// What a version 3 blob of this backend recorded; empty for version 2. Throws as payload().
std::string access(BytesView blob, IdentityBackend backend);

}  // namespace IdentityKeyBlob
}  // namespace duoquill
