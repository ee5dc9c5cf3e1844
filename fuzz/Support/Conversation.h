#pragma once
// A reproducible world for the fuzz targets: every key and every random choice a session makes
// comes from one deterministic stream, so a pair of sessions built the same way holds the same
// keys in every run. That is what lets the committed seed frames and records, made by this
// code, open again in a later fuzzing run.
//
// Sessions are expensive to build (ML-KEM and ML-DSA key generation), so the targets build
// their pairs once and, before every input, put back the traffic state saved at a chosen
// point of the conversation (SessionSnapshot).

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Crypto/SessionEnvironment.h"
#include "Duoquill/Platform/System/Clock.h"
#include "Duoquill/Platform/KeyStorage/KeyStore.h"

namespace duoquill::fuzz {

// splitmix64: cheap, reproducible, good enough for keys nobody has to keep secret.
class DeterministicStream {
public:
    explicit DeterministicStream(std::uint64_t seed = 0) : state_(seed) {}
    void reset(std::uint64_t seed) noexcept { state_ = seed; }
    std::uint64_t next() noexcept;
    void fill(std::span<std::uint8_t> out) noexcept;
    Bytes bytes(std::size_t count);

private:
    std::uint64_t state_;
};

// Software keys made from the stream.
class DeterministicKeyStore final : public KeyStore {
public:
    explicit DeterministicKeyStore(DeterministicStream& stream) : stream_(stream) {}
    // ML-DSA keys are made and kept but never used; a stand-in saves their generation time.
    bool standInSigningKeys = false;
    std::unique_ptr<P256KeyAgreementKey> generateP256() override;
    std::unique_ptr<P256KeyAgreementKey> restoreP256(BytesView dataRepresentation) override;
    std::unique_ptr<MLKEM1024Key> generateMLKEM1024() override;
    std::unique_ptr<MLDSA87Key> generateMLDSA87() override;

    p256::PrivateKey p256Key();

private:
    DeterministicStream& stream_;
    SoftwareKeyStore software_;
};

// Every random choice of a session, from the stream.
class DeterministicEntropy final : public SessionEntropy {
public:
    DeterministicEntropy(DeterministicStream& stream, DeterministicKeyStore& keys) : stream_(stream), keys_(keys) {}
    hpke::SenderContext hpkeSender(const p256::PublicKey& recipient, const hpke::KeySchedule& schedule) override;
    mlkem1024::Encapsulation encapsulate(BytesView encapsulationKey) override;
    std::uint32_t uniform(std::uint32_t upperBound) override;
    void fill(std::span<std::uint8_t> out) override;

private:
    DeterministicStream& stream_;
    DeterministicKeyStore& keys_;
};

// Everything a session changes after its creation: handshake values, keys, chains, counters,
// transcript hashes, tunnel and ratchet. Restoring it makes the session behave exactly as
// when it was taken (short of destroy(), which also removes the epoch file).
class SessionSnapshot {
public:
    static SessionSnapshot take(PFSChatSession& session);
    void restore(PFSChatSession& session) const;

    struct State;  // defined in FuzzWorld.cpp, where the session's fields are reachable
    std::shared_ptr<const State> state;
};

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

// Seal an arbitrary padded plaintext as the session's next tunnel frame or record, as
// tunnelSeal and seal would after padding: the way to make authentic frames whose padded
// form is malformed.
Bytes sealTunnelPadded(PFSChatSession& session, const SecureBytes& padded);
PFSChatSession::SealedRecord sealRecordPadded(PFSChatSession& session, const SecureBytes& padded);

// Two identities in one room, their sessions, a private epoch directory and a still clock.
class FuzzWorld {
public:
    // Room code and identity scalars are fixed; `seed` starts the stream.
    explicit FuzzWorld(std::uint64_t seed = 0x6475'6f71'7569'6c6cULL);
    ~FuzzWorld();
    FuzzWorld(const FuzzWorld&) = delete;
    FuzzWorld& operator=(const FuzzWorld&) = delete;

    // What sessions of this world draw on.
    SessionEnvironment environment();
    // A new session of identity `index` (0 or 1) talking to the other one.
    std::unique_ptr<PFSChatSession> makeSession(int index);
    // Identity `index`: 0 has the scalar 0x11...11, 1 has 0x22...22.
    static p256::PrivateKey identityKey(int index);
    // The P-256 stage on both sides of a fresh pair.
    void completeHandshakes(PFSChatSession& a, PFSChatSession& b);
    // The post-quantum stage on both sides; a and b after completeHandshakes.
    void completePQ(PFSChatSession& a, PFSChatSession& b);

    // Restarts the stream, so that what follows repeats exactly.
    void reseed(std::uint64_t seed) { stream.reset(seed); }

    const std::string roomCode;
    DeterministicStream stream;
    DeterministicKeyStore keyStore{stream};
    DeterministicEntropy entropy{stream, keyStore};
    ManualClock clock;
    std::filesystem::path epochDirectory;
    std::shared_ptr<const P256KeyAgreementKey> identityKeys[2];
    p256::PublicKey identityPublicKeys[2];
};

// Sends one record the way the client does: ratchet header first, then the sealed record.
struct RecordMessage {
    std::optional<Bytes> header;
    PFSChatSession::SealedRecord record;
};
RecordMessage sendRecord(PFSChatSession& from, BytesView message, bool cover = false);
// Delivers it; returns what the receiver opened.
std::optional<SecureBytes> receiveRecord(PFSChatSession& to, const RecordMessage& message);

// Two pairs of sessions of one world, saved at chosen points of a conversation, for the
// targets that feed one side. The same points in every run.
class Conversation {
public:
    enum class Point : std::uint8_t {
        handshake,    // P-256 stage only: provisional tunnel keys, no session ID
        fresh,        // keys just derived; only the initiator has a ratchet step due
        alternating,  // after records and frames both ways, one frame lost on the way
        consecutive,  // then two records in a row from the first side
    };
    static constexpr int pointCount = 4;

    explicit Conversation(FuzzWorld& world);

    struct Sides {
        PFSChatSession& sender;
        PFSChatSession& receiver;
    };
    // Puts both sessions back to the point; `reverse` picks the second side as sender.
    Sides enter(Point point, bool reverse);

    // What each side sent (index 0: the first side) before the `alternating` point.
    std::array<std::vector<Bytes>, 2> earlierFrames;
    std::array<std::vector<RecordMessage>, 2> earlierRecords;

private:
    struct Saved {
        PFSChatSession* sides[2];
        SessionSnapshot snapshots[2];
    };
    void save(Point point, PFSChatSession& first, PFSChatSession& second);
    void exchange(int from, std::string_view text, bool deliverFrame = true);


    std::unique_ptr<PFSChatSession> handshakeSides_[2], sides_[2];
    Saved saved_[pointCount];
};

// One world and its conversation, built on first use and kept for the whole run.
struct ConversationWorld {
    FuzzWorld world;
    Conversation conversation{world};
    static ConversationWorld& instance();
};

}  // namespace duoquill::fuzz
