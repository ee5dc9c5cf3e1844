#include "Conversation.h"

namespace duoquill::fuzz {

RecordMessage sendRecord(PFSChatSession& from, BytesView message, bool cover) {
    RecordMessage out;
    out.header = from.prepareDHRatchetIfNeeded();
    out.record = cover ? from.sealDummy(testTime) : from.seal(message, testTime);
    return out;
}

std::optional<SecureBytes> receiveRecord(PFSChatSession& to, const RecordMessage& message) {
    if (message.header) to.receiveDHRatchetKey(*message.header);
    return to.open(message.record.data, message.record.counter, testTime);
}

Conversation::Conversation(World& world) {
    world.reseed(0x636f6e76);
    handshakeSides_[0] = world.makeSession(0);
    handshakeSides_[1] = world.makeSession(1);
    World::handshake(*handshakeSides_[0], *handshakeSides_[1], false);
    save(Point::handshake, *handshakeSides_[0], *handshakeSides_[1]);

    sides_[0] = world.makeSession(0);
    sides_[1] = world.makeSession(1);
    World::handshake(*sides_[0], *sides_[1]);
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
    const Bytes frame = sender.tunnelSeal(asBytes(text), testTime);
    if (deliverFrame) receiver.tunnelOpen(frame, testTime);
    receiveRecord(receiver, message);
    earlierRecords[from].push_back(message);
    earlierFrames[from].push_back(frame);
}

void Conversation::save(Point point, PFSChatSession& first, PFSChatSession& second) {
    Saved& saved = saved_[static_cast<int>(point)];
    saved.sides[0] = &first;
    saved.sides[1] = &second;
    saved.snapshots[0] = Access::take(first);
    saved.snapshots[1] = Access::take(second);
}

Conversation::Sides Conversation::enter(Point point, bool reverse) {
    const Saved& saved = saved_[static_cast<int>(point)];
    Access::restore(*saved.sides[0], saved.snapshots[0]);
    Access::restore(*saved.sides[1], saved.snapshots[1]);
    const int sender = reverse ? 1 : 0;
    return {*saved.sides[sender], *saved.sides[1 - sender]};
}

ConversationWorld& ConversationWorld::instance() {
    static ConversationWorld world;
    return world;
}

}  // namespace duoquill::fuzz
