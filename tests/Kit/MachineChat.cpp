#include "Kit/MachineChat.h"

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Identity/KeyHelpers.h"

namespace duoquill::test {

cli::ChatMachineConfig machineConfig(int owner, World& world, std::string relayURL) {
    std::shared_ptr<const P256KeyAgreementKey> local = SoftwareKeyStore::wrap(World::identityKey(owner));
    const p256::PublicKey peer = World::identityKey(1 - owner).publicKey();
    SecureBytes roomKeyData = local->sharedSecret(peer);
    std::string roomCode = KeyHelpers::deriveRoomCode(roomKeyData);
    const Bytes localKey = local->publicKey().compressed(), peerKey = peer.compressed();
    return {
        .relayBaseURL = std::move(relayURL),
        .roomKeyData = std::move(roomKeyData),
        .localPubKeyCompressed = base64URLString(localKey),
        .peerPubKeyBase64URL = base64URLString(peerKey),
        .leads = localKey < peerKey,
        .makeSession =
            [&world, local, peer, roomCode](std::optional<double> roomEpoch) {
                return std::make_unique<PFSChatSession>(world.environment(), local, peer, roomCode, roomEpoch);
            },
        .roomEpoch = SessionEpochStore(world.epochs.path()).read(roomCode),
        .coverDraw = [&world] { return static_cast<double>(world.stream.next() % 3001) / 3000.0; },
        .jitterDraw = [&world] { return static_cast<double>(world.stream.next() % 1000) / 1000.0; },
        .lineStreamStart = (std::uint64_t{1} << 52) + world.stream.next() % (std::uint64_t{1} << 51),
    };
}

ChatProcess& MachinePair::launch(int which) {
    processes_[which].reset();
    const std::uint64_t processSeed = seed_ * 1000003 + (++launches_) * 7919 + static_cast<std::uint64_t>(which);
    processes_[which] = std::make_unique<ChatProcess>(which, timeline, relay, processSeed, nullptr, baseProtocolOnly[which],
                                                        steady[which]);
    return *processes_[which];
}

}  // namespace duoquill::test
