#pragma once
// Caps on connections held at once, in total and per client address. A connection holds a
// ConnectionSlot from its acceptance to its end; dropping the slot frees its place.

#include <boost/asio/ip/address.hpp>

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>

namespace duoquill::relay {

class ConnectionLimiter : public std::enable_shared_from_this<ConnectionLimiter> {
public:
    class Slot {
    public:
        Slot() = default;
        ~Slot();
        Slot(Slot&& other) noexcept;
        Slot& operator=(Slot&& other) noexcept;
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;
        explicit operator bool() const { return static_cast<bool>(limiter_); }

    private:
        friend class ConnectionLimiter;
        Slot(std::shared_ptr<ConnectionLimiter> limiter, boost::asio::ip::address address)
            : limiter_(std::move(limiter)), address_(address) {}
        std::shared_ptr<ConnectionLimiter> limiter_;
        boost::asio::ip::address address_;
    };

    enum class Refusal { none, tooManyConnections, tooManyFromAddress };

    // maxPerAddress 0 means no per-address cap. IPv6 addresses count by their first
    // ipv6PrefixLength bits, since one host may use any address of its prefix. Must be owned by
    // a shared_ptr.
    ConnectionLimiter(std::size_t maxTotal, std::size_t maxPerAddress, unsigned ipv6PrefixLength = 64)
        : maxTotal_(maxTotal), maxPerAddress_(maxPerAddress), ipv6PrefixLength_(ipv6PrefixLength) {}

    // An empty slot, and the reason in `refusal`, when a cap is reached.
    Slot admit(const boost::asio::ip::address& address, Refusal& refusal);

    std::size_t total() const;

    // What the per-address cap counts `address` as: an IPv4-mapped address as its IPv4 form, any
    // other IPv6 address as its prefix.
    boost::asio::ip::address countedAs(const boost::asio::ip::address& address) const;

private:
    void release(const boost::asio::ip::address& address);

    const std::size_t maxTotal_;
    const std::size_t maxPerAddress_;
    const unsigned ipv6PrefixLength_;
    mutable std::mutex mutex_;
    std::size_t total_ = 0;
    std::map<boost::asio::ip::address, std::size_t> perAddress_;
};

}  // namespace duoquill::relay
