#pragma once

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill {

// True when both have the same length and the same bytes. The time taken depends only on
// the lengths, never on where the bytes differ.
bool constantTimeEquals(BytesView a, BytesView b) noexcept;

}  // namespace duoquill
