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

PipeRun runThroughPipe(const std::string& program, const std::string& input,
                       const std::vector<std::string>& environment = {}, bool keepOutput = false);

}  // namespace bench
