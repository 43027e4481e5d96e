#include "platform/x11/deadline.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

#include "platform/mac.h"

namespace brindlecast::platform::x11 {

namespace {

// Whether a thread of this process sleeps in a system call (waits for a
// socket, a lock or a timer) rather than runs.
bool waiting(pid_t thread) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(thread));
    std::FILE* file = std::fopen(path, "re");
    if (file == nullptr) return true;
    char line[512];
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    if (!read) return true;
    // The state follows the parenthesised command name, which may hold anything.
    const char* close = std::strrchr(line, ')');
    if (close == nullptr || close[1] == '\0' || close[2] == '\0') return true;
    const char state = close[2];
    return state == 'S' || state == 'D';
}

}  // namespace

RequestDeadline::~RequestDeadline() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void RequestDeadline::begin() {
    {
        std::lock_guard lock(mutex_);
        deadline_ = Clock::now() + requestBudget;
        active_ = true;
        cut_ = false;
        ++serial_;
        handler_ = static_cast<pid_t>(::gettid());
        if (!thread_.joinable()) thread_ = std::thread([this] { watchdog(); });
    }
    changed_.notify_all();
}

void RequestDeadline::end() {
    std::lock_guard lock(mutex_);
    active_ = false;
}

void RequestDeadline::allow(Clock::duration wait) {
    {
        std::lock_guard lock(mutex_);
        if (wait > Clock::duration::zero()) deadline_ += wait;
    }
    changed_.notify_all();
}

Clock::time_point RequestDeadline::when() const {
    std::lock_guard lock(mutex_);
    // Outside a request (the agent's own set-up and clean-up) the budget is whole.
    return active_ ? deadline_ : Clock::now() + requestBudget;
}

int RequestDeadline::remainingMs(int capMs) const {
    std::lock_guard lock(mutex_);
    if (!active_) return capMs;
    if (cut_) return 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, capMs));
}

void RequestDeadline::cutShort() {
    std::lock_guard lock(mutex_);
    if (active_) cut_ = true;
}

bool RequestDeadline::wasCutShort() const {
    std::lock_guard lock(mutex_);
    return cut_;
}

void RequestDeadline::check() const {
    std::lock_guard lock(mutex_);
    if (active_ && cut_) throw PlatformError{};  // the desktop did not answer in time
}

unsigned long RequestDeadline::serial() const {
    std::lock_guard lock(mutex_);
    return serial_;
}

void RequestDeadline::watch(int fd) {
    {
        std::lock_guard lock(mutex_);
        fd_ = fd;
    }
    changed_.notify_all();
}

void RequestDeadline::watchdog() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (!active_ || fd_ < 0) {
            changed_.wait(lock);
            continue;
        }
        const auto due = deadline_ + shutdownGrace;
        if (Clock::now() < due) {
            changed_.wait_until(lock, due);
            continue;
        }
        if (!waiting(handler_)) {
            changed_.wait_until(lock, Clock::now() + shutdownGrace);
            continue;
        }
        // Still in the request, past its deadline, waiting: whatever it waits
        // for in the X server comes to an end, and Xlib reports the
        // connection lost.
        ::shutdown(fd_, SHUT_RDWR);
        fd_ = -1;
        cut_ = true;
    }
}

}  // namespace brindlecast::platform::x11
