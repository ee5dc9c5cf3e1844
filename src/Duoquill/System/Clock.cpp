#include "Duoquill/System/Clock.h"

#include <time.h>

namespace duoquill {
namespace {

double read(clockid_t id) {
    timespec ts{};
    ::clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

class SystemClock final : public Clock {
public:
    double wallSeconds() const override { return read(CLOCK_REALTIME); }
    // CLOCK_BOOTTIME keeps counting through suspend, like the uptime the session caps.
    double uptimeSeconds() const override { return read(CLOCK_BOOTTIME); }
};

}  // namespace

Clock& Clock::system() {
    static SystemClock clock;
    return clock;
}

}  // namespace duoquill
