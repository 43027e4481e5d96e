// Time per "desktop.frame" answer through the agent binary, beside the time
// libjpeg-turbo alone needs for the same quality rungs on the same picture.
//
// For each case the picture the virtual Mac will show is also made here, the
// rungs the ladder takes on it are found with plain tjCompress2 calls, and
// then, interleaved so that a busy machine slows all three alike:
//   turbo    - plain tjCompress2 at each rung taken (libjpeg-turbo alone),
//   payload  - imagePayload in process (the ladder, encoder reuse, Base64),
//   response - one request line through the running agent until its answer
//              line has been read (everything: state check, picture, ladder,
//              Base64, JSON, pipe),
//   handled  - the same request handled and written as JSON in process (the
//              response without the loop's read and write and the pipe),
//   shot     - the virtual Mac's screenshot alone (in process), the part of the
//              response that stands in for the platform's capture.
// overhead = (response - turbo) / turbo: what all that is not JPEG encoding
// adds to it; "without the shot" leaves out the stand-in screenshot. Each
// figure is the fastest of the runs, the one least disturbed by other work on
// the machine (CPU time too grows when a busy neighbour shares the core and
// its caches). Nothing is asserted.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <turbojpeg.h>

#include "capture/frame.h"
#include "capture/payload.h"
#include "host/failure.h"
#include "host/host.h"
#include "host/json_out.h"
#include "platform/virtual/pictures.h"
#include "platform/virtual/virtual_mac.h"
#include "support/agent.h"
#include "support/pictures.h"


