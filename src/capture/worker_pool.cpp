#include "capture/worker_pool.h"

#include <algorithm>

namespace brindlecast::capture {

WorkerPool& WorkerPool::shared() {
    static WorkerPool pool(std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, maxThreads));
    return pool;
}

WorkerPool::WorkerPool(int threads) {
    for (int i = 1; i < threads; ++i) helpers_.emplace_back([this, i] { helperLoop(i - 1); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& helper : helpers_) helper.join();
}

void WorkerPool::take(const std::function<void(int)>& task) {
    for (;;) {
        int index = 0;
        {
            std::lock_guard lock(mutex_);
            if (next_ >= count_) return;
            index = next_++;
        }
        task(index);
    }
}

void WorkerPool::helperLoop(int index) {
    uint64_t seen = 0;
    for (;;) {
        const std::function<void(int)>* task = nullptr;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || (generation_ != seen && index < helpersWanted_); });
            if (stopping_) return;
            seen = generation_;
            task = task_;
        }
        take(*task);
        {
            std::lock_guard lock(mutex_);
            --helpersBusy_;
        }
        finished_.notify_all();
    }
}

void WorkerPool::run(int count, int threads, const std::function<void(int)>& task) {
    if (count <= 0) return;
    std::lock_guard runLock(runMutex_);
    const int helpers = std::clamp(std::min(threads, count) - 1, 0, static_cast<int>(helpers_.size()));
    {
        std::lock_guard lock(mutex_);
        task_ = &task;
        next_ = 0;
        count_ = count;
        helpersWanted_ = helpers;
        helpersBusy_ = helpers;
        ++generation_;
    }
    if (helpers > 0) wake_.notify_all();
    take(task);
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [&] { return helpersBusy_ == 0; });
    task_ = nullptr;
}

}  // namespace brindlecast::capture
