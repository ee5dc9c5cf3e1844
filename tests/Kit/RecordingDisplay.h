#pragma once
// What a chat client shows, recorded line by line with the simulated time, for the driver's
// tests and the machine's alike.

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "DuoquillCLI/Chat/ChatDisplay.h"
#include "Kit/ManualTimeline.h"

namespace duoquill::test {

// Every line the client shows, as "kind:text" ("status:connecting...", "connected", "prompt",
// "received:hi", ...), with the simulated time it was shown at.
class RecordingDisplay final : public cli::ChatDisplay {
public:
    explicit RecordingDisplay(const ManualTimeline& timeline) : timeline_(timeline) {}
    std::vector<std::string> lines;
    std::vector<double> times;

    void banner(const cli::ChatBanner&) override { push("banner"); }
    void startupError(std::string_view m) override { push("startup:", m); }
    void status(std::string_view t) override { push("status:", t); }
    void peerEvent(std::string_view t) override { push("peer:", t); }
    void error(std::string_view t) override { push("error:", t); }
    void connected() override { push("connected"); }
    void sent(std::string_view t) override { push("sent:", t); }
    void sentLater(std::string_view t) override { push("sent later:", t); }
    void queued(std::string_view t) override { push("queued:", t); }
    void received(std::string_view t) override { push("received:", t); }
    void prompt() override { push("prompt"); }

    std::size_t count(std::string_view line) const { return std::count(lines.begin(), lines.end(), line); }
    bool contains(std::string_view line) const { return count(line) > 0; }
    std::vector<double> timesOf(std::string_view line) const {
        std::vector<double> out;
        for (std::size_t i = 0; i < lines.size(); ++i) if (lines[i] == line) out.push_back(times[i]);
        return out;
    }

private:
    void push(std::string_view kind, std::string_view text = {}) {
        lines.push_back(std::string(kind) + std::string(text));
        times.push_back(timeline_.now());
    }
    const ManualTimeline& timeline_;
};

}  // namespace duoquill::test
