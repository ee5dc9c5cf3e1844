#include "DuoquillRelay/RelaySession.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <iterator>
#include <list>
#include <optional>
#include <string>
#include <type_traits>

#include "DuoquillRelay/RelayState.h"
#include "DuoquillRelay/TlsSocketStream.h"
#include "DuoquillRelay/UpgradeRequest.h"

namespace duoquill::relay {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using SteadyClock = std::chrono::steady_clock;

// Tens of thousands of mostly idle connections: nothing is kept between frames but the
// websocket layer's small header buffer. Server frames are written unmasked and whole, so the
// write buffer (used only for masking and fragmenting) can be tiny.
constexpr std::size_t kWriteBufferBytes = 256;
// Incoming messages are read in pieces of at most this much, so that an unfinished one is seen
// (and charged to the memory budget) as it grows rather than only once it is whole.
constexpr std::size_t kReadPieceBytes = 16 * 1024;
// A connection silent this long before its last message is taken for an idle one: its next
// read first waits for a frame to begin with no buffer, rather than holding one meanwhile.
constexpr std::chrono::seconds kQuietBeforeMessage{1};

// Private-use close code: a newcomer to the room took this connection's place.
constexpr std::uint16_t kReplacedCloseCode = 4000;
constexpr std::uint16_t kOccupiedCloseCode = 4001;  // a newcomer turned away from a live pair

enum class Phase { handshaking, open, closing, finished };

template <class NextLayer>
class WebSocketSession final : public RelaySession {
public:
    static constexpr bool isTls = std::is_same_v<NextLayer, TlsSocketStream>;

    template <class... Args>
    WebSocketSession(std::shared_ptr<RelayState> state, ConnectionLimiter::Slot slot, std::uint64_t id,
                     RelayThreads& threads, Args&&... streamArguments)
        : state_(std::move(state)),
          slot_(std::move(slot)),
          id_(id),
          threads_(threads),
          queuedBytes_(&state_->budget()),
          partialBytes_(&state_->budget()) {
        opening_.emplace(std::forward<Args>(streamArguments)...);
        home_.store(&opening_->get_executor().context());
        timer_.emplace(*home_.load());
        markReceived();
    }

    void run(SteadyClock::time_point openingDeadline) {
        openingDeadline_ = openingDeadline;
        asio::dispatch(opening_->get_executor(), [self = self()] {
            self->armOpeningDeadline();
            if constexpr (isTls) {
                self->opening_->async_handshake(
                    [self](beast::error_code ec) { ec ? self->finish(ec, "TLS handshake failed", RelayMetrics::Refusal::tlsHandshake) : self->readRequest(); });
            } else {
                self->readRequest();
            }
        });
    }

    void deliver(Frame frame) override {
        atHome([this, frame = std::move(frame)]() mutable { enqueue(std::move(frame)); });
    }

    void displace() override {
        atHome([this] {
            if (phase_ != Phase::open) return;
            endReason_ = "replaced by a newcomer (4000)";
            ending_ = RelayMetrics::Drop::replaced;
            closeWith(websocket::close_reason(static_cast<websocket::close_code>(kReplacedCloseCode), "replaced"));
        });
    }

    SteadyClock::time_point lastReceived() const override {
        return SteadyClock::time_point(SteadyClock::duration(lastReceived_.load(std::memory_order_relaxed)));
    }

    void goAway() override {
        atHome([this] {
            if (phase_ == Phase::handshaking) {
                endReason_ = "relay shutting down during the opening handshake";
                ending_ = {};
                dropConnection();
            } else if (phase_ == Phase::open) {
                endReason_ = "relay shutting down (1001)";
                ending_ = {};
                closeWith(websocket::close_code::going_away);
            }
        });
    }

    void abort() override {
        atHome([this] { dropConnection(); });
    }

private:
    std::shared_ptr<WebSocketSession> self() {
        return std::static_pointer_cast<WebSocketSession>(shared_from_this());
    }

