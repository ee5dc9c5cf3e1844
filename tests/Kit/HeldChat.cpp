#include "Kit/HeldChat.h"

#include <algorithm>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <stdexcept>

namespace asio = boost::asio;

namespace duoquill::test {

asio::awaitable<void> HeldTransport::send(std::string text) {
    if (!sends_.hold) {
        const auto failure = sends_.endAtOnce ? sends_.endAtOnce(std::move(text)) : nullptr;
        if (failure) std::rethrow_exception(failure);
        co_return;
    }
    // A named initiation: GCC 12 destroys closures built inside a co_await expression twice.
    auto initiation = [this, &text](auto handler) {
        auto slot = std::make_shared<decltype(handler)>(std::move(handler));
        sends_.waiting.emplace_back(std::move(text), [slot, executor = executor_](std::exception_ptr failure) {
            asio::post(executor, [slot, failure] { (*slot)(failure); });
        });
    };
    co_await asio::async_initiate<const asio::use_awaitable_t<>, void(std::exception_ptr)>(std::move(initiation),
                                                                                         asio::use_awaitable);
}

asio::awaitable<std::string> HeldTransport::receive() {
    auto initiation = [this](auto handler) {
        auto slot = std::make_shared<decltype(handler)>(std::move(handler));
        waiter_ = [slot, executor = executor_](std::optional<std::string> text) {
            asio::post(executor, [slot, text = std::move(text)]() mutable {
                if (!text) return (*slot)(std::make_exception_ptr(std::runtime_error("connection lost")), std::string());
                (*slot)(nullptr, std::move(*text));
            });
        };
    };
    co_return co_await asio::async_initiate<const asio::use_awaitable_t<>, void(std::exception_ptr, std::string)>(
        std::move(initiation), asio::use_awaitable);
}

bool HeldTransport::hand(std::optional<std::string> text) {
    if (!waiter_) return false;
    std::exchange(waiter_, nullptr)(std::move(text));
    return true;
}

bool HeldTimers::fire(cli::chat::Timer timer) {
    const auto armed = std::ranges::find_if(sleeping_, [&](const auto& s) { return s.second.first == timer; });
    if (armed == sleeping_.end()) return false;
    auto wake = std::move(armed->second.second);
    sleeping_.erase(armed);
    wake();
    return true;
}

asio::awaitable<void> HeldTimers::sleep(double, cli::TaskHandle& task) {
    const cli::chat::Timer timer = arming_.front();
    arming_.pop_front();
    if (task.isCancelled()) co_return;
    auto initiation = [this, timer, &task](auto handler) {
        auto slot = std::make_shared<std::optional<decltype(handler)>>(std::move(handler));
        auto wake = [slot, executor = executor_] {
            if (*slot) asio::post(executor, *std::exchange(*slot, std::nullopt));
        };
        const std::uint64_t id = ++sleeps_;
        sleeping_.emplace(id, std::pair{timer, wake});
        task.setCancelHook([this, id, wake] {
            sleeping_.erase(id);
            wake();
        });
    };
    co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(std::move(initiation), asio::use_awaitable);
    task.clearCancelHook();
}

}  // namespace duoquill::test
