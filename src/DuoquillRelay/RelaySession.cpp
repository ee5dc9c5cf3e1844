#include "DuoquillRelay/RelaySession.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <atomic>
#include <iterator>
#include <list>
#include <optional>
#include <span>
#include <string>
#include <type_traits>

#include "DuoquillRelay/RelayState.h"
#include "DuoquillRelay/TlsStream.h"
#include "DuoquillRelay/UpgradeRequest.h"
#include "DuoquillRelay/WebSocketFrames.h"

namespace duoquill::relay {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using SteadyClock = std::chrono::steady_clock;
using Kind = FrameReader::Event::Kind;

// What a connection reads lands in its thread's buffer and is taken in at once, in the handler
// that read it: no connection holds a read buffer, busy or idle. Messages are copied out as
// they are unmasked, into a string of their exact size.
asio::mutable_buffer receiveBuffer() {
    constexpr std::size_t bytes = 64 * 1024;
    thread_local const std::unique_ptr<char[]> buffer(new char[bytes]);
    return asio::mutable_buffer(buffer.get(), bytes);
}

// Private-use close code: a newcomer to the room took this connection's place.
constexpr std::uint16_t kReplacedCloseCode = 4000;
constexpr std::uint16_t kOccupiedCloseCode = 4001;  // a newcomer turned away from a live pair
// What OpenSSL's read buffer takes while it holds part of a record (a whole record's room).
constexpr std::size_t kRecordBufferBytes = 18 * 1024;
// Records within kBusyGap of each other make a TLS connection busy: it keeps OpenSSL's buffers
// until kKeepBuffersFor passes without one. Busy, it saves an allocation and a free of a whole
// record's buffer per record; idle (most connections: a frame every few seconds), it holds none.
constexpr std::chrono::milliseconds kBusyGap{50};
constexpr std::chrono::milliseconds kKeepBuffersFor{250};

enum class Phase { handshaking, open, closing, finished };

template <class NextLayer>
class WebSocketSession final : public RelaySession {
public:
    static constexpr bool isTls = std::is_same_v<NextLayer, TlsStream>;

    template <class... Args>
    WebSocketSession(std::shared_ptr<RelayState> state, ConnectionLimiter::Slot slot, MemoryBudget::Charge opening,
                     std::uint64_t id, RelayThreads& threads, Args&&... streamArguments)
        : state_(std::move(state)),
          slot_(std::move(slot)),
          openingBytes_(std::move(opening)),
          id_(id),
          threads_(threads),
          queuedBytes_(&state_->budget()),
          partialBytes_(&state_->budget()),
          recordBytes_(&state_->budget()),
          keptBuffers_(&state_->budget()) {
        opening_.emplace(std::forward<Args>(streamArguments)...);
        home_.store(&opening_->get_executor().context());
        timer_.emplace(*home_.load());
        markReceived();
    }

    void run(SteadyClock::time_point openingDeadline) {
        openingDeadline_ = openingDeadline;
        asio::dispatch(opening_->get_executor(), [self = self()] {
            if constexpr (isTls) {
                self->armOpeningDeadline(std::min(self->openingDeadline_, SteadyClock::now() + self->state_->options().tlsHandshakeTimeout),
                                         "dropped: TLS handshake not finished in time");
                self->opening_->async_handshake([self](beast::error_code ec) {
                    if (ec) {
                        self->finish(ec, "TLS handshake failed", RelayMetrics::Refusal::tlsHandshake);
                        return;
                    }
                    self->armOpeningDeadline();
                    self->readRequest();
                });
            } else {
                self->armOpeningDeadline();
                self->readRequest();
            }
        });
    }

    void deliver(Frame frame) override {
        postedFrames_.fetch_add(1, std::memory_order_relaxed);
        atHome([this, frame = std::move(frame)]() mutable {
            postedFrames_.fetch_sub(1, std::memory_order_relaxed);
            enqueue(std::move(frame));
        });
    }

