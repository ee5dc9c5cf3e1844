#pragma once
// Runs a real program as a child process: arguments, environment, standard input fed by
// the test, standard output and error captured.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace duoquill::test {

struct ProcessResult {
    int exitStatus = -1;     // exit code, or -1 when killed by a signal
    int signal = 0;          // the signal that ended it, if any
    bool timedOut = false;
    std::string standardOutput;
    std::string standardError;
};

struct ProcessOptions {
    // Variables set on top of (or, with clearEnvironment, instead of) the test's environment.
    std::map<std::string, std::string> environment;
    std::vector<std::string> unsetEnvironment;
    bool clearEnvironment = false;
    std::string standardInput;
    std::chrono::milliseconds timeout{30000};
};

// Runs to completion (or kills it at the time-out).
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const ProcessOptions& options = {});

}  // namespace duoquill::test
