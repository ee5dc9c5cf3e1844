#include "DuoquillCLI/Chat/PeerHellos.h"

#include <algorithm>

namespace duoquill::cli {

namespace {

// How many recent peer hellos are remembered, to recognise one delivered again.
constexpr std::size_t memory = 64;

}  // namespace

bool PeerHellos::seen(const Bytes& fingerprint) const {
    return std::find(recent_.begin(), recent_.end(), fingerprint) != recent_.end();
}

void PeerHellos::remember(const Hello& hello) {
    latest_ = hello;
    latestUsedUp_ = false;
    if (!seen(hello.fingerprint)) {
        recent_.push_back(hello.fingerprint);
        if (recent_.size() > memory) recent_.pop_front();
    }
}

void PeerHellos::usedUp(const Bytes& fingerprint) {
    if (latest_ && latest_->fingerprint == fingerprint) latestUsedUp_ = true;
}

const PeerHellos::Hello* PeerHellos::toAdopt(bool peerIsBack) {
    if (!latest_ || latestUsedUp_) return nullptr;
    return peerIsBack || adopts() ? &*latest_ : nullptr;
}

bool PeerHellos::adopts() {
    if (baseProtocolOnly_) return false;
    if (leads_ || peerFollowsRule_ == false) return true;
    if (peerFollowsRule_) return false;
    // Nothing heard yet (a process that has not completed a session): a peer that never adopts
    // needs to be answered as the leader would, one that follows the rule needs us to wait.
    // Doing each in turn meets both within two sessions.
    return freshSessionsWithoutKnownRule_++ % 2 == 0;
}

}  // namespace duoquill::cli
