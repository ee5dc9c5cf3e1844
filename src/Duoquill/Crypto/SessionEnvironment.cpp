#include "Duoquill/Crypto/SessionEnvironment.h"

#include "Duoquill/Platform/Primitives/Random.h"

namespace duoquill {

hpke::SenderContext SessionEntropy::hpkeSender(const p256::PublicKey& recipient, const hpke::KeySchedule& schedule) {
    return hpke::SenderContext::setup(recipient, schedule);
}

mlkem1024::Encapsulation SessionEntropy::encapsulate(BytesView encapsulationKey) {
    return mlkem1024::encapsulate(encapsulationKey);
}

std::uint32_t SessionEntropy::uniform(std::uint32_t upperBound) { return random::uniform(upperBound); }

void SessionEntropy::fill(std::span<std::uint8_t> out) { random::fill(out); }

SessionEntropy& SessionEntropy::system() {
    static SessionEntropy entropy;
    return entropy;
}

}  // namespace duoquill
