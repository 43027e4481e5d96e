// What a hostile desktop costs the X11 agent: on the tests' private headless
// desktop, a data folder of entries and icon files made to cost memory and
// time (tests/x11/hostile_desktop.h), and the agent's answers to "apps.list"
// and "apps.icon" on it, timed, with the agent's peak resident memory.
//
//   build/bench/x11_catalog_bench [fillers]     (default 512: the catalog's limit)
//
// Targets: every answer within its bound (the generic icon after at most
// 2 s for an SVG), the agent's peak memory under 64 MB.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <boost/json.hpp>

#include "harness.h"
#include "hostile_desktop.h"

namespace {

namespace fs = std::filesystem;

long peakMemoryKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    const int fillers = argc > 1 ? std::atoi(argv[1]) : 512;
    if (x11test::agentPath().empty()) {
        std::fprintf(stderr, "no X11 agent: build BrindlecastNative-x11\n");
        return 1;
    }
    auto& desktop = x11test::desktop();
    desktop.start();
    desktop.setLogind({});
    const fs::path dir = desktop.dir() + "/hostile";
    if (!x11test::writeHostileDesktop(dir.string(), fillers)) {
        std::fprintf(stderr, "cannot write the hostile desktop\n");
        desktop.stop();
        return 1;
    }
    {
        x11test::Agent agent(desktop, {"XDG_DATA_HOME=" + dir.string(), "XDG_DATA_DIRS=" + (dir / "none").string()});
        using Clock = std::chrono::steady_clock;
        const auto timed = [&](const std::string& line, boost::json::object& response) {
            const auto start = Clock::now();
            response = agent.ask(line, 120);
            return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        };
        boost::json::object list;
        const double cold = timed(R"({"id":"l","operation":"apps.list"})", list);
        boost::json::object again;
        const double reused = timed(R"({"id":"l","operation":"apps.list"})", again);
        std::printf("%d entries of 127 KiB, one with a 50 MB Name, five with hostile or plain icons\n\n", fillers);
        std::printf("| Request | ms | answer |\n|---|---|---|\n");
        std::printf("| apps.list, scanning | %.1f | %zu apps |\n", cold,
                    list.contains("apps") ? list.at("apps").as_array().size() : 0);
        std::printf("| apps.list, within the reuse | %.1f | |\n", reused);
        if (list.contains("apps")) {
            for (const auto& app : list.at("apps").as_array()) {
                const std::string name(app.at("name").as_string());
                if (name.starts_with("Filler")) continue;
                boost::json::object icon;
                const double ms = timed(R"({"id":"i","operation":"apps.icon","appId":")" +
                                            std::string(app.at("id").as_string()) + "\"}",
                                        icon);
                std::printf("| apps.icon, %s | %.1f | %s |\n", name.c_str(), ms,
                            icon.contains("ok") && icon.at("ok").as_bool() ? "ok" : "failed");
            }
        }
        std::printf("\nthe agent's peak resident memory: %.1f MiB\n", peakMemoryKiB(agent.pid()) / 1024.0);
    }
    desktop.stop();
    return 0;
}
