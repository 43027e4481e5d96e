// The application catalog on a generated tree of 2,000 bundles across the
// three scan roots: a cold scan, a scan within the reuse period, and
// "apps.list". Also counts the platform's file-system calls on the reuse path.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include <benchmark/benchmark.h>
#include <boost/json/serialize.hpp>

#include "apps/catalog.h"
#include "apps/list.h"
#include "host/host.h"
#include "platform/virtual/virtual_mac.h"
#include "support/forwarding_mac.h"

namespace fs = std::filesystem;
using namespace brindlecast;

namespace {

// Forwards to the virtual Mac and counts the calls that reach the file system.
class CountingMac final : public testing_support::ForwardingMac {
public:
    using ForwardingMac::ForwardingMac;
    std::size_t fileSystemCalls = 0;

    std::optional<std::vector<platform::FolderEntry>> listFolder(const std::string& p) override {
        ++fileSystemCalls;
        return ForwardingMac::listFolder(p);
    }
    std::optional<platform::Bundle> openBundle(const std::string& p) override {
        ++fileSystemCalls;
        return ForwardingMac::openBundle(p);
    }
    std::string standardLocation(const std::string& p) override {
        ++fileSystemCalls;
        return ForwardingMac::standardLocation(p);
    }
    bool fileExists(const std::string& p) override {
        ++fileSystemCalls;
        return ForwardingMac::fileExists(p);
    }
    std::optional<platform::Picture> drawIcon(const std::string& p, int size) override {
        ++fileSystemCalls;
        return ForwardingMac::drawIcon(p, size);
    }
};

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

void makeBundle(const std::string& path, int n) {
    fs::create_directories(path + "/Contents/MacOS");
    writeFile(path + "/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
              "<key>CFBundleIdentifier</key><string>com.example.bench" + std::to_string(n) + "</string>\n"
              "<key>CFBundleDisplayName</key><string>Bench App " + std::to_string(n) + "</string>\n"
              "<key>CFBundleExecutable</key><string>App</string>\n"
              "<key>CFBundleVersion</key><string>1.0</string>\n</dict>\n</plist>\n");
    writeFile(path + "/Contents/MacOS/App", "#!/bin/sh\n");
}

struct Tree {
    std::string dir;
    std::string state;
    int bundles = 0;
};

// 2,000 bundles: 800 in the applications root (400 directly, 400 in eight
// folders), 700 in the system root (300 directly, 400 two folders down),
// 500 in the home root (in ten folders).
Tree makeTree() {
    char pattern[] = "/tmp/brindlecast-bench-XXXXXX";
    Tree tree;
    tree.dir = mkdtemp(pattern);
    const std::string apps = tree.dir + "/Applications";
    const std::string system = tree.dir + "/System";
    const std::string home = tree.dir + "/Home";
    char name[64];
    for (int i = 0; i < 400; ++i) {
        std::snprintf(name, sizeof name, "/App%03d.app", i);
        makeBundle(apps + name, tree.bundles++);
    }
    for (int f = 0; f < 8; ++f) {
        for (int i = 0; i < 50; ++i) {
            std::snprintf(name, sizeof name, "/Folder%d/Tool%02d.app", f, i);
            makeBundle(apps + name, tree.bundles++);
        }
    }
    for (int i = 0; i < 300; ++i) {
        std::snprintf(name, sizeof name, "/Sys%03d.app", i);
        makeBundle(system + name, tree.bundles++);
    }
    for (int i = 0; i < 400; ++i) {
        std::snprintf(name, sizeof name, "/Utilities/Group%d/Util%03d.app", i / 100, i);
        makeBundle(system + name, tree.bundles++);
    }
    for (int i = 0; i < 500; ++i) {
        std::snprintf(name, sizeof name, "/Set%d/Home%03d.app", i / 50, i);
        makeBundle(home + name, tree.bundles++);
    }
    tree.state = tree.dir + "/state.json";
    writeFile(tree.state, boost::json::serialize(boost::json::object{
                              {"applicationFolders", {{"applications", apps}, {"system", system}, {"home", home}}},
                              {"now", 1000},
                              {"runningApps", boost::json::array{{{"pid", 500}, {"bundlePath", apps + "/App007.app"}},
                                                                 {{"pid", 501}, {"bundlePath", apps + "/App123.app"}}}},
                          }));
    return tree;
}

Tree* tree = nullptr;

void coldScan(benchmark::State& state) {
    platform::VirtualMac mac(tree->state);
    Host host(mac);
    for (auto _ : state) {
        host.catalogTime = -std::numeric_limits<double>::infinity();
        apps::refreshCatalog(host);
        benchmark::DoNotOptimize(host.catalog.size());
    }
    state.counters["catalogued"] = static_cast<double>(host.catalog.size());
}

void reusedScan(benchmark::State& state) {
    platform::VirtualMac virtualMac(tree->state);
    CountingMac mac(virtualMac);
    Host host(mac);
    apps::refreshCatalog(host);
    mac.fileSystemCalls = 0;
    for (auto _ : state) {
        apps::refreshCatalog(host);
        benchmark::DoNotOptimize(host.catalog.size());
    }
    state.counters["fsCallsPerScan"] = static_cast<double>(mac.fileSystemCalls) / static_cast<double>(state.iterations());
}

void appsList(benchmark::State& state) {
    platform::VirtualMac mac(tree->state);
    Host host(mac);
    apps::refreshCatalog(host);
    const Request request{{"operation", "apps.list"}};
    std::size_t listed = 0;
    for (auto _ : state) {
        Result result;
        apps::appsList(host, request, result);
        listed = result["apps"].as_array().size();
        benchmark::DoNotOptimize(result);
    }
    state.counters["listed"] = static_cast<double>(listed);
}

void appsListWithColdScan(benchmark::State& state) {
    platform::VirtualMac mac(tree->state);
    Host host(mac);
    const Request request{{"operation", "apps.list"}};
    for (auto _ : state) {
        host.catalogTime = -std::numeric_limits<double>::infinity();
        Result result;
        apps::appsList(host, request, result);
        benchmark::DoNotOptimize(result);
    }
}

}  // namespace

BENCHMARK(coldScan)->Unit(benchmark::kMillisecond);
BENCHMARK(reusedScan)->Unit(benchmark::kNanosecond);
BENCHMARK(appsList)->Unit(benchmark::kMillisecond);
BENCHMARK(appsListWithColdScan)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    Tree made = makeTree();
    tree = &made;
    std::printf("tree: %d bundles across three roots in %s\n", made.bundles, made.dir.c_str());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(made.dir, ec);
    return 0;
}
