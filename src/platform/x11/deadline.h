// How long one request may wait for the desktop.
//
// A request gets `requestBudget` for the X server and the buses, beyond the
// waits its operation makes on purpose (logind's answer to a power request,
// the pauses that let a client read a changed keyboard map), which move the
// deadline on. A bus call waits at most until the deadline, a connection
// still being made then is given up, and an X connection still blocked in a
// call a little after it is shut down, so Xlib returns. Whatever did not
// answer in time cuts the request short: it touches the desktop no more, and
// the backend reports a platform error when the request ends. The next
// request starts again with the whole budget and tries every connection anew.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <sys/types.h>

namespace brindlecast::platform::x11 {

using Clock = std::chrono::steady_clock;

inline constexpr auto requestBudget = std::chrono::seconds(5);
// How long after its deadline a request still blocked in the X server has its
// connection shut down: time for a bus call that ends at the deadline to
// return. A request that is busy computing, not waiting, keeps its
// connection.
inline constexpr auto shutdownGrace = std::chrono::milliseconds(250);

class RequestDeadline {
public:
    RequestDeadline() = default;
    ~RequestDeadline();
    RequestDeadline(const RequestDeadline&) = delete;
    RequestDeadline& operator=(const RequestDeadline&) = delete;

    // A request starts with the whole budget.
    void begin();
    // The request is answered: no connection is shut down for it any more.
    void end();
    // The operation waits this long on purpose; the deadline moves on by as much.
    void allow(Clock::duration wait);

    Clock::time_point when() const;
    // `capMs`, or less when the deadline comes sooner; 0 once it has passed.
    int remainingMs(int capMs) const;
    bool passed() const { return remainingMs(1) == 0; }

    // Something the request needed did not answer in time.
    void cutShort();
    bool wasCutShort() const;
    // Throws PlatformError once the request has been cut short.
    void check() const;
    // Counts the requests: a new number for every `begin`.
    unsigned long serial() const;

    // The socket to shut down when the request runs past its deadline; -1 for
    // none. Once this returns, a socket given before is never touched again.
    void watch(int fd);

private:
    void watchdog();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Clock::time_point deadline_{};
    bool active_ = false;
    bool cut_ = false;
    bool stopping_ = false;
    unsigned long serial_ = 0;
    int fd_ = -1;
    // The thread that handles the requests, and whether it waits now (the watchdog looks).
    pid_t handler_ = 0;
    std::thread thread_;  // started with the first request
};

// One attempt to make a connection, on a thread of its own so that a request
// can stop waiting for it. A result that nobody takes any more is given to
// `discard` on that thread.
template <typename T>
class Attempt {
public:
    Attempt(std::function<T()> work, std::function<void(T)> discard) : state_(std::make_shared<State>()) {
        state_->discard = std::move(discard);
        std::thread([state = state_, work = std::move(work)] {
            T made = work();
            std::unique_lock lock(state->mutex);
            if (state->abandoned) {
                lock.unlock();
                state->discard(std::move(made));
                return;
            }
            state->result = std::move(made);
            state->changed.notify_all();
        }).detach();
    }
    ~Attempt() {
        std::unique_lock lock(state_->mutex);
        state_->abandoned = true;
        if (state_->result) {
            T made = std::move(*state_->result);
            state_->result.reset();
            lock.unlock();
            state_->discard(std::move(made));
        }
    }
    Attempt(const Attempt&) = delete;
    Attempt& operator=(const Attempt&) = delete;

    // The result, once it has come; none when it has not come by `until`.
    std::optional<T> wait(Clock::time_point until) {
        std::unique_lock lock(state_->mutex);
        state_->changed.wait_until(lock, until, [&] { return state_->result.has_value(); });
        if (!state_->result) return std::nullopt;
        std::optional<T> made = std::move(state_->result);
        state_->result.reset();
        return made;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::optional<T> result;
        bool abandoned = false;
        std::function<void(T)> discard;
    };
    std::shared_ptr<State> state_;
};

}  // namespace brindlecast::platform::x11
