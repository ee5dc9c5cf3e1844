#pragma once
// Exactly-once delivery of typed lines between two clients that both announced a line stream.
//
// Each process numbers its lines in one stream that starts at a random number; the peer
// confirms the highest number it has received in order, in the "a" member of every "msg" it
// sends (real or cover). Until then a line stays in the Outbox, in wiped memory, and goes out
// again, with its number, in every new session. The peer's ReceivedLines shows a number of a
// stream only once.
//
// Numbers stay below 2^53 (exact in every JSON reader) and keep the same count of digits, so
// a "msg" is as long whatever it carries.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::cli {

// The lines typed but not yet confirmed by the peer, oldest first.
class Outbox {
public:
    static constexpr std::size_t maxLines = 1000;
    static constexpr std::size_t maxBytes = 1 << 20;

    struct Entry {
        std::uint64_t number;
        SecureText line;
        // The session it last went out in; 0: never sent.
        std::uint64_t sentInSession = 0;
    };

    // `streamStart`: the number of the first line; random() draws one.
    explicit Outbox(std::uint64_t streamStart);
    static std::uint64_t randomStreamStart();

    std::uint64_t streamStart() const noexcept { return streamStart_; }
    // The number the next line will get (a cover record carries it).
    std::uint64_t nextNumber() const noexcept { return next_; }

    // Keeps the line and gives it the next number; nothing when the outbox is full.
    std::optional<std::uint64_t> push(SecureText line);
    // The oldest line that has not gone out in `session` (with `resend` false: that has never
    // gone out), or nothing.
    Entry* nextToSend(std::uint64_t session, bool resend);
    // How many lines nextToSend would hand out: sent before (to be sent again) and never sent.
    struct Pending {
        std::size_t again = 0;
        std::size_t queued = 0;
    };
    Pending pending(std::uint64_t session, bool resend) const;
    // The peer has every line up to `number`. Numbers of lines that never went out, or past
    // the last one given, confirm nothing. Returns the numbers confirmed now, in order.
    std::vector<std::uint64_t> confirm(std::uint64_t number);
    void remove(std::uint64_t number);

    bool empty() const noexcept { return entries_.empty(); }
    const std::deque<Entry>& entries() const noexcept { return entries_; }

private:
    std::uint64_t streamStart_;
    std::uint64_t next_;
    std::size_t bytes_ = 0;
    std::deque<Entry> entries_;
};

// What has been shown of the peer's line streams: one per peer process.
class ReceivedLines {
public:
    // The highest number shown from the stream, or the one before its first.
    std::uint64_t highest(std::uint64_t streamStart) const;
    // Whether a line of that number is new; it is then taken as shown.
    bool takeNew(std::uint64_t streamStart, std::uint64_t number);

private:
    static constexpr std::size_t streamsKept = 16;
    // Stream start → highest number shown; the oldest stream is forgotten first.
    std::map<std::uint64_t, std::uint64_t> highest_;
    std::deque<std::uint64_t> order_;
};

// The start of a line shortened to `codePoints` characters, with "…" when cut.
SecureText shortenedLine(std::string_view line, std::size_t codePoints = 40);

}  // namespace duoquill::cli
