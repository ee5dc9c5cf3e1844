#pragma once
// One ceiling on the bytes that connections can make the relay hold on their behalf (outgoing
// queues, a lone member's kept frames, unfinished incoming messages), shared by every
// connection and thread. Without it each allowance is small but their sum across thousands
// of connections is not.

#include <atomic>
#include <cstddef>

namespace duoquill::relay {

class MemoryBudget {
public:
    explicit MemoryBudget(std::size_t limitBytes) : limit_(limitBytes) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // Takes `bytes` from the budget, or nothing and false when that would pass the limit.
    bool tryCharge(std::size_t bytes);
    void release(std::size_t bytes);

    std::size_t used() const { return used_.load(std::memory_order_relaxed); }
    // The most used since the last resetPeak() (about: concurrent charges may go unseen).
    std::size_t peak() const { return peak_.load(std::memory_order_relaxed); }
    void resetPeak() { peak_.store(used(), std::memory_order_relaxed); }
    std::size_t limit() const { return limit_; }

    // Bytes one holder has charged, given back when it is cleared or destroyed. With no budget
    // it only counts, so code that runs without one (tests, fuzzing) behaves the same.
    class Charge {
    public:
        explicit Charge(MemoryBudget* budget) : budget_(budget) {}
        ~Charge() { clear(); }
        // What was charged goes with it.
        Charge(Charge&& other) noexcept : budget_(other.budget_), bytes_(other.bytes_) { other.bytes_ = 0; }
        Charge(const Charge&) = delete;
        Charge& operator=(const Charge&) = delete;

        bool grow(std::size_t bytes);
        void shrink(std::size_t bytes);
        void clear() { shrink(bytes_); }
        std::size_t bytes() const { return bytes_; }

    private:
        MemoryBudget* const budget_;
        std::size_t bytes_ = 0;
    };

    // What a connection holds from its acceptance until its opening handshakes are done (OpenSSL's
    // handshake state and buffers, the session, the HTTP request), charged for that long. The
    // relay's resident memory per connection stopped in its opening (bench_tls_handshakes, OpenSSL
    // 3.0): 44 KiB silent, 47 KiB with a ClientHello begun, 45 KiB waiting for the client's
    // Finished; with OpenSSL 3.5, whose handshakes carry an ML-KEM share, about 65 KiB waiting
    // for the Finished. 3 KiB with half an HTTP request, whose buffer may grow to the request's
    // limit.
    static constexpr std::size_t kOpeningTlsBytes = 80 * 1024;
    static constexpr std::size_t kOpeningPlainBytes = 16 * 1024;

    // The default when the operator names none: a quarter of physical memory, at most 1 GiB.
    static std::size_t defaultLimitBytes();

private:
    const std::size_t limit_;
    std::atomic<std::size_t> used_{0};
    std::atomic<std::size_t> peak_{0};
};

}  // namespace duoquill::relay
