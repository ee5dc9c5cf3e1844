#pragma once
// The relay's operator log: one line per connection event on standard error. Frame contents
// never reach it, and room tokens appear only as a short hash prefix (roomTag).

#include <string>
#include <string_view>

namespace duoquill::relay {

class RelayLog {
public:
    explicit RelayLog(bool quiet) : quiet_(quiet) {}

    bool enabled() const { return !quiet_; }

    // Writes "<UTC time> <line>\n" in one write(2), so lines of several threads never mix.
    void write(std::string_view line) const;
    // For what the operator must hear of even with the log off: a failure the relay works around.
    void writeEvenWhenQuiet(std::string_view line) const;

    // The first 8 hexadecimal characters of SHA-256 of the token: enough to tell rooms apart
    // in a log, useless for joining one.
    static std::string roomTag(std::string_view token);

private:
    bool quiet_;
};

}  // namespace duoquill::relay
