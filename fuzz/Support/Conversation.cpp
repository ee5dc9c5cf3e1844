#include "FuzzWorld.h"

#include <cstdlib>
#include <stdexcept>

#include "Duoquill/Platform/Primitives/AesGcm.h"
#include "Duoquill/Platform/Primitives/Hpke.h"
#include "Duoquill/Platform/PQ/MLDSA87.h"
#include "Duoquill/Platform/PQ/MLKEM1024.h"
#include "Duoquill/Platform/PlatformError.h"

namespace duoquill {

namespace {

// Key objects shared between a session and the snapshots taken of it: the session owns its
// keys through unique_ptr, a snapshot must be able to hand the same key back any number of
// times.
class SharedP256Key final : public P256KeyAgreementKey {
public:
    explicit SharedP256Key(std::shared_ptr<const P256KeyAgreementKey> key) : key_(std::move(key)) {}
    p256::PublicKey publicKey() const override { return key_->publicKey(); }
    SecureBytes sharedSecret(const p256::PublicKey& peer) const override { return key_->sharedSecret(peer); }
    SecureBytes dataRepresentation() const override { return key_->dataRepresentation(); }

private:
    std::shared_ptr<const P256KeyAgreementKey> key_;
};

class SharedMLKEMKey final : public MLKEM1024Key {
public:
    explicit SharedMLKEMKey(std::shared_ptr<const MLKEM1024Key> key) : key_(std::move(key)) {}
    const Bytes& publicKey() const override { return key_->publicKey(); }
    SecureBytes decapsulate(BytesView ciphertext) const override { return key_->decapsulate(ciphertext); }

private:
    std::shared_ptr<const MLKEM1024Key> key_;
};

// Moves the key out of the session's slot into shared ownership and leaves a forwarder behind.
template <class Key, class Forwarder>
std::shared_ptr<const Key> share(std::unique_ptr<Key>& slot) {
    if (!slot) return nullptr;
    std::shared_ptr<const Key> shared(std::move(slot));
    slot = std::make_unique<Forwarder>(shared);
    return shared;
}

template <class Key, class Forwarder>
std::unique_ptr<Key> forward(const std::shared_ptr<const Key>& shared) {
    if (!shared) return nullptr;
    return std::make_unique<Forwarder>(shared);
}

}  // namespace

// The fuzz targets' view of a session's private state.
struct PFSChatSessionTestAccess {
    using S = PFSChatSession;

    // Everything a session changes after creation, key objects shared with the session.
    struct Traffic {
        std::shared_ptr<const P256KeyAgreementKey> ephemeralPrivateKey;
        std::shared_ptr<const MLKEM1024Key> mlkemPrivateKey;
        std::optional<Bytes> peerMLKEMPublicKeyData;
        std::optional<SecureBytes> p256SharedSecret;
        std::optional<Bytes> orderedEpkSalt;
        std::optional<SecureBytes> mlkemSharedSecretData;
        std::optional<Bytes> mlkemCiphertextData;
        S::HandshakePhase handshakePhase;
        std::optional<bool> isInitiator;
        std::optional<SecureBytes> txKey, rxKey, sessionID, resumeAuthKey;
        std::uint64_t txCounter, rxCounter;
        std::uint8_t txDirection, rxDirection;
        double sessionCreatedAt;
        SecureBytes txNonceMask, rxNonceMask;
        std::shared_ptr<const P256KeyAgreementKey> dhRatchetPrivateKey;
        std::optional<p256::PublicKey> dhRatchetPublicKey, peerDHRatchetKey;
        std::shared_ptr<const MLKEM1024Key> mlkemRatchetPrivateKey;
        Bytes mlkemRatchetPublicKeyData;
        std::optional<Bytes> peerMLKEMRatchetPublicKeyData, mlkemRatchetCiphertext;
        bool dhRatchetPending;
        std::optional<SecureBytes> rootKey, tunnelTxKey, tunnelRxKey;
        std::uint64_t tunnelTxCounter, tunnelRxCounter;
        std::optional<SecureBytes> localKeyConfirmation, expectedPeerKeyConfirmation;
        Bytes txTranscriptHash, rxTranscriptHash;
        std::shared_ptr<const P256KeyAgreementKey> localStaticKey;
        std::optional<p256::PublicKey> peerStaticKey;
        // Wiped by a completed handshake; a restored session must be able to complete again.
        std::optional<SecureBytes> pskDeniable;
    };

