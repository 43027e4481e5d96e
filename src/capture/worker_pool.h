// A few threads, started once and kept for the life of the process, that run
// the independent pieces of one piece of work at the same time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace brindlecast::capture {

class WorkerPool {
public:
    // The process's pool: one thread for every hardware thread, at most
    // `maxThreads`, the calling thread counted among them.
    static WorkerPool& shared();
    static constexpr int maxThreads = 8;

    explicit WorkerPool(int threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Threads that can work at once, the caller included.
    int size() const { return static_cast<int>(helpers_.size()) + 1; }

    // Runs task(0) ... task(count - 1), each exactly once and roughly in that
    // order, on at most `threads` threads (the caller is one of them), and
    // returns when all have finished. The task must not throw. One run at a
    // time: a second caller waits for the first.
    void run(int count, int threads, const std::function<void(int)>& task);

private:
    void helperLoop(int index);
    void take(const std::function<void(int)>& task);

    std::mutex runMutex_;  // one run at a time
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    std::vector<std::thread> helpers_;
    // The current run, guarded by mutex_ (next_ is taken under it too).
    const std::function<void(int)>* task_ = nullptr;
    uint64_t generation_ = 0;
    int helpersWanted_ = 0;
    int helpersBusy_ = 0;
    int next_ = 0;
    int count_ = 0;
    bool stopping_ = false;
};

}  // namespace brindlecast::capture
