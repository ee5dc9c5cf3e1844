#pragma once
// Peer-key parsing and validation, and the room names a pair of identities meets under.

#include <string_view>

namespace duoquill::KeyHelpers {

// True when the text names a P-256 public key (hexadecimal or base64url, compressed or raw)
// that is a point on the curve.
bool isValidPublicKey(std::string_view text);

}  // namespace duoquill::KeyHelpers
