// Time per frame: libjpeg-turbo alone beside the agent's encoder on one, two
// and all threads, and the whole "desktop.frame" answer through the binary.
//
// For each case the picture the virtual Mac will show is also made here, the
// rungs the ladder takes on it are found with plain tjCompress2 calls, and
// then, interleaved so that a busy machine slows all of them alike:
//   turbo     - plain tjCompress2 on one thread at each rung taken,
//   encoder N - the agent's encoder on N threads on the same rungs (the
//               strips, early stop on rungs over the limit, colour
//               conversion once per frame), without Base64,
//   payload   - imagePayload on all threads (the encoder plus Base64),
//   handled   - the request handled and written as JSON in process,
//   response  - one request line through the running agent until its answer
//               line has been read (state check, picture, ladder, Base64,
//               JSON, pipe),
//   shot      - the virtual Mac's screenshot alone, the part of a response
//               that stands in for the platform's capture.
// Each figure is the fastest of the runs (wall clock), the one least
// disturbed by other work on the machine; "cpu" is the CPU time of all the
// process's threads for the same work. Nothing is asserted.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#ifdef __APPLE__
#include <libproc.h>
#include <mach/mach_time.h>
#endif
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

double processCpu() { return cpuMilliseconds(CLOCK_PROCESS_CPUTIME_ID); }

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
#ifndef __APPLE__
        if (clock_getcpuclockid(pid_, &cpuClock_) != 0) throw std::runtime_error("no CPU clock for the agent");
#endif
    }

    // The CPU time the agent has used so far, user and system.
    double cpu() const {
#ifdef __APPLE__
        // macOS has no clock of another process: its resource usage counts
        // mach time units, which the timebase turns into nanoseconds.
        rusage_info_v4 usage{};
        if (proc_pid_rusage(pid_, RUSAGE_INFO_V4, reinterpret_cast<rusage_info_t*>(&usage)) != 0) return 0;
        mach_timebase_info_data_t timebase{};
        mach_timebase_info(&timebase);
        const double units = static_cast<double>(usage.ri_user_time + usage.ri_system_time);
        return units * timebase.numer / timebase.denom / 1e6;
#else
        return cpuMilliseconds(cpuClock_);
#endif
    }

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
#ifndef __APPLE__
    clockid_t cpuClock_{};
#endif
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

// ---- Cases ------------------------------------------------------------------

enum class Scene { Desktop, NothingFits };

struct Case {
    const char* name;
    int width;
    int height;
    int quality;
    const char* profile;
    Scene scene;
};

// Runs `work` and returns its wall-clock time, adding its CPU time to `cpu`.
template <class Work>
double timed(Work&& work, std::vector<double>& cpu) {
    const auto start = Clock::now();
    const double before = processCpu();
    work();
    cpu.push_back(processCpu() - before);
    return millisecondsSince(start);
}

