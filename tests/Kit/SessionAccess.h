#pragma once
// The test kit's view of a session's private state, walked through the session's own
// description of its fields (forEachSecret, forEachState): every field by name, the secrets it
// holds, the storage it owns, snapshots that put a session back to an earlier point, authentic
// frames and records whose padded form the test chooses, and the format helpers.

#include <any>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Duoquill/Session/PFSChatSession.h"

namespace duoquill {

struct PFSChatSessionTestAccess {
    using S = PFSChatSession;

    // Every field of the state by its name: bytes in hex, numbers in decimal, flags as
    // true/false, the phase by its name, "null" for what is absent and "set" for a key object
    // that is present. Compared whole, it shows that a rejected input moved nothing.
    using Fields = std::map<std::string, std::string>;
    static Fields fields(const S& s);

    // Fields tests set or compare by hand.
    static auto& txCounter(S& s) { return s.txCounter_; }
    static auto& rxCounter(S& s) { return s.rxCounter_; }
    static auto& tunnelTxCounter(S& s) { return s.tunnelTxCounter_; }
    static auto& tunnelRxCounter(S& s) { return s.tunnelRxCounter_; }
    static auto& rootKey(S& s) { return s.rootKey_; }

    // Per-room labels, in field order, and the class-wide ones by name.
    static std::vector<std::pair<std::string, Bytes>> perRoomLabels(const S& s);
    static std::vector<std::pair<std::string, std::string_view>> constantLabels();

    // The pure helpers of the formats.
    static std::optional<SecureBytes> unpad(BytesView padded) { return S::unpad(toSecure(padded)); }
    static SecureBytes tunnelUnpad(BytesView padded) { return S::tunnelUnpad(toSecure(padded)); }

    // Every secret key, chain and mask the session holds right now, named.
    static std::vector<std::pair<std::string, BytesView>> secrets(const S& s);
    // The session object itself and every buffer it still owns.
    static std::vector<BytesView> storage(const S& s);
    // Everything the session changes after creation, key objects shared with the session;
    // restoring it makes the session behave exactly as when it was taken.
    using Snapshot = std::vector<std::any>;
    static Snapshot take(S& s);
    static void restore(S& s, const Snapshot& snapshot);

    // Seal an arbitrary padded plaintext as the next tunnel frame or record, as tunnelSeal and
    // seal would after padding: the way to make authentic frames whose padded form is malformed.
    static Bytes sealTunnelPadded(S& s, const SecureBytes& padded);
    static S::SealedRecord sealRecordPadded(S& s, const SecureBytes& padded) { return s.sealPadded(padded); }

    // Counters and keys a receiver moves when it accepts something; compared before and after.
    struct ReceiveState {
        std::optional<SecureBytes> rxKey, rootKey, tunnelRxKey;
        std::uint64_t rxCounter = 0, tunnelRxCounter = 0;
        Bytes rxTranscriptHash;
        std::optional<Bytes> peerDHRatchetKey, peerMLKEMRatchetPublicKeyData;
        bool dhRatchetPending = false;
        bool hasDHRatchetPrivateKey = false;

        static ReceiveState of(S& s);
        bool operator==(const ReceiveState&) const = default;
    };
};

namespace test {
using Access = PFSChatSessionTestAccess;
using ReceiveState = Access::ReceiveState;
}  // namespace test

}  // namespace duoquill