    // Runs `work` on the connection's thread, wherever it lives by the time the work runs: what
    // was queued for the thread it left is passed on.
    template <class Work>
    void atHome(Work work) {
        asio::post(home_.load()->get_executor(), [self = self(), work = std::move(work)]() mutable {
            self->runAtHome(std::move(work));
        });
    }

    template <class Work>
    void runAtHome(Work work) {
        if (home_.load()->get_executor().running_in_this_thread()) {
            work();
        } else {
            atHome(std::move(work));
        }
    }

    // TLS, the HTTP request and the upgrade must all be done by the opening deadline.
    void armOpeningDeadline() {
        timer_->expires_at(openingDeadline_);
        timer_->async_wait([self = self()](beast::error_code ec) {
            if (ec) return;
            self->runAtHome([self] {
                if (self->phase_ != Phase::handshaking) return;
                self->endReason_ = "dropped: opening handshake not finished in time";
                self->ending_ = RelayMetrics::Refusal::handshakeTimeout;
                self->dropConnection();
            });
        });
    }

    // The connection moves to the thread of its room, with no operation outstanding.
    void moveTo(asio::io_context& context) {
        timer_.reset();  // the deadline is armed again there
        if constexpr (isTls) {
            ws_.emplace(std::move(*opening_), context);
        } else {
            ws_.emplace(moveSocket(*opening_, context));
        }
        opening_.reset();
        timer_.emplace(context);
        home_.store(&context);
        asio::post(context, [self = self()] {
            self->armOpeningDeadline();
            self->accept();
        });
    }

    NextLayer& stream() { return ws_ ? ws_->next_layer() : *opening_; }

    void markReceived() {
        lastReceived_.store(SteadyClock::now().time_since_epoch().count(), std::memory_order_relaxed);
    }

    static std::string milliseconds(std::chrono::milliseconds duration) {
        return std::to_string(duration.count()) + " ms";
    }

    void log(std::string_view event) const {
        if (state_->log().enabled()) state_->log().write("#" + std::to_string(id_) + " " + std::string(event));
    }

    // ---- opening handshake ----

    void readRequest() {
        parser_ = std::make_unique<UpgradeRequestParser>();
        limitRequestParser(*parser_);
        http::async_read(*opening_, buffer_, *parser_, [self = self()](beast::error_code ec, std::size_t) {
            ec ? self->finish(ec, "no valid HTTP request", RelayMetrics::Refusal::badRequest) : self->onRequest();
        });
    }

    void onRequest() {
        request_ = std::make_unique<UpgradeRequest>(parser_->release());
        parser_.reset();
        UpgradeDecision decision = judgeUpgradeRequest(*request_);
        switch (decision.verdict) {
        case UpgradeDecision::Verdict::notFound:
            respond(http::status::not_found, "path is not a room (404)", RelayMetrics::Refusal::notFound);
            break;
        case UpgradeDecision::Verdict::upgradeRequired:
            respond(http::status::upgrade_required, "not a WebSocket upgrade (426)", RelayMetrics::Refusal::notUpgrade);
            break;
        case UpgradeDecision::Verdict::join:
            token_ = std::move(decision.token);
            moveTo(threads_.forRoom(token_));
            break;
        }
    }

    void respond(http::status status, std::string reason, RelayMetrics::Refusal refusal) {
        endReason_ = "refused: " + std::move(reason);
        ending_ = refusal;
        response_ = std::make_unique<http::response<http::string_body>>(status, request_->version());
        response_->set(http::field::server, "duoquill-relay");
        response_->set(http::field::content_type, "text/plain");
        response_->keep_alive(false);
        response_->body() = std::string(http::obsolete_reason(status)) + "\n";
        response_->prepare_payload();
        http::async_write(*opening_, *response_, [self = self()](beast::error_code ec, std::size_t) {
            self->dropConnection();
            self->finish(ec, {});
        });
    }