    static Traffic take(S& s) {
        return Traffic{share<P256KeyAgreementKey, SharedP256Key>(s.ephemeralPrivateKey_),
                       share<MLKEM1024Key, SharedMLKEMKey>(s.mlkemPrivateKey_),
                       s.peerMLKEMPublicKeyData_,
                       s.p256SharedSecret_,
                       s.orderedEpkSalt_,
                       s.mlkemSharedSecretData_,
                       s.mlkemCiphertextData_,
                       s.handshakePhase_,
                       s.isInitiator_,
                       s.txKey_,
                       s.rxKey_,
                       s.sessionID_,
                       s.resumeAuthKey_,
                       s.txCounter_,
                       s.rxCounter_,
                       s.txDirection_,
                       s.rxDirection_,
                       s.sessionCreatedAt_,
                       s.txNonceMask_,
                       s.rxNonceMask_,
                       share<P256KeyAgreementKey, SharedP256Key>(s.dhRatchetPrivateKey_),
                       s.dhRatchetPublicKey_,
                       s.peerDHRatchetKey_,
                       share<MLKEM1024Key, SharedMLKEMKey>(s.mlkemRatchetPrivateKey_),
                       s.mlkemRatchetPublicKeyData_,
                       s.peerMLKEMRatchetPublicKeyData_,
                       s.mlkemRatchetCiphertext_,
                       s.dhRatchetPending_,
                       s.rootKey_,
                       s.tunnelTxKey_,
                       s.tunnelRxKey_,
                       s.tunnelTxCounter_,
                       s.tunnelRxCounter_,
                       s.localKeyConfirmation_,
                       s.expectedPeerKeyConfirmation_,
                       s.txTranscriptHash_,
                       s.rxTranscriptHash_,
                       s.localStaticKey_,
                       s.peerStaticKey_,
                       s.pskDeniable_};
    }

    static void restore(S& s, const Traffic& t) {
        s.ephemeralPrivateKey_ = forward<P256KeyAgreementKey, SharedP256Key>(t.ephemeralPrivateKey);
        s.mlkemPrivateKey_ = forward<MLKEM1024Key, SharedMLKEMKey>(t.mlkemPrivateKey);
        s.peerMLKEMPublicKeyData_ = t.peerMLKEMPublicKeyData;
        s.p256SharedSecret_ = t.p256SharedSecret;
        s.orderedEpkSalt_ = t.orderedEpkSalt;
        s.mlkemSharedSecretData_ = t.mlkemSharedSecretData;
        s.mlkemCiphertextData_ = t.mlkemCiphertextData;
        s.handshakePhase_ = t.handshakePhase;
        s.isInitiator_ = t.isInitiator;
        s.txKey_ = t.txKey;
        s.rxKey_ = t.rxKey;
        s.sessionID_ = t.sessionID;
        s.resumeAuthKey_ = t.resumeAuthKey;
        s.txCounter_ = t.txCounter;
        s.rxCounter_ = t.rxCounter;
        s.txDirection_ = t.txDirection;
        s.rxDirection_ = t.rxDirection;
        s.sessionCreatedAt_ = t.sessionCreatedAt;
        s.txNonceMask_ = t.txNonceMask;
        s.rxNonceMask_ = t.rxNonceMask;
        s.dhRatchetPrivateKey_ = forward<P256KeyAgreementKey, SharedP256Key>(t.dhRatchetPrivateKey);
        s.dhRatchetPublicKey_ = t.dhRatchetPublicKey;
        s.peerDHRatchetKey_ = t.peerDHRatchetKey;
        s.mlkemRatchetPrivateKey_ = forward<MLKEM1024Key, SharedMLKEMKey>(t.mlkemRatchetPrivateKey);
        s.mlkemRatchetPublicKeyData_ = t.mlkemRatchetPublicKeyData;
        s.peerMLKEMRatchetPublicKeyData_ = t.peerMLKEMRatchetPublicKeyData;
        s.mlkemRatchetCiphertext_ = t.mlkemRatchetCiphertext;
        s.dhRatchetPending_ = t.dhRatchetPending;
        s.rootKey_ = t.rootKey;
        s.tunnelTxKey_ = t.tunnelTxKey;
        s.tunnelRxKey_ = t.tunnelRxKey;
        s.tunnelTxCounter_ = t.tunnelTxCounter;
        s.tunnelRxCounter_ = t.tunnelRxCounter;
        s.localKeyConfirmation_ = t.localKeyConfirmation;
        s.expectedPeerKeyConfirmation_ = t.expectedPeerKeyConfirmation;
        s.txTranscriptHash_ = t.txTranscriptHash;
        s.rxTranscriptHash_ = t.rxTranscriptHash;
        s.localStaticKey_ = t.localStaticKey;
        s.peerStaticKey_ = t.peerStaticKey;
        s.pskDeniable_ = t.pskDeniable;
    }

