// brindlecast-state-check FILE: checks a virtual Mac state file. Prints one
// line per problem and exits 0 only when the state is sound (1 otherwise,
// 2 when called without exactly one file).
#include <cstdio>
#include <string>

#include "check/state_check.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s STATE.json\n", argc > 0 ? argv[0] : "brindlecast-state-check");
        return 2;
    }
    const std::string path = argv[1];
    const auto problems = brindlecast::check::checkState(path);
    for (const auto& problem : problems) std::printf("%s: %s\n", path.c_str(), problem.c_str());
    return problems.empty() ? 0 : 1;
}
