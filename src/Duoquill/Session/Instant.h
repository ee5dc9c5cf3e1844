#pragma once
// One moment as the session and the chat machine are told it: the caller reads the clocks,
// they never do.

#include "Duoquill/System/Clock.h"

namespace duoquill {

struct Instant {
    double wallSeconds = 0;    // seconds since 1970-01-01 00:00:00 UTC
    double uptimeSeconds = 0;  // system uptime: monotonic, unaffected by wall-clock changes

    static Instant of(const Clock& clock) { return {clock.wallSeconds(), clock.uptimeSeconds()}; }
};

}  // namespace duoquill