    static fuzz::ReceiveState receiveState(S& s) {
        fuzz::ReceiveState r;
        r.rxKey = s.rxKey_;
        r.rootKey = s.rootKey_;
        r.tunnelRxKey = s.tunnelRxKey_;
        r.rxCounter = s.rxCounter_;
        r.tunnelRxCounter = s.tunnelRxCounter_;
        r.rxTranscriptHash = s.rxTranscriptHash_;
        if (s.peerDHRatchetKey_) r.peerDHRatchetKey = s.peerDHRatchetKey_->raw();
        r.peerMLKEMRatchetPublicKeyData = s.peerMLKEMRatchetPublicKeyData_;
        r.dhRatchetPending = s.dhRatchetPending_;
        r.hasDHRatchetPrivateKey = s.dhRatchetPrivateKey_ != nullptr;
        return r;
    }

    static Bytes sealTunnelPadded(S& s, const SecureBytes& padded) {
        const std::uint64_t counter = s.tunnelTxCounter_;
        const auto nonce = S::maskedNonce(counter, s.txNonceMask_);
        const Bytes sealed =
            aesgcm::seal(*s.tunnelTxKey_, nonce, padded, S::tunnelAAD(s.txDirection_, counter, s.chainSalt()));
        Bytes frame;
        S::appendBigEndian(frame, counter, 8);
        frame.insert(frame.end(), sealed.begin(), sealed.end());
        s.tunnelTxKey_ = S::tunnelRatchet(*s.tunnelTxKey_, s.chainSalt());
        s.tunnelTxCounter_ = counter + 1;
        return frame;
    }

