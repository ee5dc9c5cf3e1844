#pragma once
// The test kit's view of a session's private state, walked through the session's own
// description of its fields (forEachSecret, forEachState): the secrets it holds, the storage it
// owns, snapshots that put a session back to an earlier point, and authentic frames and
// records whose padded form the test chooses.

#include <any>
#include <string>
#include <utility>
#include <vector>

#include "Duoquill/Crypto/PFSChatSession.h"

namespace duoquill {

namespace test {

// Counters and keys a receiver moves when it accepts something; compared before and after.
struct ReceiveState {
    std::optional<SecureBytes> rxKey, rootKey, tunnelRxKey;
    std::uint64_t rxCounter = 0, tunnelRxCounter = 0;
    Bytes rxTranscriptHash;
    std::optional<Bytes> peerDHRatchetKey, peerMLKEMRatchetPublicKeyData;
    bool dhRatchetPending = false;
    bool hasDHRatchetPrivateKey = false;

    static ReceiveState of(PFSChatSession& session);
    bool operator==(const ReceiveState&) const = default;
};


}  // namespace test

struct PFSChatSessionTestAccess {
    using S = PFSChatSession;

    // Every secret key, chain and mask the session holds right now, named.
    static std::vector<std::pair<std::string, BytesView>> secrets(const S& s);
    // The session object itself and every buffer it still owns.
    static std::vector<BytesView> storage(const S& s);
    // Everything the session changes after creation, key objects shared with the session;
    // restoring it makes the session behave exactly as when it was taken (short of destroy(),
    // which also removes the epoch file).
    using Snapshot = std::vector<std::any>;
    static Snapshot take(S& s);
    static void restore(S& s, const Snapshot& snapshot);

    // Seal an arbitrary padded plaintext as the next tunnel frame or record, as tunnelSeal and
    // seal would after padding: the way to make authentic frames whose padded form is malformed.
    static Bytes sealTunnelPadded(S& s, const SecureBytes& padded);
    static S::SealedRecord sealRecordPadded(S& s, const SecureBytes& padded) { return s.sealPadded(padded); }

    static test::ReceiveState receiveState(S& s);
};

namespace test {
using Access = PFSChatSessionTestAccess;
}  // namespace test

}  // namespace duoquill
