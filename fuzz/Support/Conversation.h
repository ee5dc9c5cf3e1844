#pragma once
// Two pairs of sessions of one deterministic world (tests/Kit/World.h), saved at chosen points
// of a conversation, for the targets that feed one side. Sessions are expensive to build
// (ML-KEM and ML-DSA key generation), so the targets build them once and, before every
// input, put back the state saved at a point. The same points in every run, which is what
// lets the committed seed frames and records, made by this code, open again later.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "Kit/SessionAccess.h"
#include "Kit/World.h"

namespace duoquill::fuzz {

using test::Access;
using test::ReceiveState;
using test::World;

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

    explicit Conversation(World& world);

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
        Access::Snapshot snapshots[2];
    };
    void save(Point point, PFSChatSession& first, PFSChatSession& second);
    void exchange(int from, std::string_view text, bool deliverFrame = true);


    std::unique_ptr<PFSChatSession> handshakeSides_[2], sides_[2];
    Saved saved_[pointCount];
};

// One world and its conversation, built on first use and kept for the whole run.
struct ConversationWorld {
    World world;
    Conversation conversation{world};
    static ConversationWorld& instance();
};

}  // namespace duoquill::fuzz