    void accept() {
        ws_->read_message_max(state_->options().maxFrameBytes);
        ws_->auto_fragment(false);
        ws_->write_buffer_bytes(kWriteBufferBytes);
        websocket::stream_base::timeout timeouts{};
        // Bounds a closing handshake that the websocket layer starts itself (e.g. after a
        // protocol error); the session's timer bounds the opening one and its own closes.
        timeouts.handshake_timeout = state_->options().closeTimeout;
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_->set_option(timeouts);
        ws_->set_option(websocket::stream_base::decorator(
            [](websocket::response_type& response) { response.set(http::field::server, "duoquill-relay"); }));
        ws_->control_callback([this](websocket::frame_type, beast::string_view) { markReceived(); });
        ws_->async_accept(*request_, [self = self()](beast::error_code ec) {
            ec ? self->finish(ec, "WebSocket upgrade failed", RelayMetrics::Refusal::badRequest) : self->onAccepted();
        });
    }

    void onAccepted() {
        request_.reset();
        buffer_ = beast::flat_buffer();
        phase_ = Phase::open;
        markReceived();
        lastPing_ = SteadyClock::now();

        const auto joined = state_->registry().join(token_, self());
        if (joined.outcome.refused) {
            endReason_ = "refused: room occupied (4001)";
            ending_ = RelayMetrics::Drop::occupied;
            closeWith(websocket::close_reason(static_cast<websocket::close_code>(kOccupiedCloseCode), "occupied"));
            return;
        }
        room_ = joined.room;
        std::string event = "joined room " + RelayLog::roomTag(token_) + " (" + std::to_string(joined.outcome.members) +
                            " of " + std::to_string(Room::capacity) + ")";
        if (joined.outcome.displaced) event += ", displacing the member silent longest";
        if (joined.outcome.backlogDelivered != 0) {
            event += ", " + std::to_string(joined.outcome.backlogDelivered) + " kept frame(s) delivered";
        }
        log(event);

        readSome();
        scheduleTick();
        if (state_->stopping()) {
            endReason_ = "relay shutting down (1001)";
            ending_ = {};
            closeWith(websocket::close_code::going_away);
        }
    }

    // ---- reading and forwarding ----

    void readSome() {
        if (waitForFrame_ && message_.empty()) {
            // Ends once a frame has begun (control frames are answered meanwhile); what it read
            // stays with the websocket layer for the read that follows. The empty buffer has an
            // address: the websocket layer's UTF-8 check steps from it even when it is empty.
            static char nowhere;
            ws_->async_read_some(asio::mutable_buffer(&nowhere, 0),
                                [self = self()](beast::error_code ec, std::size_t) { self->onRead(ec); });
            waitForFrame_ = false;
            return;
        }
        if (!messageBuffer_) messageBuffer_.emplace(message_);
        ws_->async_read_some(*messageBuffer_, kReadPieceBytes,
                            [self = self()](beast::error_code ec, std::size_t) { self->onRead(ec); });
    }

    void onRead(beast::error_code ec) {
        if (ec) {
            if (ec == websocket::error::message_too_big) {
                endReason_ = "frame over the size limit refused (1009)";
                ending_ = RelayMetrics::Drop::oversizedFrame;
            }
            finish(ec, {});
            return;
        }
        markReceived();
        if (phase_ != Phase::open) {
            forgetMessage();  // while closing, only the close frame matters
        } else if (!ws_->got_text()) {
            endReason_ = "binary frame refused (1003)";
            ending_ = RelayMetrics::Drop::binaryFrame;
            closeWith(websocket::close_code::unknown_data);
            forgetMessage();
        } else if (!ws_->is_message_done()) {
            holdPartial();
        } else {
            partialBytes_.clear();
            partialSince_.reset();
            const auto now = SteadyClock::now();
            waitForFrame_ = now - lastMessage_ >= kQuietBeforeMessage;
            lastMessage_ = now;
            // The message's own string becomes the frame: nothing is copied.
            messageBuffer_.reset();
            auto frame = std::make_shared<const std::string>(std::move(message_));
            message_ = std::string();
            const std::size_t bytes = frame->size();
            onForwarded(room_->forward(*this, std::move(frame)), bytes);
        }
        if (phase_ == Phase::finished) return;
        readSome();  // also while closing: the read completes the closing handshake
    }