namespace {

namespace json = boost::json;
using Clock = std::chrono::steady_clock;
using brindlecast::capture::imagePayload;
using brindlecast::capture::qualityRungs;
using brindlecast::capture::turboQuality;
using brindlecast::platform::Picture;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double cpuMilliseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double threadCpu() { return cpuMilliseconds(CLOCK_THREAD_CPUTIME_ID); }

double fastest(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

// ---- The agent, one request line at a time ----------------------------------

class Agent {
public:
    explicit Agent(const std::string& statePath) {
        const testing_support::ChildProcess child = testing_support::spawnAgent(statePath);
        close(child.err);  // the agent writes nothing there
        pid_ = child.pid;
        in_ = child.in;
        out_ = child.out;
        buffer_.resize(8 << 20);
        if (clock_getcpuclockid(pid_, &cpuClock_) != 0) throw std::runtime_error("no CPU clock for the agent");
    }

    // The CPU time the agent has used so far, user and system.
    double cpu() const { return cpuMilliseconds(cpuClock_); }

    ~Agent() {
        close(in_);
        close(out_);
        int status = 0;
        waitpid(pid_, &status, 0);
    }

    // Sends one line and returns the answer line; only newly read bytes are
    // searched for its end, so reading costs the same for any answer size.
    std::string ask(const std::string& line) {
        std::string text = line + "\n";
        if (write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            throw std::runtime_error("write");
        }
        std::size_t size = 0;
        for (;;) {
            if (size == buffer_.size()) buffer_.resize(buffer_.size() * 2);
            const ssize_t n = read(out_, buffer_.data() + size, buffer_.size() - size);
            if (n <= 0) throw std::runtime_error("the agent closed its output");
            const void* end = std::memchr(buffer_.data() + size, '\n', static_cast<std::size_t>(n));
            size += static_cast<std::size_t>(n);
            if (end != nullptr) {
                return std::string(buffer_.data(), static_cast<std::size_t>(static_cast<const char*>(end) - buffer_.data()));
            }
        }
    }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    clockid_t cpuClock_{};
    std::vector<char> buffer_;
};

// ---- libjpeg-turbo alone ----------------------------------------------------

int turboFormat(const Picture& picture) {
    return picture.format == brindlecast::platform::PixelFormat::RGBA ? TJPF_RGBA : TJPF_RGBX;
}

struct Plain {
    tjhandle handle = tjInitCompress();
    std::vector<unsigned char> buffer;
    ~Plain() { tjDestroy(handle); }

    unsigned long encode(const Picture& picture, int quality) {
        const unsigned long capacity = tjBufSize(picture.width, picture.height, TJSAMP_420);
        if (buffer.size() < capacity) buffer.resize(capacity);
        unsigned char* out = buffer.data();
        unsigned long size = capacity;
        if (tjCompress2(handle, picture.pixels.data(), picture.width, static_cast<int>(picture.stride),
                        picture.height, turboFormat(picture), &out, &size, TJSAMP_420, quality,
                        TJFLAG_NOREALLOC) != 0) {
            throw std::runtime_error("tjCompress2 failed");
        }
        return size;
    }
};

// The TurboJPEG qualities the ladder takes on this picture: every rung down
// to the first that fits, or all of them when none does.
std::vector<int> rungsTaken(Plain& plain, const Picture& picture, double start, int64_t limit, bool& fits,
                            unsigned long& acceptedSize) {
    std::vector<int> taken;
    fits = false;
    for (double q : qualityRungs(start)) {
        taken.push_back(turboQuality(q));
        const unsigned long size = plain.encode(picture, taken.back());
        if (static_cast<int64_t>(size) <= limit) {
            fits = true;
            acceptedSize = size;
            break;
        }
    }
    return taken;
}

// ---- Pictures ---------------------------------------------------------------

// Mid grey with noise of amplitude `amount` (0 to 256), as RGB: a picture
// whose JPEG size grows smoothly with the amount.
std::vector<uint8_t> greyNoise(int width, int height, int amount) {
    auto rgb = testing_support::noiseRgb(width, height, 99);
    for (auto& byte : rgb) byte = static_cast<uint8_t>(std::clamp(128 + (byte - 128) * amount / 256, 0, 255));
    return rgb;
}

Picture pictureFromRgb(int width, int height, const std::vector<uint8_t>& rgb) {
    // As the virtual Mac decodes the PNG: four bytes a pixel, alpha 255.
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.stride = static_cast<std::size_t>(width) * 4;
    picture.format = brindlecast::platform::PixelFormat::RGBA;
    picture.pixels.resize(picture.stride * static_cast<std::size_t>(height));
    for (std::size_t i = 0, p = 0; i < rgb.size(); i += 3, p += 4) {
        std::memcpy(&picture.pixels[p], &rgb[i], 3);
        picture.pixels[p + 3] = 255;
    }
    return picture;
}

// The amount of noise at which only the last rung (quality 25) fits the limit:
// the most noise for which quality 25 still fits.
int noiseForLastRung(Plain& plain, int width, int height, int64_t limit) {
    int low = 0, high = 256;
    while (low < high) {
        const int mid = (low + high + 1) / 2;
        const auto picture = pictureFromRgb(width, height, greyNoise(width, height, mid));
        // A little room below the limit: later rungs are compressed from the
        // converted planes, whose size can differ by a few bytes.
        if (static_cast<int64_t>(plain.encode(picture, 25)) <= limit - limit / 50) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    return low;
}

// ---- Cases ------------------------------------------------------------------

enum class Scene { Desktop, LastRungFits, NothingFits };

struct Case {
    const char* name;
    int displayWidth;
    int displayHeight;
    int maxWidth;
    int maxHeight;
    int quality;
    const char* profile;
    Scene scene;
};

void run(const Case& c, const std::string& dir, int runs) {
    const int64_t limit = std::string_view(c.profile).starts_with("relay-") ? 184320 : 2097152;
    const auto size = brindlecast::capture::pictureSize(c.maxWidth, c.maxHeight,
                                                        {0, 0, double(c.displayWidth), double(c.displayHeight)});
    Plain plain;

    json::object displayObject{{"number", 1}, {"uuid", "3F2504E0-4F89-41D3-9A0C-0305E82C3301"},
                               {"bounds", {0, 0, c.displayWidth, c.displayHeight}}};
    Picture picture;
    if (c.scene == Scene::Desktop) {
        picture = brindlecast::platform::renderDesktop(size.width, size.height, 1);
    } else {
        const int amount = c.scene == Scene::NothingFits ? 256 : noiseForLastRung(plain, size.width, size.height, limit);
        const auto rgb = greyNoise(size.width, size.height, amount);
        const std::string path = dir + "/" + std::to_string(size.width) + "-" + std::to_string(amount) + ".png";
        testing_support::writePng(path, size.width, size.height, rgb);
        displayObject["image"] = path;
        picture = pictureFromRgb(size.width, size.height, rgb);
    }
    const std::string statePath = dir + "/state.json";
    {
        std::ofstream state(statePath, std::ios::trunc);
        state << json::serialize(json::object{{"displays", json::array{displayObject}}});
    }

    bool fits = false;
    unsigned long acceptedSize = 0;
    const auto taken = rungsTaken(plain, picture, c.quality / 100.0, limit, fits, acceptedSize);

    std::string request = R"({"id":"b","operation":"desktop.frame","profile":")" + std::string(c.profile) +
                          R"(","maxWidth":)" + std::to_string(c.maxWidth) + R"(,"maxHeight":)" +
                          std::to_string(c.maxHeight) + R"(,"jpegQuality":)" + std::to_string(c.quality) + "}";
    Agent agent(statePath);
    std::size_t answerBytes = 0;
    for (int i = 0; i < 2; ++i) answerBytes = agent.ask(request).size();  // warm up: file decoded, buffers grown

    // Wall-clock times, and CPU times, which other work on the machine does
    // not stretch: this thread's for the two in-process figures, the agent
    // process's own (user and system) for the response.
    brindlecast::platform::VirtualMac mac(statePath);
    const auto content = mac.shareableContent();
    brindlecast::platform::CaptureSettings settings;
    settings.width = size.width;
    settings.height = size.height;
    (void)mac.captureDisplay(content, 1, settings);
    brindlecast::platform::VirtualMac handlerMac(statePath);
    brindlecast::Host host(handlerMac);
    const json::object parsedRequest = json::parse(request).as_object();
    auto handleOnce = [&] {
        try {
            return brindlecast::serializeSorted(host.handle(parsedRequest)).size();
        } catch (const brindlecast::Failure&) {
            return std::size_t{0};
        }
    };
    handleOnce();

    std::vector<double> turbo, payload, response, turboCpu, payloadCpu, agentCpu, shotCpu, handledCpu;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        double cpu = threadCpu();
        for (int q : taken) plain.encode(picture, q);
        turboCpu.push_back(threadCpu() - cpu);
        turbo.push_back(millisecondsSince(start));

        start = Clock::now();
        cpu = threadCpu();
        try {
            const auto result = imagePayload(picture, c.quality / 100.0, limit);
            (void)result;
        } catch (const brindlecast::Failure&) {
        }
        payloadCpu.push_back(threadCpu() - cpu);
        payload.push_back(millisecondsSince(start));

        start = Clock::now();
        cpu = agent.cpu();
        answerBytes = agent.ask(request).size();
        agentCpu.push_back(agent.cpu() - cpu);
        response.push_back(millisecondsSince(start));

        cpu = threadCpu();
        const auto shot = mac.captureDisplay(content, 1, settings);
        shotCpu.push_back(threadCpu() - cpu);

        cpu = threadCpu();
        handleOnce();
        handledCpu.push_back(threadCpu() - cpu);
    }
    const double t = fastest(turboCpu), p = fastest(payloadCpu), a = fastest(agentCpu), shot = fastest(shotCpu);
    const double h = fastest(handledCpu);
    const double tw = fastest(turbo), pw = fastest(payload), rw = fastest(response);
    std::printf("%s: %dx%d %s, %d rung%s (%d..%d), %s%s\n", c.name, size.width, size.height, c.profile,
                static_cast<int>(taken.size()), taken.size() == 1 ? "" : "s", taken.front(), taken.back(),
                fits ? "JPEG of " : "none fits", fits ? (std::to_string(acceptedSize) + " B").c_str() : "");
    std::printf("  cpu : turbo %6.2f  payload %6.2f  handled %6.2f  agent %6.2f  (shot %5.2f)  overhead %+5.1f%%, "
                "without the shot %+5.1f%% (in process %+5.1f%%)\n",
                t, p, h, a, shot, (a - t) / t * 100, (a - shot - t) / t * 100, (h - shot - t) / t * 100);
    std::printf("  wall: turbo %6.2f  payload %6.2f  response %6.2f  overhead %+5.1f%%   answer line %zu B\n", tw, pw, rw,
                (rw - tw) / tw * 100, answerBytes);
}

