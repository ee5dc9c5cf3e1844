#include "Kit/RecordingDisplay.h"

namespace duoquill::test {

std::vector<double> RecordingDisplay::timesOf(std::string_view line) const {
    std::vector<double> out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == line) out.push_back(times[i]);
    }
    return out;
}

}  // namespace duoquill::test
