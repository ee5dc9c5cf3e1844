#pragma once
// What the chat machine knows of the peer's hellos across sessions, and the recovery rule that
// decides whether a fresh session answers the latest one at once.
//
// Each session sends one hello and completes its handshake with one peer hello only, so both
// sides must pick each other's current hello. Of the two identities, the one whose compressed
// public key sorts first leads: its fresh sessions adopt the peer's latest hello unless that
// hello is used up; the other side's wait for a new one. A peer that announced it does not
// follow the rule is answered as the leader would answer it.

#include <cstddef>
#include <deque>
#include <optional>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::cli {

class PeerHellos {
public:
    struct Hello {
        Bytes ct, ek, mlk;
        Bytes fingerprint;  // SHA-256 of the three values: tells hellos apart
    };

    PeerHellos(bool leads, bool baseProtocolOnly) : leads_(leads), baseProtocolOnly_(baseProtocolOnly) {}

    // A new relay connection: what the peer announced before belongs to the old one.
    void forgetLatest() noexcept { latest_.reset(); }
    // Whether this hello came before (one delivered again announces nothing new).
    bool seen(const Bytes& fingerprint) const;
    // The peer's latest hello, not used up yet.
    void remember(const Hello& hello);
    // A session took this hello and completed (or led nowhere with it): if it is the latest, no
    // later session may adopt it.
    void usedUp(const Bytes& fingerprint);
    void latestUsedUp() noexcept { latestUsedUp_ = true; }
    // The hello a fresh session answers at once, if any; `peerIsBack`: a new hello came while
    // active, which is answered whatever the rule.
    const Hello* toAdopt(bool peerIsBack);

    // What the peer's "ready" announced; nothing before one.
    void peerAnnounced(bool followsLeaderRule) noexcept { peerFollowsRule_ = followsLeaderRule; }
    std::optional<bool> peerFollowsRule() const noexcept { return peerFollowsRule_; }

private:
    bool adopts();

    const bool leads_;
    const bool baseProtocolOnly_;
    std::optional<Hello> latest_;
    bool latestUsedUp_ = false;
    std::deque<Bytes> recent_;  // fingerprints, newest last
    std::optional<bool> peerFollowsRule_;
    int freshSessionsWithoutKnownRule_ = 0;
};

}  // namespace duoquill::cli
