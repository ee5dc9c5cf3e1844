#include "DuoquillRelay/RelayThreads.h"

#include <sched.h>

#include <functional>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>

namespace duoquill::relay {
namespace {

std::uint64_t randomSalt() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

}  // namespace

RelaySocket moveSocket(RelaySocket& socket, boost::asio::io_context& context) {
    RelaySocket moved(context);
    boost::system::error_code ec;
    const auto endpoint = socket.local_endpoint(ec);
    if (ec) {
        socket.close(ec);
        return moved;
    }
    const auto descriptor = socket.release(ec);
    if (ec) {
        socket.close(ec);
        return moved;
    }
    moved.assign(endpoint.protocol(), descriptor, ec);
    if (ec) ::close(descriptor);
    return moved;
}

void scheduleAsBatchWork() {
    const sched_param parameters{};
    (void)sched_setscheduler(0, SCHED_BATCH, &parameters);
}

RelayThreads::RelayThreads(unsigned count) : salt_(randomSalt()) {
    for (unsigned i = 0; i < std::max(1u, count); ++i) {
        contexts_.push_back(std::make_unique<boost::asio::io_context>(1));
        if (i != 0) guards_.emplace_back(contexts_.back()->get_executor());
    }
}

boost::asio::io_context& RelayThreads::next() {
    return *contexts_[turn_.fetch_add(1, std::memory_order_relaxed) % contexts_.size()];
}

boost::asio::io_context& RelayThreads::forRoom(std::string_view token) {
    if (contexts_.size() == 1) return main();
    // Salted, so that whoever picks room paths cannot pile their rooms onto one thread.
    const std::uint64_t mixed = (static_cast<std::uint64_t>(std::hash<std::string_view>{}(token)) ^ salt_) * 0x9E3779B97F4A7C15ull;
    return *contexts_[(mixed >> 32) % contexts_.size()];
}

void RelayThreads::release() {
    for (auto& guard : guards_) guard.reset();
}

void RelayThreads::run() {
    std::vector<std::thread> helpers;
    for (std::size_t i = 1; i < contexts_.size(); ++i) helpers.emplace_back([context = contexts_[i].get()] { context->run(); });
    main().run();
    for (auto& helper : helpers) helper.join();
}

}  // namespace duoquill::relay