    // The unfinished message is charged at what its buffer holds on to.
    void holdPartial() {
        if (!partialSince_) {
            partialSince_ = SteadyClock::now();
            tickBy(*partialSince_ + state_->options().handshakeTimeout);
        }
        const std::size_t held = message_.capacity();
        if (held > partialBytes_.bytes() && !partialBytes_.grow(held - partialBytes_.bytes())) {
            endReason_ = "refused: the relay's memory budget is full, and its unfinished message grew (1013)";
            ending_ = RelayMetrics::Drop::memoryBudget;
            partialBytes_.clear();
            partialSince_.reset();
            forgetMessage();
            closeWith(websocket::close_code::try_again_later);
        }
    }

    void forgetMessage() {
        messageBuffer_.reset();
        std::string().swap(message_);
    }

    void onForwarded(Room::Forwarded outcome, std::size_t bytes) {
        if (outcome == Room::Forwarded::toPeer) state_->metrics().forwarded(bytes);
        if (outcome == Room::Forwarded::kept) state_->metrics().kept();
        if (outcome == Room::Forwarded::notKeptOverBudget && !toldNotKept_) {
            toldNotKept_ = true;
            log("frame not kept for the joiner: the relay's memory budget is full");
        }
    }

    // ---- writing ----

    void enqueue(Frame frame) {
        if (phase_ != Phase::open || !endReason_.empty()) return;  // also once it is being dropped
        // The notice is one shared frame: queuing it costs nothing.
        const std::size_t cost = costOf(frame);
        if (queuedBytes_.bytes() + cost > state_->options().maxQueuedBytes) {
            endReason_ = "dropped: not reading what its peer sends (queue over " +
                         std::to_string(state_->options().maxQueuedBytes / 1024) + " KiB)";
            ending_ = RelayMetrics::Drop::queueLimit;
            forgetQueued();
            dropConnection();
            return;
        }
        if (!queuedBytes_.grow(cost)) {
            endReason_ = "dropped: the relay's memory budget is full, and its queue grew (" +
                         std::to_string(queuedBytes_.bytes() / 1024) + " KiB queued)";
            ending_ = RelayMetrics::Drop::memoryBudget;
            forgetQueued();
            dropConnection();
            return;
        }
        const bool wasEmpty = queue_.empty();
        queue_.push_back(std::move(frame));
        if (wasEmpty) {
            lastWriteProgress_ = SteadyClock::now();
            tickBy(lastWriteProgress_ + state_->options().writeTimeout);
        }
        if (!writing_) writeNext();
    }

    std::size_t costOf(const Frame& frame) const {
        return frame == Room::peerDisconnectedFrame() ? 0 : frame->size();
    }

    void writeNext() {
        writing_ = true;
        ws_->text(true);
        ws_->async_write(asio::buffer(*queue_.front()), [self = self()](beast::error_code ec, std::size_t) {
            self->writing_ = false;
            self->lastWriteProgress_ = SteadyClock::now();
            self->queuedBytes_.shrink(self->costOf(self->queue_.front()));
            self->queue_.pop_front();
            if (ec) {
                self->dropConnection();
            } else if (self->phase_ == Phase::open && !self->queue_.empty()) {
                self->writeNext();
            } else if (self->phase_ == Phase::closing) {
                self->startCloseIfReady();
            }
        });
    }

    // ---- closing ----

