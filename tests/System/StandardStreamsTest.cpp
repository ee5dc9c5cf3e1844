#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "Duoquill/System/StandardStreams.h"

namespace duoquill {
namespace {

// A terminal's standard error shares its open file with standard input, which the line editor
// makes non-blocking; a long line must still come out whole, not as far as the buffer took.
TEST(StandardStreams, AWriteToANonBlockingFileThatFillsUpWaitsAndLosesNothing) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::fcntl(ends[1], F_SETFL, ::fcntl(ends[1], F_GETFL) | O_NONBLOCK), 0);
    const std::string text(1 << 20, 'x');  // far more than a pipe holds
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) received.append(buffer, static_cast<std::size_t>(n));
    });
    writeAll(ends[1], text);
    ::close(ends[1]);
    reader.join();
    ::close(ends[0]);
    EXPECT_EQ(received.size(), text.size());
}

}  // namespace
}  // namespace duoquill