    static S::SealedRecord sealRecordPadded(S& s, const SecureBytes& padded) { return s.sealPadded(padded); }
};

namespace fuzz {

struct SessionSnapshot::State : PFSChatSessionTestAccess::Traffic {};

SessionSnapshot SessionSnapshot::take(PFSChatSession& session) {
    auto state = std::make_shared<State>();
    static_cast<PFSChatSessionTestAccess::Traffic&>(*state) = PFSChatSessionTestAccess::take(session);
    return SessionSnapshot{std::move(state)};
}

void SessionSnapshot::restore(PFSChatSession& session) const { PFSChatSessionTestAccess::restore(session, *state); }

ReceiveState ReceiveState::of(PFSChatSession& session) { return PFSChatSessionTestAccess::receiveState(session); }

Bytes sealTunnelPadded(PFSChatSession& session, const SecureBytes& padded) {
    return PFSChatSessionTestAccess::sealTunnelPadded(session, padded);
}

PFSChatSession::SealedRecord sealRecordPadded(PFSChatSession& session, const SecureBytes& padded) {
    return PFSChatSessionTestAccess::sealRecordPadded(session, padded);
}

std::uint64_t DeterministicStream::next() noexcept {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

void DeterministicStream::fill(std::span<std::uint8_t> out) noexcept {
    for (std::size_t i = 0; i < out.size(); i += 8) {
        const std::uint64_t word = next();
        for (std::size_t j = 0; j < 8 && i + j < out.size(); ++j) out[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
    }
}

Bytes DeterministicStream::bytes(std::size_t count) {
    Bytes out(count);
    fill(out);
    return out;
}

p256::PrivateKey DeterministicKeyStore::p256Key() {
    // A 256-bit draw is at or above the group order about once in 2^32 draws: draw again.
    for (;;) {
        try {
            return p256::PrivateKey::fromScalar(stream_.bytes(p256::scalarSize));
        } catch (const CryptoError&) {
        }
    }
}

std::unique_ptr<P256KeyAgreementKey> DeterministicKeyStore::generateP256() { return SoftwareKeyStore::wrap(p256Key()); }

std::unique_ptr<P256KeyAgreementKey> DeterministicKeyStore::restoreP256(BytesView dataRepresentation) {
    return software_.restoreP256(dataRepresentation);
}

std::unique_ptr<MLKEM1024Key> DeterministicKeyStore::generateMLKEM1024() {
    const Bytes d = stream_.bytes(mlkem1024::seedSize), z = stream_.bytes(mlkem1024::seedSize);
    return SoftwareKeyStore::mlkemFromSeed(d, z);
}

namespace {
class StandInMLDSAKey final : public MLDSA87Key {
public:
    const Bytes& publicKey() const override {
        static const Bytes key(mldsa87::publicKeySize, 0x5a);
        return key;
    }
};
}  // namespace

std::unique_ptr<MLDSA87Key> DeterministicKeyStore::generateMLDSA87() {
    if (standInSigningKeys) return std::make_unique<StandInMLDSAKey>();
    return SoftwareKeyStore::mldsaFromSeed(stream_.bytes(mldsa87::seedSize));
}

hpke::SenderContext DeterministicEntropy::hpkeSender(const p256::PublicKey& recipient,
                                                     const hpke::KeySchedule& schedule) {
    return hpke::SenderContext::setupWithEphemeral(recipient, schedule, keys_.p256Key());
}

mlkem1024::Encapsulation DeterministicEntropy::encapsulate(BytesView encapsulationKey) {
    return mlkem1024::encapsulateWithRandomness(encapsulationKey, stream_.bytes(32));
}

std::uint32_t DeterministicEntropy::uniform(std::uint32_t upperBound) {
    return static_cast<std::uint32_t>(stream_.next() % upperBound);
}

void DeterministicEntropy::fill(std::span<std::uint8_t> out) { stream_.fill(out); }

FuzzWorld::FuzzWorld(std::uint64_t seed)
    : roomCode(std::string(64, '5') + std::string(64, 'e')),
      stream(seed),
      identityPublicKeys{identityKey(0).publicKey(), identityKey(1).publicKey()} {
    identityKeys[0] = SoftwareKeyStore::wrap(identityKey(0));
    identityKeys[1] = SoftwareKeyStore::wrap(identityKey(1));
    std::string pattern = (std::filesystem::temp_directory_path() / "duoquill-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make the fuzz epoch directory");
    epochDirectory = pattern;
}

FuzzWorld::~FuzzWorld() {
    std::error_code ignored;
    std::filesystem::remove_all(epochDirectory, ignored);
}

p256::PrivateKey FuzzWorld::identityKey(int index) {
    return p256::PrivateKey::fromScalar(Bytes(32, index == 0 ? 0x11 : 0x22));
}

SessionEnvironment FuzzWorld::environment() {
    return SessionEnvironment{.keyStore = keyStore, .clock = clock, .entropy = entropy, .epochDirectory = epochDirectory};
}

std::unique_ptr<PFSChatSession> FuzzWorld::makeSession(int index) {
    return std::make_unique<PFSChatSession>(environment(), identityKeys[index], identityPublicKeys[1 - index],
                                            roomCode);
}

void FuzzWorld::completeHandshakes(PFSChatSession& a, PFSChatSession& b) {
    a.completeHandshake(b.authCiphertext(), b.authEncapKey(), b.mlkemPublicKeyData());
    b.completeHandshake(a.authCiphertext(), a.authEncapKey(), a.mlkemPublicKeyData());
}

void FuzzWorld::completePQ(PFSChatSession& a, PFSChatSession& b) {
    PFSChatSession& initiator = a.isInitiator().value() ? a : b;
    PFSChatSession& responder = a.isInitiator().value() ? b : a;
    const Bytes ciphertext = initiator.performPQKeyExchange();
    responder.completePQKeyExchange(ciphertext);
    initiator.completePQInitiator();
}

RecordMessage sendRecord(PFSChatSession& from, BytesView message, bool cover) {
    RecordMessage out;
    out.header = from.prepareDHRatchetIfNeeded();
    out.record = cover ? from.sealDummy() : from.seal(message);
    return out;
}

std::optional<SecureBytes> receiveRecord(PFSChatSession& to, const RecordMessage& message) {
    if (message.header) to.receiveDHRatchetKey(*message.header);
    return to.open(message.record.data, message.record.counter);
}

Conversation::Conversation(FuzzWorld& world) {
    world.reseed(0x636f6e76);
    handshakeSides_[0] = world.makeSession(0);
    handshakeSides_[1] = world.makeSession(1);
    world.completeHandshakes(*handshakeSides_[0], *handshakeSides_[1]);
    save(Point::handshake, *handshakeSides_[0], *handshakeSides_[1]);

    sides_[0] = world.makeSession(0);
    sides_[1] = world.makeSession(1);
    world.completeHandshakes(*sides_[0], *sides_[1]);
    world.completePQ(*sides_[0], *sides_[1]);
    // Traffic starts with the initiator, whose ratchet step is due; make it side 0.
    if (!sides_[0]->isInitiator().value()) std::swap(sides_[0], sides_[1]);
    save(Point::fresh, *sides_[0], *sides_[1]);

    exchange(0, "first");
    exchange(1, "second");
    exchange(0, "third", false);
    exchange(1, "fourth");
    exchange(0, "fifth");
    exchange(1, "sixth");
    save(Point::alternating, *sides_[0], *sides_[1]);

    const auto frames = earlierFrames;
    const auto records = earlierRecords;
    exchange(0, "seventh");
    exchange(0, "eighth");
    save(Point::consecutive, *sides_[0], *sides_[1]);
    earlierFrames = frames;
    earlierRecords = records;
}

void Conversation::exchange(int from, std::string_view text, bool deliverFrame) {
    PFSChatSession& sender = *sides_[from];
    PFSChatSession& receiver = *sides_[1 - from];
    const RecordMessage message = sendRecord(sender, asBytes(text));
    const Bytes frame = sender.tunnelSeal(asBytes(text));
    if (deliverFrame) receiver.tunnelOpen(frame);
    receiveRecord(receiver, message);
    earlierRecords[from].push_back(message);
    earlierFrames[from].push_back(frame);
}

void Conversation::save(Point point, PFSChatSession& first, PFSChatSession& second) {
    Saved& saved = saved_[static_cast<int>(point)];
    saved.sides[0] = &first;
    saved.sides[1] = &second;
    saved.snapshots[0] = SessionSnapshot::take(first);
    saved.snapshots[1] = SessionSnapshot::take(second);
}

Conversation::Sides Conversation::enter(Point point, bool reverse) {
    const Saved& saved = saved_[static_cast<int>(point)];
    saved.snapshots[0].restore(*saved.sides[0]);
    saved.snapshots[1].restore(*saved.sides[1]);
    const int sender = reverse ? 1 : 0;
    return {*saved.sides[sender], *saved.sides[1 - sender]};
}

ConversationWorld& ConversationWorld::instance() {
    static ConversationWorld world;
    return world;
}

}  // namespace fuzz
}  // namespace duoquill
