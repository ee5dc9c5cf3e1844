// The chat machine's recovery: the relay connection, and a fresh session after a loss, a
// failed step or a fresh peer hello. A fresh session that adopts the peer's latest hello goes
// into the handshake from here; the handshake never comes back here itself.

#include "DuoquillCLI/Chat/ChatMachine.h"

#include <algorithm>
#include <boost/url/parse.hpp>

#include "Duoquill/Identity/KeyHelpers.h"
#include "Duoquill/Session/PFSChatSession.h"
#include "Duoquill/System/Clock.h"
#include "DuoquillCLI/Chat/ChatSessionStep.h"

namespace duoquill::cli {

using namespace chat;

namespace {

// The time of the event, as the room token's clock.
class EventClock final : public Clock {
public:
    explicit EventClock(double wallSeconds) : wall_(wallSeconds) {}
    double wallSeconds() const override { return wall_; }
    double uptimeSeconds() const override { return 0; }

private:
    double wall_;
};

}  // namespace

std::optional<ChatMachine::Link> ChatMachine::startSession(ErrorLine::What failure,
                                                           std::optional<double> roomEpoch) {
    std::unique_ptr<PFSChatSession> session;
    if (auto failed = sessionStep([&] { session = config_.makeSession(roomEpoch); })) {
        sayConnectError(failure, failed->text);
        scheduleAutoRetry();
        return std::nullopt;
    }
    return Link{std::move(session), ++generation_, false};
}

void ChatMachine::connect() {
    announce(Phase::connecting);
    // A new relay connection: whatever the peer announced before belongs to the old one.
    hellos_.forgetLatest();
    // The token follows the UTC day of each new connection, so two users who started on
    // different days still meet; the room code the session uses never changes.
    std::string url =
        config_.relayBaseURL + "/" + KeyHelpers::deriveRoomToken(config_.roomKeyData, EventClock(now_.wallSeconds));
    // Checked before a session is made: no retry makes it usable.
    if (!isUsableRelayURL(url)) {
        fatal(FatalError::Why::invalidRelayURL);
        return;
    }
    auto fresh = startSession(ErrorLine::What::connect, roomEpoch_);
    if (!fresh) return;
    out_.emplace_back(std::in_place_type<OpenConnection>, OpenConnection{std::move(url)});
    std::string hello = helloText(*fresh->session);
    const std::uint64_t generation = fresh->generation;
    // "waiting for peer..." once the hello is out: before, nothing says the relay is there.
    enter(Waiting{.link = std::move(*fresh), .connectionOpen = false});
    send(std::move(hello), SendTag{SendTag::Kind::connectHello, generation});
}

std::size_t ChatMachine::longestLine() { return LineTraffic::longestLine(); }

bool ChatMachine::isUsableRelayURL(std::string_view url) {
    const auto parsed = boost::urls::parse_uri(url);
    if (!parsed || !parsed->has_authority() || parsed->encoded_host().empty()) return false;
    if (parsed->has_query() || parsed->has_fragment()) return false;
    // The parser reads "host:80x/..." as port "80" and a path "x/...": a path that does not
    // start at a "/" means the port was not a number.
    if (!std::string(parsed->encoded_path()).starts_with('/')) return false;
    if (const std::string port(parsed->port()); !port.empty()) {
        if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return false;
        }
        const int number = std::stoi(port);
        if (number < 1 || number > 65535) return false;
    }
    return true;
}

void ChatMachine::scheduleAutoRetry() {
    if (ended()) return;
    if (link()) out_.emplace_back(std::in_place_type<CloseConnection>, CloseConnection{true});
    retryLater();
}

void ChatMachine::retryLater() {
    const double delay = retryDelay(retryCount_);
    ++retryCount_;
    enter(Reconnecting{});
    announce(Phase::reconnecting);
    arm(Timer::retry, delay);
}

void ChatMachine::leaveRelayConnection() { scheduleAutoRetry(); }

void ChatMachine::connectionLost() {
    // The connection has failed: it is dropped, not closed.
    out_.emplace_back(std::in_place_type<CloseConnection>, CloseConnection{false});
    retryLater();
}

void ChatMachine::reconnectForPeer(bool adoptLatest) {
    // A session that could not go on with the hello it adopted gives way to another.
    for (bool adopt = adoptLatest;; adopt = false) {
        retryCount_ = 0;
        // The old session goes as the fresh one takes its place, and the room's epoch file with
        // it, so the fresh one is made with none; the connection stays.
        auto fresh = startSession(ErrorLine::What::reconnect, std::nullopt);
        if (!fresh) return;
        Waiting& waiting = enter(Waiting{.link = std::move(*fresh)});
        announce(Phase::waitingForPeer);
        send(helloText(*waiting.link.session), SendTag{SendTag::Kind::reconnectHello, waiting.link.generation});
        waiting.timer = Waiting::Timer::reconnectNoPeer;
        arm(Timer::connection, reconnectNoPeerTimeoutSeconds);

        // The leading side answers the peer's latest hello with this session at once; the other
        // side's fresh session waits for a hello made for it.
        const PeerHello* latest = hellos_.toAdopt(adopt);
        if (!latest || acceptHello(waiting, *latest, true) == SessionFate::keep) return;
    }
}

}  // namespace duoquill::cli