    void closeWith(websocket::close_reason reason) {
        if (phase_ != Phase::open) return;
        phase_ = Phase::closing;
        closeReason_ = std::make_unique<websocket::close_reason>(std::move(reason));
        partialBytes_.clear();
        partialSince_.reset();
        forgetQueued();
        closeDeadline_ = SteadyClock::now() + state_->options().closeTimeout;
        scheduleTick();
        startCloseIfReady();
    }

    // One write and one control operation (ping or close) may be outstanding at a time.
    void startCloseIfReady() {
        if (phase_ != Phase::closing || closeStarted_ || pinging_ || writing_) return;
        closeStarted_ = true;
        ws_->async_close(*closeReason_, [self = self()](beast::error_code ec) {
            if (ec) self->dropConnection();
        });
    }

    // Frames not yet started are dropped; the one being written must stay alive.
    void forgetQueued() {
        const auto first = std::next(queue_.begin(), writing_ && !queue_.empty() ? 1 : 0);
        for (auto it = first; it != queue_.end(); ++it) queuedBytes_.shrink(costOf(*it));
        queue_.erase(first, queue_.end());
    }

    void dropConnection() {
        if constexpr (isTls) {
            stream().shutdownAndClose();
        } else {
            beast::error_code ignored;
            stream().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
            stream().close(ignored);
        }
    }

    // ---- ping and silence ----

    void scheduleTick() {
        const auto& options = state_->options();
        auto next = std::min(lastPing_ + options.pingInterval, lastReceived() + options.idleTimeout);
        if (partialSince_) next = std::min(next, *partialSince_ + options.handshakeTimeout);
        if (!queue_.empty()) next = std::min(next, lastWriteProgress_ + options.writeTimeout);
        timer_->expires_at(phase_ == Phase::closing ? closeDeadline_ : next);
        timer_->async_wait([self = self()](beast::error_code ec) {
            if (!ec) self->onTick();
        });
    }

    // Brings the next tick forward to `deadline` if it would come later.
    void tickBy(SteadyClock::time_point deadline) {
        if (phase_ == Phase::open && timer_->expiry() > deadline) scheduleTick();
    }

    void onTick() {
        if (phase_ == Phase::finished) return;
        const auto& options = state_->options();
        const auto now = SteadyClock::now();
        if (phase_ == Phase::closing) {
            // A peer that never answers the close, or never reads, is cut off.
            if (now >= closeDeadline_) {
                dropConnection();
            } else {
                scheduleTick();
            }
            return;
        }
        if (partialSince_ && now - *partialSince_ >= options.handshakeTimeout) {
            endReason_ = "dropped: message not completed within " + milliseconds(options.handshakeTimeout);
            ending_ = RelayMetrics::Drop::unfinishedMessage;
            dropConnection();
            return;
        }
        if (!queue_.empty() && now - lastWriteProgress_ >= options.writeTimeout) {
            endReason_ = "dropped: nothing it was sent could be written for " + milliseconds(options.writeTimeout);
            ending_ = RelayMetrics::Drop::writeTimeout;
            dropConnection();
            return;
        }
        if (now - lastReceived() >= options.idleTimeout) {
            endReason_ = "dropped: silent for " + milliseconds(options.idleTimeout);
            ending_ = RelayMetrics::Drop::silent;
            dropConnection();
            return;
        }
        if (now - lastPing_ >= options.pingInterval && phase_ == Phase::open && !pinging_) {
            pinging_ = true;
            lastPing_ = now;
            ws_->async_ping({}, [self = self()](beast::error_code) {
                self->pinging_ = false;
                self->startCloseIfReady();
            });
        }
        scheduleTick();
    }

    // ---- the end ----

