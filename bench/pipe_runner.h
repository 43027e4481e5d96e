// Runs a program with input fed through a pipe and its output drained, and
// times the whole exchange.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct PipeRun {
    double seconds = 0;
    std::size_t outputBytes = 0;
    std::size_t outputLines = 0;
    std::string output;  // kept only when asked for
};

// The program sees BRINDLECAST_VIRTUAL_MAC set to `statePath` (empty: the
// built-in default Mac).
PipeRun runThroughPipe(const std::string& program, const std::string& input, const std::string& statePath = "",
                       bool keepOutput = false);

}  // namespace bench
