#include "DuoquillRelay/ConnectionLimiter.h"

namespace duoquill::relay {

ConnectionLimiter::Slot::~Slot() {
    if (limiter_) limiter_->release(address_);
}

ConnectionLimiter::Slot::Slot(Slot&& other) noexcept
    : limiter_(std::move(other.limiter_)), address_(other.address_) {}

ConnectionLimiter::Slot& ConnectionLimiter::Slot::operator=(Slot&& other) noexcept {
    if (this != &other) {
        if (limiter_) limiter_->release(address_);
        limiter_ = std::move(other.limiter_);
        address_ = other.address_;
    }
    return *this;
}

ConnectionLimiter::Slot ConnectionLimiter::admit(const boost::asio::ip::address& address, Refusal& refusal) {
    std::lock_guard lock(mutex_);
    if (total_ >= maxTotal_) {
        refusal = Refusal::tooManyConnections;
        return {};
    }
    std::size_t& fromAddress = perAddress_[address];
    if (maxPerAddress_ != 0 && fromAddress >= maxPerAddress_) {
        refusal = Refusal::tooManyFromAddress;
        return {};
    }
    ++fromAddress;
    ++total_;
    refusal = Refusal::none;
    return Slot(shared_from_this(), address);
}

void ConnectionLimiter::release(const boost::asio::ip::address& address) {
    std::lock_guard lock(mutex_);
    --total_;
    const auto it = perAddress_.find(address);
    if (it != perAddress_.end() && --it->second == 0) perAddress_.erase(it);
}

std::size_t ConnectionLimiter::total() const {
    std::lock_guard lock(mutex_);
    return total_;
}

}  // namespace duoquill::relay