void run(const Case& c, const std::string& dir, int runs, const std::vector<int>& threadCounts) {
    const int64_t limit = std::string_view(c.profile).starts_with("relay-") ? 184320 : 2097152;
    Plain plain;

    json::object displayObject{{"number", 1}, {"uuid", "3F2504E0-4F89-41D3-9A0C-0305E82C3301"},
                               {"bounds", {0, 0, c.width, c.height}}};
    Picture picture;
    if (c.scene == Scene::Desktop) {
        picture = brindlecast::platform::renderDesktop(c.width, c.height, 1);
    } else {
        const auto rgb = testing_support::noiseRgb(c.width, c.height, 99);
        const std::string path = dir + "/" + std::to_string(c.width) + "-noise.png";
        testing_support::writePng(path, c.width, c.height, rgb);
        displayObject["image"] = path;
        picture = pictureFromRgb(c.width, c.height, rgb);
    }
    const std::string statePath = dir + "/state.json";
    {
        std::ofstream state(statePath, std::ios::trunc);
        state << json::serialize(json::object{{"displays", json::array{displayObject}}});
    }

    bool fits = false;
    unsigned long acceptedSize = 0;
    const auto taken = rungsTaken(plain, picture, c.quality / 100.0, limit, fits, acceptedSize);
    const auto rungs = qualityRungs(c.quality / 100.0);

    std::string request = R"({"id":"b","operation":"desktop.frame","profile":")" + std::string(c.profile) +
                          R"(","maxWidth":1920,"maxHeight":1080,"jpegQuality":)" + std::to_string(c.quality) + "}";
    Agent agent(statePath);
    std::size_t answerBytes = 0;
    for (int i = 0; i < 2; ++i) answerBytes = agent.ask(request).size();  // warm up: file decoded, buffers grown

    brindlecast::platform::VirtualMac mac(statePath);
    const auto content = mac.shareableContent(brindlecast::platform::ContentScope::displays);
    brindlecast::platform::CaptureSettings settings;
    settings.width = c.width;
    settings.height = c.height;
    (void)mac.captureDisplay(content, 1, settings);
    brindlecast::platform::VirtualMac handlerMac(statePath);
    brindlecast::Host host(handlerMac);
    const json::object parsedRequest = json::parse(request).as_object();
    auto handleOnce = [&] {
        try {
            const auto answer = host.handle(parsedRequest);
            return brindlecast::serializeSortedLending(answer).size();
        } catch (const brindlecast::Failure&) {
            return std::size_t{0};
        }
    };
    handleOnce();

    // The agent's encoder on the same rungs, stopping where the ladder stops.
    std::size_t ourSize = 0;
    std::optional<double> acceptedRung;
    auto encodeLadder = [&](int threads) {
        brindlecast::capture::JpegEncoder encoder(picture, threads);
        for (std::size_t i = 0; i < taken.size(); ++i) {
            const auto bytes = encoder.encode(rungs[i], limit);
            if (bytes) {
                ourSize = bytes->size;
                acceptedRung = rungs[i];
                break;
            }
        }
    };
    for (int t : threadCounts) encodeLadder(t);
    // The accepted JPEG kept, to time its Base64 text and its JSON line alone.
    brindlecast::capture::JpegEncoder keeper(picture);
    std::optional<brindlecast::capture::JpegPieces> accepted;
    if (acceptedRung) accepted = keeper.encode(*acceptedRung, limit);
    std::vector<double> base64, line, base64Cpu, lineCpu;

    std::vector<double> turbo, response, payload, handled, shot;
    std::vector<std::vector<double>> ours(threadCounts.size());
    std::vector<double> turboCpu, payloadCpu, handledCpu, shotCpu, agentCpu;
    std::vector<std::vector<double>> oursCpu(threadCounts.size());
    for (int i = 0; i < runs; ++i) {
        turbo.push_back(timed([&] { for (int q : taken) plain.encode(picture, q); }, turboCpu));
        for (std::size_t t = 0; t < threadCounts.size(); ++t) {
            ours[t].push_back(timed([&] { encodeLadder(threadCounts[t]); }, oursCpu[t]));
        }
        payload.push_back(timed([&] {
            try {
                (void)imagePayload(picture, c.quality / 100.0, limit);
            } catch (const brindlecast::Failure&) {
            }
        }, payloadCpu));
        shot.push_back(timed([&] { (void)mac.captureDisplay(content, 1, settings); }, shotCpu));
        handled.push_back(timed([&] { handleOnce(); }, handledCpu));
        if (accepted) {
            json::object answer{{"id", "b"}, {"ok", true}};
            base64.push_back(timed([&] {
                answer.emplace("frame", brindlecast::capture::payloadFromPieces(*accepted, "image/jpeg"));
            }, base64Cpu));
            line.push_back(timed([&] { (void)brindlecast::serializeSortedLending(answer); }, lineCpu));
        }
        const auto start = Clock::now();
        const double before = agent.cpu();
        answerBytes = agent.ask(request).size();
        agentCpu.push_back(agent.cpu() - before);
        response.push_back(millisecondsSince(start));
    }
    const double t = fastest(turbo);
    std::printf("%s: %dx%d %s from %d, %d rung%s (%d..%d), %s", c.name, c.width, c.height, c.profile, c.quality,
                static_cast<int>(taken.size()), taken.size() == 1 ? "" : "s", taken.front(), taken.back(),
                fits ? "fits: " : "none fits\n");
    if (fits) std::printf("JPEG %zu B (tjCompress2 %lu B)\n", ourSize, acceptedSize);
    std::printf("  wall: turbo %6.2f", t);
    for (std::size_t i = 0; i < threadCounts.size(); ++i) {
        std::printf("  encoder %dt %6.2f (%.2fx)", threadCounts[i], fastest(ours[i]), fastest(ours[i]) / t);
    }
    std::printf("  payload %6.2f  response %6.2f (%.2fx)\n", fastest(payload), fastest(response),
                fastest(response) / t);
    std::printf("  cpu : turbo %6.2f", fastest(turboCpu));
    for (std::size_t i = 0; i < threadCounts.size(); ++i) {
        std::printf("  encoder %dt %6.2f (%.2fx)", threadCounts[i], fastest(oursCpu[i]), fastest(oursCpu[i]) / fastest(turboCpu));
    }
    std::printf("  payload %6.2f  agent %6.2f\n", fastest(payloadCpu), fastest(agentCpu));
    // What the answer costs beyond the encoding, in CPU time (which other
    // work on the machine stretches less than wall-clock time): Base64, the
    // JSON line and the request's own checks, the stand-in screenshot left out.
    const double encoding = fastest(oursCpu.back());
    const double beyond = fastest(handledCpu) - fastest(shotCpu) - encoding;
    std::printf("  beyond encoding (cpu): handled %.2f - shot %.2f - encoding %.2f = %.3f ms (%+.1f%% of the "
                "encoding); answer line %zu B\n",
                fastest(handledCpu), fastest(shotCpu), encoding, beyond, beyond / encoding * 100, answerBytes);
    if (accepted) {
        const double text = fastest(base64), json = fastest(line);
        std::printf("    of which Base64 into the payload %.3f ms, the JSON line %.3f ms: %.1f%% of the encoding\n",
                    text, json, (text + json) / encoding * 100);
    }
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
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 11;
    char pattern[] = "/tmp/brindlecast-bench-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) return 1;
    const std::string dir = made;

    const int all = brindlecast::capture::encoderThreads();
    std::vector<int> threadCounts{1};
    if (all >= 2) threadCounts.push_back(2);
    if (all > 2) threadCounts.push_back(all);

    const Case cases[] = {
        {"one rung q75", 1512, 982, 75, "quality", Scene::Desktop},
        {"one rung q95", 1512, 982, 95, "quality", Scene::Desktop},
        {"one rung q75", 1920, 1080, 75, "quality", Scene::Desktop},
        {"one rung q95", 1920, 1080, 95, "quality", Scene::Desktop},
        {"relay ladder", 1512, 982, 95, "relay-quality", Scene::Desktop},
        {"relay ladder", 1920, 1080, 95, "relay-quality", Scene::Desktop},
        {"nothing fits", 1512, 982, 95, "relay-quality", Scene::NothingFits},
        {"nothing fits", 1920, 1080, 95, "relay-quality", Scene::NothingFits},
    };
    std::printf("milliseconds, fastest of %d runs; %u hardware threads, the encoder uses up to %d; turbo = "
                "tjCompress2 on one thread on the rungs the ladder takes, encoder Nt = the agent's encoder on N "
                "threads on the same rungs, response = the whole request through the binary; (x) = times turbo\n",
                runs, std::thread::hardware_concurrency(), all);
    for (const auto& c : cases) run(c, dir, runs, threadCounts);
    fixedCost(dir, runs);

    std::string command = "rm -rf '" + dir + "'";
    return std::system(command.c_str()) == 0 ? 0 : 1;
}
