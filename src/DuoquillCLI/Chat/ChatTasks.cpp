#include "DuoquillCLI/Chat/ChatTasks.h"

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>

namespace asio = boost::asio;

namespace duoquill::cli {

void TaskHandle::cancel() {
    cancelled_ = true;
    if (auto hook = std::exchange(cancelHook_, nullptr)) hook();
}

asio::awaitable<void> SteadyChatTimers::sleep(double seconds, TaskHandle& task) {
    if (task.isCancelled()) co_return;
    const auto duration = std::chrono::duration_cast<asio::steady_timer::duration>(
        std::chrono::duration<double>(std::max(seconds, 0.0)));
    auto timer = std::make_shared<asio::steady_timer>(executor_, duration);
    task.setCancelHook([weak = std::weak_ptr<asio::steady_timer>(timer)] {
        if (auto t = weak.lock()) t->cancel();
    });
    co_await timer->async_wait(asio::as_tuple(asio::use_awaitable));
    task.clearCancelHook();
}

TaskSignal::TaskSignal(asio::any_io_executor executor)
    : timer_(std::move(executor), asio::steady_timer::time_point::max()) {}

asio::awaitable<void> TaskSignal::wait() { co_await timer_.async_wait(asio::as_tuple(asio::use_awaitable)); }

void TaskSignal::notify() { timer_.cancel(); }

}  // namespace duoquill::cli
