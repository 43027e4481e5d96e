// Requests per second through the real agent over a pipe, beside the floor:
// a program that only answers each line with a fixed line by the same two
// unbuffered writes. Target: the agent needs at most 3 times the floor's time.
#include <cstdio>
#include <string>

#include "pipe_runner.h"

int main() {
    constexpr int requests = 200000;
    std::string input;
    input.reserve(requests * 48);
    for (int i = 0; i < requests; ++i) {
        input += "{\"id\":\"" + std::to_string(i) + "\",\"operation\":\"desktop.guard\"}\n";
    }
    // Best of three for each, interleaved so both see the same machine.
    double agent = 1e9, floor = 1e9;
    std::size_t agentLines = 0, floorLines = 0;
    for (int round = 0; round < 3; ++round) {
        auto a = bench::runThroughPipe(BRINDLECAST_AGENT, input);
        auto f = bench::runThroughPipe(BRINDLECAST_FLOOR, input);
        if (a.seconds < agent) agent = a.seconds;
        if (f.seconds < floor) floor = f.seconds;
        agentLines = a.outputLines;
        floorLines = f.outputLines;
    }
    std::printf("desktop.guard x %d over a pipe (default virtual Mac), best of 3\n", requests);
    std::printf("  agent: %8.3f s  %10.0f requests/s  (%zu responses)\n", agent, requests / agent, agentLines);
    std::printf("  floor: %8.3f s  %10.0f requests/s  (%zu responses)\n", floor, requests / floor, floorLines);
    std::printf("  agent time / floor time: %.2f (target: at most 3.00)\n", agent / floor);
    return agentLines == static_cast<std::size_t>(requests) ? 0 : 1;
}
