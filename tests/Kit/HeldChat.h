#pragma once
// A chat driver's transport and timers as a test holds them, for tables that step one event at
// a time: a send completes at once or waits until the test ends it, a receive waits for the text
// the test hands it, and each timer sleeps until the test fires it, in any order.

#include <boost/asio/any_io_executor.hpp>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "DuoquillCLI/Chat/ChatMachine.h"
#include "DuoquillCLI/Chat/ChatTasks.h"
#include "DuoquillCLI/Chat/ChatTransport.h"

namespace duoquill::test {

// The sends of one client's connections that wait for the test, oldest first.
struct HeldSends {
    bool hold = false;  // whether the next send waits
    std::deque<std::pair<std::string, std::function<void(std::exception_ptr failure)>>> waiting;
    // Given, a send that does not wait is handed to it, and fails with what it returns.
    std::function<std::exception_ptr(std::string text)> endAtOnce = {};
};

class HeldTransport final : public cli::ChatTransport {
public:
    HeldTransport(HeldSends& sends, boost::asio::any_io_executor executor)
        : sends_(sends), executor_(std::move(executor)) {}
    void connect(const std::string&) override {}
    boost::asio::awaitable<void> send(std::string text) override;
    boost::asio::awaitable<std::string> receive() override;
    boost::asio::awaitable<void> disconnect() override { co_return; }

    // Completes the waiting receive with the text, or with the connection's end; false when
    // nothing is reading.
    bool hand(std::optional<std::string> text);
    bool receiving() const { return waiter_ != nullptr; }
    // The waiting receive holds this transport: letting it go breaks the circle.
    void forget() { waiter_ = nullptr; }

private:
    HeldSends& sends_;
    boost::asio::any_io_executor executor_;
    std::function<void(std::optional<std::string>)> waiter_;
};

class HeldTimers final : public cli::ChatTimers {
public:
    explicit HeldTimers(boost::asio::any_io_executor executor) : executor_(std::move(executor)) {}
    // The driver arms this timer (as its observer is told): the next sleep to begin is its.
    void arming(cli::chat::Timer timer) { arming_.push_back(timer); }
    // Wakes the sleep of the timer; false when none sleeps.
    bool fire(cli::chat::Timer timer);
    // Drops every sleep (and the coroutine waiting in it).
    void clear() { sleeping_.clear(); }
    boost::asio::awaitable<void> sleep(double seconds, cli::TaskHandle& task) override;

private:
    boost::asio::any_io_executor executor_;
    std::deque<cli::chat::Timer> arming_;
    // By the order they began: the timer and how to wake it.
    std::map<std::uint64_t, std::pair<cli::chat::Timer, std::function<void()>>> sleeping_;
    std::uint64_t sleeps_ = 0;
};

}  // namespace duoquill::test