// The cost of one request that does no picture work: the loop, the parse,
// the guard and the display list, and the pipe both ways.
void fixedCost(const std::string& dir, int runs) {
    const std::string statePath = dir + "/state.json";
    {
        std::ofstream state(statePath, std::ios::trunc);
        state << "{}";
    }
    Agent agent(statePath);
    std::vector<double> times, cpu;
    agent.ask(R"({"id":"m","operation":"desktop.monitors"})");
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        const double before = agent.cpu();
        agent.ask(R"({"id":"m","operation":"desktop.monitors"})");
        cpu.push_back(agent.cpu() - before);
        times.push_back(millisecondsSince(start));
    }
    std::printf("a request without a picture (desktop.monitors): agent cpu %.3f ms, wall %.3f ms\n", fastest(cpu),
                fastest(times));
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 21;
    char pattern[] = "/tmp/brindlecast-bench-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) return 1;
    const std::string dir = made;

    const Case cases[] = {
        {"1512x982 display, full size", 1512, 982, 1920, 1080, 75, "quality", Scene::Desktop},
        {"1512x982 display, 1280x720", 1512, 982, 1280, 720, 75, "balanced", Scene::Desktop},
        {"1512x982 display, 1280x720 relay", 1512, 982, 1280, 720, 75, "relay-balanced", Scene::Desktop},
        {"1920x1080 display, full size", 1920, 1080, 1920, 1080, 75, "quality", Scene::Desktop},
        {"1920x1080 display, full size q95", 1920, 1080, 1920, 1080, 95, "quality", Scene::Desktop},
        {"1920x1080 display, 1280x720 relay", 1920, 1080, 1280, 720, 75, "relay-balanced", Scene::Desktop},
        {"worst 1512x982: every rung", 1512, 982, 1920, 1080, 95, "relay-quality", Scene::LastRungFits},
        {"worst 1920x1080: every rung", 1920, 1080, 1920, 1080, 95, "relay-quality", Scene::LastRungFits},
        {"worst 1920x1080: no rung fits", 1920, 1080, 1920, 1080, 95, "relay-quality", Scene::NothingFits},
    };
    std::printf("milliseconds, fastest of %d runs: cpu = CPU time, wall = elapsed; turbo = libjpeg-turbo alone "
                "(tjCompress2) on the rungs taken, payload = imagePayload in process, handled = the request in process, "
                "agent/response = the whole request through the binary, shot = the virtual Mac's screenshot\n",
                runs);
    for (const auto& c : cases) run(c, dir, runs);
    fixedCost(dir, runs);

    std::string command = "rm -rf '" + dir + "'";
    return std::system(command.c_str()) == 0 ? 0 : 1;
}