    // Most frames come from a peer on this thread: they skip the post, unless a posted frame
    // (the frames kept for this newcomer, say) is still to be queued before them.
    void deliverFromPeer(Frame frame) override {
        if (postedFrames_.load(std::memory_order_relaxed) == 0 && home_.load()->get_executor().running_in_this_thread()) {
            enqueue(std::move(frame));
        } else {
            deliver(std::move(frame));
        }
    }

    void displace() override {
        atHome([this] {
            if (phase_ != Phase::open) return;
            endReason_ = "replaced by a newcomer (4000)";
            ending_ = RelayMetrics::Drop::replaced;
            closeWith(kReplacedCloseCode, "replaced");
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
                closeWith(closeCode::goingAway);
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
    void armOpeningDeadline() { armOpeningDeadline(openingDeadline_, "dropped: opening handshake not finished in time"); }

    void armOpeningDeadline(SteadyClock::time_point deadline, const char* endReason) {
        timer_->expires_at(deadline);
        timer_->async_wait([self = self(), endReason](beast::error_code ec) {
            if (ec) return;
            self->runAtHome([self, endReason] {
                if (self->phase_ != Phase::handshaking) return;
                self->endReason_ = endReason;
                self->ending_ = RelayMetrics::Refusal::handshakeTimeout;
                self->dropConnection();
            });
        });
    }

    // The connection moves to the thread of its room, with no operation outstanding.
    void moveTo(asio::io_context& context) {
        timer_.reset();  // the deadline is armed again there
        if constexpr (isTls) {
            stream_.emplace(std::move(*opening_), context);
        } else {
            stream_.emplace(moveSocket(*opening_, context));
        }
        opening_.reset();
        timer_.emplace(context);
        home_.store(&context);
        asio::post(context, [self = self()] {
            self->armOpeningDeadline();
            self->accept();
        });
    }

    NextLayer& stream() { return stream_ ? *stream_ : *opening_; }
    RelaySocket& socket() {
        if constexpr (isTls) {
            return stream().socket();
        } else {
            return stream();
        }
    }

    SteadyClock::time_point markReceived() {
        const auto now = SteadyClock::now();
        lastReceived_.store(now.time_since_epoch().count(), std::memory_order_relaxed);
        return now;
    }

    // Busy, the connection keeps OpenSSL's buffers, charged to the budget (over it, it pays the
    // allocations instead), until kKeepBuffersFor passes without a record.
    void noteRecord(SteadyClock::time_point now) {
        const auto previous = lastRecord_;
        lastRecord_ = now;
        if constexpr (isTls) {
            if (phase_ != Phase::open || keptBuffers_.bytes() != 0 || now - previous >= kBusyGap) return;
            if (!keptBuffers_.grow(TlsStream::kKeptBufferBytes)) return;
            stream_->keepBuffers(true);
            tickBy(now + kKeepBuffersFor);
        }
    }

    void releaseBuffers() {
        if constexpr (isTls) {
            if (stream_) stream_->keepBuffers(false);
        }
        keptBuffers_.clear();
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
        case UpgradeDecision::Verdict::badRequest:
            respond(http::status::bad_request, "WebSocket upgrade with " + decision.why + " (400)",
                    RelayMetrics::Refusal::badRequest);
            break;
        case UpgradeDecision::Verdict::badVersion:
            respond(http::status::upgrade_required, "WebSocket version other than 13 (426)", RelayMetrics::Refusal::badRequest);
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
        if (status == http::status::upgrade_required) response_->set(http::field::sec_websocket_version, "13");
        response_->keep_alive(false);
        response_->body() = std::string(http::obsolete_reason(status)) + "\n";
        response_->prepare_payload();
        http::async_write(*opening_, *response_, [self = self()](beast::error_code ec, std::size_t) {
            self->dropConnection();
            self->finish(ec, {});
        });
    }

    void accept() {
        response_ = std::make_unique<http::response<http::string_body>>(http::status::switching_protocols,
                                                                        request_->version());
        response_->set(http::field::upgrade, "websocket");
        response_->set(http::field::connection, "Upgrade");
        response_->set(http::field::sec_websocket_accept, acceptKey((*request_)[http::field::sec_websocket_key]));
        response_->set(http::field::server, "duoquill-relay");
        request_.reset();
        http::async_write(*stream_, *response_, [self = self()](beast::error_code ec, std::size_t) {
            ec ? self->finish(ec, "WebSocket upgrade failed", RelayMetrics::Refusal::badRequest) : self->onAccepted();
        });
    }

    void onAccepted() {
        response_.reset();
        openingBytes_.clear();
        reader_.emplace(state_->options().maxFrameBytes);
        phase_ = Phase::open;
        markReceived();
        lastPing_ = SteadyClock::now();

        const auto joined = state_->registry().join(token_, self());
        if (joined.outcome.refused) {
            endReason_ = "refused: room occupied (4001)";
            ending_ = RelayMetrics::Drop::occupied;
            closeWith(kOccupiedCloseCode, "occupied");
        } else {
            room_ = joined.room;
            std::string event = "joined room " + RelayLog::roomTag(token_) + " (" +
                                std::to_string(joined.outcome.members) + " of " + std::to_string(Room::capacity) + ")";
            if (joined.outcome.displaced) event += ", displacing the member silent longest";
            if (joined.outcome.backlogDelivered != 0) {
                event += ", " + std::to_string(joined.outcome.backlogDelivered) + " kept frame(s) delivered";
            }
            log(event);
            scheduleTick();
            if (state_->stopping()) {
                endReason_ = "relay shutting down (1001)";
                ending_ = {};
                closeWith(closeCode::goingAway);
            }
        }
        // Frames the client sent right behind its request were read with it.
        const std::string early = beast::buffers_to_string(buffer_.data());
        buffer_ = beast::flat_buffer();
        if (!early.empty()) consume(early);
        if constexpr (!isTls) {
            beast::error_code ignored;
            stream_->non_blocking(true, ignored);  // read only once it is readable
        }
        // OpenSSL may hold the opened rest of the request's last record: read before waiting.
        if (phase_ != Phase::finished) readNow({});
    }

    // ---- reading and forwarding ----

    // Reads go on while closing: the client's close ends the closing handshake.
    void readSome() {
        if (readDone_ || phase_ == Phase::finished) return;
        bool toWrite = false;
        if constexpr (isTls) toWrite = stream_->waitsToWrite();
        socket().async_wait(toWrite ? asio::socket_base::wait_write : asio::socket_base::wait_read,
                            [self = self()](beast::error_code ec) { self->readNow(ec); });
    }

    // Takes in what has arrived until the socket (or OpenSSL) must wait: whole frames go on
    // from the thread's buffer, and only an unfinished frame's bytes are kept.
    void readNow(beast::error_code ec) {
        const asio::mutable_buffer buffer = receiveBuffer();
        while (!ec && !readDone_ && phase_ != Phase::finished) {
            std::size_t n = 0;
            if constexpr (isTls) {
                n = stream_->readNow(buffer, ec);
                if (stream_->tooManyHandshakeMessages()) {
                    endReason_ = "dropped: more than " + std::to_string(TlsStream::kMostHandshakeMessages) +
                                 " TLS handshake messages (key updates, renegotiations) within " +
                                 std::to_string(TlsStream::kHandshakeMessageWindow.count()) + " s";
                    ending_ = RelayMetrics::Drop::keyUpdates;
                    readDone_ = true;
                    dropConnection();
                    return;
                }
            } else {
                n = stream_->read_some(buffer, ec);
            }
            if (ec == asio::error::would_block) {
                noteUnfinishedRecord();
                readSome();
                return;
            }
            if (ec) break;
            noteRecord(markReceived());
            consume(std::string_view(static_cast<const char*>(buffer.data()), n));
            // A short read emptied the socket; over TLS, OpenSSL may still hold opened bytes.
            if (!isTls && n < buffer.size()) {
                readSome();
                return;
            }
        }
        if (ec) finish(ec, {});
    }

    // Part of a record held by OpenSSL keeps its read buffer: charged, and bounded in time as an
    // unfinished message is.
    void noteUnfinishedRecord() {
        if constexpr (isTls) {
            if (phase_ != Phase::open) return;
            if (!stream_->holdsUnfinishedRecord()) {
                recordBytes_.clear();
                if (!reader_->inMessage()) partialSince_.reset();
                return;
            }
            if (!partialSince_) {
                partialSince_ = SteadyClock::now();
                tickBy(*partialSince_ + state_->options().handshakeTimeout);
            }
            if (recordBytes_.bytes() == 0 && !recordBytes_.grow(kRecordBufferBytes)) {
                endReason_ = "refused: the relay's memory budget is full, and its unfinished TLS record held a buffer (1013)";
                ending_ = RelayMetrics::Drop::memoryBudget;
                closeWith(closeCode::tryAgainLater);
            }
        }
    }

    // Acts on every event in what the client sent.
    void consume(std::string_view input) {
        while (!readDone_ && phase_ != Phase::finished) {
            const FrameReader::Event event = reader_->next(input);
            switch (event.kind) {
            case Kind::needMore:
                if (phase_ == Phase::open) reader_->inMessage() ? holdPartial() : forgetPartial();
                return;
            case Kind::text:
                if (phase_ == Phase::open) forward();
                break;
            case Kind::binary:
                if (phase_ == Phase::open) {
                    endReason_ = "binary frame refused (1003)";
                    ending_ = RelayMetrics::Drop::binaryFrame;
                    closeWith(closeCode::unknownData);
                }
                break;
            case Kind::ping:
                if (!closeQueued_) {
                    pong_ = std::string(event.payload);
                    pongDue_ = true;
                    writeNext();
                }
                break;
            case Kind::pong:
                break;
            case Kind::close:
                onClientClose(event.code);
                break;
            case Kind::fault:
                onFault(event.code);
                break;
            }
        }
    }

    void forward() {
        forgetPartial();
        // The message's own string becomes the frame: nothing is copied.
        auto frame = std::make_shared<const std::string>(reader_->takeMessage());
        const std::size_t bytes = frame->size();
        onForwarded(room_->forward(*this, std::move(frame)), bytes);
    }

    // The unfinished message is charged at what its buffer holds on to.
    void holdPartial() {
        if (!partialSince_) {
            partialSince_ = SteadyClock::now();
            tickBy(*partialSince_ + state_->options().handshakeTimeout);
        }
        const std::size_t held = reader_->heldBytes();
        if (held > partialBytes_.bytes() && !partialBytes_.grow(held - partialBytes_.bytes())) {
            endReason_ = "refused: the relay's memory budget is full, and its unfinished message grew (1013)";
            ending_ = RelayMetrics::Drop::memoryBudget;
            closeWith(closeCode::tryAgainLater);
        }
    }

    void forgetPartial() {
        partialBytes_.clear();
        partialSince_.reset();
    }

    void onForwarded(Room::Forwarded outcome, std::size_t bytes) {
        if (outcome == Room::Forwarded::toPeer) state_->metrics().forwarded(bytes);
        if (outcome == Room::Forwarded::kept) state_->metrics().kept();
        if (outcome == Room::Forwarded::notKeptOverBudget && !toldNotKept_) {
            toldNotKept_ = true;
            log("frame not kept for the joiner: the relay's memory budget is full");
        }
    }

    // The client closes: its close is answered with its own code, and nothing more is read.
    void onClientClose(std::uint16_t code) {
        readDone_ = true;
        closeReceived_ = true;
        clientCloseCode_ = code;
        if (phase_ == Phase::open) {
            closeWith(code == closeCode::none ? closeCode::normal : code);
        } else if (closeSent_) {
            teardown();
        }
    }

    // A frame that breaks the protocol: the close says why, and the connection ends without
    // waiting for the client's answer.
    void onFault(std::uint16_t code) {
        readDone_ = true;
        if (endReason_.empty()) {
            if (code == closeCode::tooBig) {
                endReason_ = "frame over the size limit refused (1009)";
                ending_ = RelayMetrics::Drop::oversizedFrame;
            } else if (code == closeCode::badPayload) {
                endReason_ = "refused: text that is not UTF-8 (1007)";
            } else {
                endReason_ = "refused: WebSocket protocol error (1002)";
            }
        }
        if (phase_ == Phase::open) {
            teardownAfterClose_ = true;
            closeWith(code);
        } else {
            dropConnection();
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
        writeNext();
        // The write time-out counts from when a frame begins to wait; most never do.
        if (wasEmpty && !queue_.empty()) {
            lastWriteProgress_ = SteadyClock::now();
            tickBy(lastWriteProgress_ + state_->options().writeTimeout);
        }
    }

    std::size_t costOf(const Frame& frame) const {
        return frame == Room::peerDisconnectedFrame() ? 0 : frame->size();
    }

    // One write at a time: a pong or a ping before the queued frames, and the close last of
    // all. The frames queued by then go in one gathered write (one SSL_write over TLS).
    void writeNext() {
        if (writing_ || closeSent_ || phase_ == Phase::finished) return;
        if (pongDue_) {
            control_ = controlFrame(Opcode::pong, pong_);
            pongDue_ = false;
            std::string().swap(pong_);
            writeControl(false);
        } else if (pingDue_) {
            control_ = controlFrame(Opcode::ping, {});
            pingDue_ = false;
            writeControl(false);
        } else if (phase_ == Phase::open && !queue_.empty()) {
            writing_ = true;
            const std::size_t count = gatherQueued();
            framesInWrite_ = count;
            asio::async_write(*stream_, std::span<const asio::const_buffer>(gathered_->pieces.data(), 2 * count),
                              [self = self(), count](beast::error_code ec, std::size_t) {
                                  self->framesWritten(count);
                                  if (self->queue_.empty()) self->gathered_.reset();
                                  ec ? self->dropConnection() : self->writeNext();
                              });
        } else if (phase_ == Phase::closing && closeQueued_) {
            control_ = std::move(closeFrame_);
            writeControl(true);
        }
    }

    // The frames at the front of the queue with their headers: up to Gathered::kMostFrames, and
    // none past the first once Gathered::kMostBytes are in, since the write time-out sees
    // progress only when a whole write ends.
    std::size_t gatherQueued() {
        if (!gathered_) gathered_ = std::make_unique<Gathered>();
        std::size_t count = 0, bytes = 0;
        for (auto frame = queue_.begin(); frame != queue_.end() && count < Gathered::kMostFrames; ++frame, ++count) {
            if (count > 0 && bytes + (*frame)->size() > Gathered::kMostBytes) break;
            auto& header = gathered_->headers[count];
            const std::size_t headerBytes = frameHeader(Opcode::text, (*frame)->size(), header);
            gathered_->pieces[2 * count] = asio::buffer(header.data(), headerBytes);
            gathered_->pieces[2 * count + 1] = asio::buffer(**frame);
            bytes += headerBytes + (*frame)->size();
        }
        return count;
    }

    // An asynchronous write of `count` queued frames ended.
    void framesWritten(std::size_t count) {
        writing_ = false;
        framesInWrite_ = 0;
        for (std::size_t i = 0; i < count; ++i) frameWritten();
        lastWriteProgress_ = SteadyClock::now();
        noteRecord(lastWriteProgress_);
    }

    void frameWritten() {
        queuedBytes_.shrink(costOf(queue_.front()));
        queue_.pop_front();
    }

    void writeControl(bool isClose) {
        writing_ = true;
        asio::async_write(*stream_, asio::buffer(control_), [self = self(), isClose](beast::error_code ec, std::size_t) {
            self->writing_ = false;
            std::string().swap(self->control_);
            if (ec) {
                self->dropConnection();
                return;
            }
            if (!isClose) {
                self->writeNext();
                return;
            }
            self->closeSent_ = true;
            if (self->closeReceived_ || self->teardownAfterClose_) self->teardown();
        });
    }

    // ---- closing ----

    void closeWith(std::uint16_t code, std::string_view reason = {}) {
        if (phase_ != Phase::open) return;
        phase_ = Phase::closing;
        closeQueued_ = true;
        closeFrame_ = closeFrame(code, reason);
        pongDue_ = false;
        reader_->discardMessages();
        forgetPartial();
        forgetQueued();
        closeDeadline_ = SteadyClock::now() + state_->options().closeTimeout;
        scheduleTick();
        writeNext();
    }

    // Frames not yet started are dropped; the one being written must stay alive.
    void forgetQueued() {
        const auto first = std::next(queue_.begin(), static_cast<std::ptrdiff_t>(framesInWrite_));  // the write holds them
        for (auto it = first; it != queue_.end(); ++it) queuedBytes_.shrink(costOf(*it));
        queue_.erase(first, queue_.end());
    }

    // The closing handshake is over: the connection's own end (TLS close_notify, then a FIN),
    // and what the client still sends is read and dropped until it closes too, so that its
    // last frames are not lost to a reset. Bounded by the closing time-out.
    void teardown() {
        if (tearingDown_) return;
        tearingDown_ = true;
        if constexpr (isTls) stream_->sendCloseNotify();
        beast::error_code ignored;
        socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
        drain();
    }

    void drain() {
        socket().async_wait(asio::socket_base::wait_read, [self = self()](beast::error_code ec) {
            char discard[4096];
            for (;;) {
                if (ec || !self->socket().is_open()) break;
                const std::size_t n = self->socket().read_some(asio::buffer(discard), ec);
                if (ec == asio::error::would_block) {
                    self->drain();
                    return;
                }
                if (n == 0 && !ec) break;
            }
            self->closeSocket();
            self->finish({}, {});
        });
    }

    // Once nothing reads, nothing else would see the connection end: it is finished here.
    void dropConnection() {
        closeSocket();
        if (readDone_ && !tearingDown_) finish({}, {});
    }

    void closeSocket() {
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
        if (keptBuffers_.bytes() != 0) next = std::min(next, lastRecord_ + kKeepBuffersFor);
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
        if (keptBuffers_.bytes() != 0 && now - lastRecord_ >= kKeepBuffersFor) releaseBuffers();
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
        if (now - lastPing_ >= options.pingInterval) {
            lastPing_ = now;
            pingDue_ = true;
            writeNext();
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
        openingBytes_.clear();
        partialBytes_.clear();
        recordBytes_.clear();
        keptBuffers_.clear();
        forgetQueued();
        if (endReason_.empty()) {
            if (closeReceived_) {
                endReason_ = "closed by the client (" + std::to_string(clientCloseCode_) + ")";
            } else if (!failure.empty()) {
                endReason_ = std::string(failure) + ": " + ec.message();
                ending_ = failureCounts;
            } else {
                endReason_ = wasOpen ? "connection lost: " + ec.message() : "ended: " + ec.message();
            }
        }
        log(endReason_);
        state_->metrics().ended(ending_);
        closeSocket();
        state_->removeSession(id_);
    }

    // The stream of the opening handshakes, on the thread that accepted the connection; then
    // the same connection moved to the room's thread.
    std::optional<NextLayer> opening_;
    std::optional<NextLayer> stream_;
    const std::shared_ptr<RelayState> state_;
    const ConnectionLimiter::Slot slot_;
    MemoryBudget::Charge openingBytes_;  // until the opening handshakes are done
    const std::uint64_t id_;
    RelayThreads& threads_;
    std::atomic<asio::io_context*> home_{nullptr};  // the context of the stream's thread
    std::atomic<std::size_t> postedFrames_{0};      // posted by deliver() and not queued yet
    std::optional<RelayTimer> timer_;
    SteadyClock::time_point openingDeadline_{};

    Phase phase_ = Phase::handshaking;
    beast::flat_buffer buffer_;  // the HTTP request
    // Held only while the opening handshake needs them (inline, they would take most of the
    // session's size for as long as it lives).
    std::unique_ptr<UpgradeRequestParser> parser_;
    std::unique_ptr<UpgradeRequest> request_;
    std::unique_ptr<http::response<http::string_body>> response_;
    std::string token_;
    std::shared_ptr<Room> room_;

    std::optional<FrameReader> reader_;  // once open
    bool readDone_ = false;  // the client closed, or broke the protocol

    std::list<Frame> queue_;  // unlike a deque, holds no memory while empty
    MemoryBudget::Charge queuedBytes_;  // what queue_ holds (a frame being written included)
    MemoryBudget::Charge partialBytes_;  // the buffer of an unfinished incoming message
    MemoryBudget::Charge recordBytes_;   // OpenSSL's read buffer, while it holds part of a record
    MemoryBudget::Charge keptBuffers_;   // OpenSSL's buffers, kept while the connection is busy
    SteadyClock::time_point lastRecord_{};  // read or written
    std::optional<SteadyClock::time_point> partialSince_;
    SteadyClock::time_point lastWriteProgress_{};
    // The headers and pieces of a gathered write, held while it writes.
    struct Gathered {
        static constexpr std::size_t kMostFrames = 16;
        static constexpr std::size_t kMostBytes = 64 * 1024;
        std::array<std::array<std::uint8_t, 10>, kMostFrames> headers{};
        std::array<asio::const_buffer, 2 * kMostFrames> pieces{};
    };
    std::unique_ptr<Gathered> gathered_;
    std::string control_;                   // the control frame being written
    std::string pong_;                      // the payload of the ping to answer
    std::string closeFrame_;                // queued behind the frame being written
    bool toldNotKept_ = false;
    bool writing_ = false;
    std::size_t framesInWrite_ = 0;  // queued frames an asynchronous write holds (at the front)
    bool pongDue_ = false;
    bool pingDue_ = false;
    bool closeQueued_ = false;
    bool closeSent_ = false;
    bool closeReceived_ = false;
    bool teardownAfterClose_ = false;
    bool tearingDown_ = false;
    std::uint16_t clientCloseCode_ = 0;
    std::string endReason_;
    RelayMetrics::Ending ending_;  // what endReason_ counts as

    std::atomic<SteadyClock::rep> lastReceived_{0};
    SteadyClock::time_point lastPing_{};
    SteadyClock::time_point closeDeadline_{};
};

}  // namespace

void RelaySession::start(RelaySocket socket, SSL_CTX* tls, std::shared_ptr<RelayState> state,
                         ConnectionLimiter::Slot slot, MemoryBudget::Charge opening, std::uint64_t id,
                         SteadyClock::time_point openingDeadline, RelayThreads& threads) {
    // A session listed but never run would keep a shutdown waiting for it.
    const auto launch = [&](const auto& session) {
        state->addSession(id, session);
        try {
            session->run(openingDeadline);
        } catch (...) {
            state->removeSession(id);
            throw;
        }
    };
    if (tls != nullptr) {
        launch(std::make_shared<WebSocketSession<TlsStream>>(state, std::move(slot), std::move(opening), id, threads,
                                                             std::move(socket), tls));
    } else {
        launch(std::make_shared<WebSocketSession<RelaySocket>>(state, std::move(slot), std::move(opening), id, threads,
                                                               std::move(socket)));
    }
}

}  // namespace duoquill::relay