    // `failureCounts`: what the failure counts as, when it is what ended the connection.
    void finish(beast::error_code ec, std::string_view failure, RelayMetrics::Ending failureCounts = {}) {
        if (phase_ == Phase::finished) return;
        const bool wasOpen = phase_ != Phase::handshaking;
        phase_ = Phase::finished;
        timer_->cancel();
        if (room_) state_->registry().leave(room_, *this);
        room_.reset();
        partialBytes_.clear();
        forgetQueued();
        if (endReason_.empty()) {
            if (ws_ && ec == websocket::error::closed) {
                const auto& reason = ws_->reason();
                endReason_ = "closed by the client (" + std::to_string(reason.code) + ")";
            } else if (!failure.empty()) {
                endReason_ = std::string(failure) + ": " + ec.message();
                ending_ = failureCounts;
            } else {
                endReason_ = wasOpen ? "connection lost: " + ec.message() : "ended: " + ec.message();
            }
        }
        log(endReason_);
        state_->metrics().ended(ending_);
        dropConnection();
        state_->removeSession(id_);
    }

    // The stream of the opening handshakes, on the thread that accepted the connection; then,
    // on the room's thread, the WebSocket stream over it.
    std::optional<NextLayer> opening_;
    std::optional<websocket::stream<NextLayer>> ws_;
    const std::shared_ptr<RelayState> state_;
    const ConnectionLimiter::Slot slot_;
    const std::uint64_t id_;
    RelayThreads& threads_;
    std::atomic<asio::io_context*> home_{nullptr};  // the context of the stream's thread
    std::optional<RelayTimer> timer_;
    SteadyClock::time_point openingDeadline_{};

    Phase phase_ = Phase::handshaking;
    beast::flat_buffer buffer_;  // the HTTP request
    // The incoming message, read straight into the string that is then forwarded.
    std::string message_;
    std::optional<asio::dynamic_string_buffer<char, std::char_traits<char>, std::allocator<char>>> messageBuffer_;
    // Held only while the opening handshake needs them (inline, they would take most of the
    // session's size for as long as it lives).
    std::unique_ptr<UpgradeRequestParser> parser_;
    std::unique_ptr<UpgradeRequest> request_;
    std::unique_ptr<http::response<http::string_body>> response_;
    std::string token_;
    std::shared_ptr<Room> room_;

    std::list<Frame> queue_;  // unlike a deque, holds no memory while empty
    MemoryBudget::Charge queuedBytes_;  // what queue_ holds (a frame being written included)
    MemoryBudget::Charge partialBytes_;  // the buffer of an unfinished incoming message
    std::optional<SteadyClock::time_point> partialSince_;
    SteadyClock::time_point lastWriteProgress_{};
    SteadyClock::time_point lastMessage_{};  // when the last whole message arrived
    bool waitForFrame_ = true;  // the next read waits for a frame before taking a buffer
    bool toldNotKept_ = false;
    bool writing_ = false;
    bool pinging_ = false;
    bool closeStarted_ = false;
    std::unique_ptr<websocket::close_reason> closeReason_;  // set once closing
    std::string endReason_;
    RelayMetrics::Ending ending_;  // what endReason_ counts as

    std::atomic<SteadyClock::rep> lastReceived_{0};
    SteadyClock::time_point lastPing_{};
    SteadyClock::time_point closeDeadline_{};
};

}  // namespace

void RelaySession::start(RelaySocket socket, asio::ssl::context* tls, std::shared_ptr<RelayState> state,
                         ConnectionLimiter::Slot slot, std::uint64_t id, SteadyClock::time_point openingDeadline,
                         RelayThreads& threads) {
    std::shared_ptr<RelaySession> session;
    if (tls != nullptr) {
        auto s = std::make_shared<WebSocketSession<TlsSocketStream>>(state, std::move(slot), id, threads, std::move(socket),
                                                                      tls->native_handle());
        session = s;
        state->addSession(id, session);
        s->run(openingDeadline);
    } else {
        auto s = std::make_shared<WebSocketSession<RelaySocket>>(state, std::move(slot), id, threads, std::move(socket));
        session = s;
        state->addSession(id, session);
        s->run(openingDeadline);
    }
}

}  // namespace duoquill::relay
