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

boost::asio::ip::address ConnectionLimiter::countedAs(const boost::asio::ip::address& address) const {
    if (!address.is_v6()) return address;
    const auto v6 = address.to_v6();
    if (v6.is_v4_mapped()) return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6);
    auto bytes = v6.to_bytes();
    for (unsigned bit = ipv6PrefixLength_; bit < 128; ++bit) {
        bytes[bit / 8] &= static_cast<unsigned char>(~(0x80u >> (bit % 8)));
    }
    return boost::asio::ip::address_v6(bytes);
}

ConnectionLimiter::Slot ConnectionLimiter::admit(const boost::asio::ip::address& peer, Refusal& refusal) {
    const auto address = countedAs(peer);
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
