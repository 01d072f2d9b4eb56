// The worker pool behind the detectors' threads option.
#include "parallel.h"
#include "diagnostics.h"

WorkerPool::WorkerPool(int threads)
{
    for (int i = 1; i < threads; ++i)
        workers_.emplace_back([this] { work(); });
}

WorkerPool::~WorkerPool()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
}

WorkerPool& WorkerPool::serial()
{
    static WorkerPool pool(1);
    return pool;
}

void WorkerPool::forEach(size_t count, const std::function<void(size_t)>& task)
{
    if (workers_.empty() || count <= 1) {
        for (size_t i = 0; i < count; ++i)
            task(i);
        return;
    }
    // Tasks report diagnostics where the caller does.
    DiagnosticCounter* const counter = currentDiagnosticCounter();
    const std::function<void(size_t)> reporting = [&](size_t i) {
        const ScopedDiagnosticCounter scope(counter);
        task(i);
    };
    std::unique_lock<std::mutex> lock(mutex_);
    task_ = &reporting;
    count_ = count;
    next_ = 0;
    finished_ = 0;
    ++generation_;
    wake_.notify_all();
    lock.unlock();
    runTasks();
    lock.lock();
    done_.wait(lock, [this] { return finished_ == count_; });
    task_ = nullptr;
}

// Takes indices until none is left; called by the workers and the caller.
void WorkerPool::runTasks()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (task_ && next_ < count_) {
        const size_t index = next_++;
        const std::function<void(size_t)>& task = *task_;
        lock.unlock();
        task(index);
        lock.lock();
        if (++finished_ == count_)
            done_.notify_all();
    }
}

void WorkerPool::work()
{
    unsigned long seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_)
                return;
            seen = generation_;
        }
        runTasks();
    }
}

void forEachBlock(WorkerPool& pool, int size, int grain, const std::function<void(int, int)>& body)
{
    if (size <= 0)
        return;
    const int blocks = pool.threads() == 1 ? 1 : (size + grain - 1) / grain;
    const int step = (size + blocks - 1) / blocks;
    pool.forEach(static_cast<size_t>(blocks), [&](size_t b) {
        const int begin = static_cast<int>(b) * step;
        const int end = begin + step < size ? begin + step : size;
        if (begin < end)
            body(begin, end);
    });
}
