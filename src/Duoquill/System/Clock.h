#pragma once
// The clocks the system reads: wall-clock time and system uptime. Classes that read time take
// a Clock& so tests can substitute a controllable one.

namespace duoquill {

class Clock {
public:
    virtual ~Clock() = default;
    // Seconds since 1970-01-01 00:00:00 UTC.
    virtual double wallSeconds() const = 0;
    // Seconds of system uptime (monotonic, unaffected by wall-clock changes).
    virtual double uptimeSeconds() const = 0;

    static Clock& system();
};

}  // namespace duoquill
