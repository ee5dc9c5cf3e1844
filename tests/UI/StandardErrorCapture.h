#pragma once
// Catches what the code under test writes to fd 2, one entry per write(2) call: fd 2 is
// pointed at a SOCK_SEQPACKET socket, which keeps the boundary of every write.

#include <string>
#include <vector>

namespace duoquill::test {

class StandardErrorCapture {
public:
    StandardErrorCapture();
    ~StandardErrorCapture();
    StandardErrorCapture(const StandardErrorCapture&) = delete;
    StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;

    // Every write made since the last call, in order.
    std::vector<std::string> writes();

private:
    int savedStandardError_ = -1;
    int reader_ = -1;
};

}  // namespace duoquill::test
