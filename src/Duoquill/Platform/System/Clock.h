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

// A clock that moves only when told to; for tests.
class ManualClock final : public Clock {
public:
    explicit ManualClock(double wall = 1'700'000'000.0, double uptime = 1000.0) : wall_(wall), uptime_(uptime) {}
    double wallSeconds() const override { return wall_; }
    double uptimeSeconds() const override { return uptime_; }
    void setWall(double seconds) { wall_ = seconds; }
    void setUptime(double seconds) { uptime_ = seconds; }
    void advance(double seconds) {
        wall_ += seconds;
        uptime_ += seconds;
    }

private:
    double wall_;
    double uptime_;
};

}  // namespace duoquill
