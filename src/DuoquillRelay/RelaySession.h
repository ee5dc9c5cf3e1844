#pragma once
// One client connection, from acceptance to its end: the TLS and HTTP opening handshakes
// (refusing any path that is not a room), then membership of a room, with a read loop that
// forwards each text frame, a write queue for what the peer sends, and the ping and
// silence timer. The opening handshakes run on the thread that accepted the connection, the
// rest on the thread of its room; other threads reach it only through the operations below,
// which queue work there.

#include <boost/asio/ip/tcp.hpp>

#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "DuoquillRelay/ConnectionLimiter.h"
#include "DuoquillRelay/MemoryBudget.h"
#include "DuoquillRelay/RelayThreads.h"
#include "DuoquillRelay/Room.h"

namespace duoquill::relay {

class RelayState;

class RelaySession : public RoomMember, public std::enable_shared_from_this<RelaySession> {
public:
    // Serves an accepted connection; TLS when `tls` is set. The opening handshakes must be
    // done by `openingDeadline` (the TLS one sooner, by the TLS handshake time-out), and hold
    // `opening` until then. Throws when the connection cannot be set up.
    static void start(RelaySocket socket, SSL_CTX* tls, std::shared_ptr<RelayState> state,
                      ConnectionLimiter::Slot slot, MemoryBudget::Charge opening, std::uint64_t id,
                      std::chrono::steady_clock::time_point openingDeadline, RelayThreads& threads);

    // The relay is shutting down: close with 1001 "going away", or drop a connection that
    // has not finished its opening handshake.
    virtual void goAway() = 0;
    // Drop the TCP connection now, without a closing handshake.
    virtual void abort() = 0;
};

}  // namespace duoquill::relay
