#include "DuoquillCLI/Chat/LineDelivery.h"

#include <algorithm>

#include "Duoquill/Base/BigEndian.h"
#include "Duoquill/Primitives/Random.h"
#include "Duoquill/Base/Utf8.h"

namespace duoquill::cli {

namespace {
// Starts in [2^52, 2^53 - 2^40): sixteen decimal digits for any stream shorter than 2^40 lines.
constexpr std::uint64_t streamFloor = std::uint64_t{1} << 52;
constexpr std::uint64_t streamSpan = (std::uint64_t{1} << 52) - (std::uint64_t{1} << 40);
}  // namespace

Outbox::Outbox(std::uint64_t streamStart) : streamStart_(streamStart), next_(streamStart) {}

std::uint64_t Outbox::randomStreamStart() {
    std::uint8_t bytes[8];
    random::fill(bytes);
    return streamFloor + bigendian::read(bytes) % streamSpan;
}

std::optional<std::uint64_t> Outbox::push(SecureText line) {
    if (entries_.size() >= maxLines || bytes_ + line.size() > maxBytes) return std::nullopt;
    bytes_ += line.size();
    entries_.push_back(Entry{next_, std::move(line), 0});
    return next_++;
}

Outbox::Entry* Outbox::nextToSend(std::uint64_t session, bool resend) {
    for (auto& entry : entries_) {
        if (entry.sentInSession == session) continue;
        if (entry.sentInSession != 0 && !resend) continue;
        return &entry;
    }
    return nullptr;
}

Outbox::Pending Outbox::pending(std::uint64_t session, bool resend) const {
    Pending pending;
    for (const auto& entry : entries_) {
        if (entry.sentInSession == 0) {
            ++pending.queued;
        } else if (resend && entry.sentInSession != session) {
            ++pending.again;
        }
    }
    return pending;
}

std::vector<std::uint64_t> Outbox::confirm(std::uint64_t number) {
    std::vector<std::uint64_t> confirmed;
    while (!entries_.empty() && entries_.front().number <= number && entries_.front().sentInSession != 0) {
        confirmed.push_back(entries_.front().number);
        bytes_ -= entries_.front().line.size();
        entries_.pop_front();
    }
    return confirmed;
}

void Outbox::remove(std::uint64_t number) {
    const auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.number == number; });
    if (it == entries_.end()) return;
    bytes_ -= it->line.size();
    entries_.erase(it);
}

std::uint64_t ReceivedLines::highest(std::uint64_t streamStart) const {
    const auto it = highest_.find(streamStart);
    return it != highest_.end() ? it->second : streamStart - 1;
}

bool ReceivedLines::takeNew(std::uint64_t streamStart, std::uint64_t number) {
    if (number < streamStart || number <= highest(streamStart)) return false;
    if (!highest_.contains(streamStart)) {
        order_.push_back(streamStart);
        if (order_.size() > streamsKept) {
            highest_.erase(order_.front());
            order_.pop_front();
        }
    }
    highest_[streamStart] = number;
    return true;
}

SecureText shortenedLine(std::string_view line, std::size_t codePoints) {
    Utf8Decoder decoder(line);
    std::size_t taken = 0, end = 0;
    while (!decoder.atEnd() && taken < codePoints) {
        end += decoder.next().bytes.size();
        ++taken;
    }
    SecureText out(line.substr(0, end));
    if (!decoder.atEnd()) out += "…";
    return out;
}

}  // namespace duoquill::cli
