// A small pool of worker threads for the detectors, and the image operations
// that can spread their work over it. Internal to the library.
#ifndef AFFLIB_PARALLEL_H
#define AFFLIB_PARALLEL_H

#include "afflib.h"

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Runs index tasks on the calling thread plus threads - 1 workers. Every
// task writes only its own outputs, so results do not depend on which thread
// runs which index.
class WorkerPool {
public:
    explicit WorkerPool(int threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int threads() const { return static_cast<int>(workers_.size()) + 1; }

    // Calls task(i) for every i in [0, count) and returns when all are done.
    void forEach(size_t count, const std::function<void(size_t)>& task);

    // A pool without workers: forEach is a plain loop on the caller.
    static WorkerPool& serial();

private:
    void work();
    void runTasks();

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const std::function<void(size_t)>* task_ = nullptr;
    size_t count_ = 0;
    size_t next_ = 0;
    size_t finished_ = 0;
    unsigned long generation_ = 0;
    bool stopping_ = false;
};

// Image operations with their rows spread over a pool; same results as the
// single-threaded operations.
void scaling(DERY* src, DERY* dst, float factor, WorkerPool& pool);
void smoothSqrt(DERY* in, DERY* out, WorkerPool& pool);
void dX6(DERY* in, DERY* out, WorkerPool& pool);
void dY6(DERY* in, DERY* out, WorkerPool& pool);
void dXX7(DERY* in, DERY* out, WorkerPool& pool);
void dYY7(DERY* in, DERY* out, WorkerPool& pool);
void dXX9(DERY* in, DERY* out, WorkerPool& pool);
void dYY9(DERY* in, DERY* out, WorkerPool& pool);
void laplacian(DERY* in, DERY* out, WorkerPool& pool);
void harris(DERY* in, DERY* cornerness, DERY* sxx, DERY* sxy, DERY* syy, WorkerPool& pool);
void hessian(DERY* in, DERY* det, DERY* trace, WorkerPool& pool);

// About this many pixels per task when an image operation is spread over a
// pool: large enough that handing out tasks costs little.
constexpr int kPixelsPerTask = 1 << 16;

// Splits [0, size) into blocks of about `grain` items and runs
// body(begin, end) for each block on the pool.
void forEachBlock(WorkerPool& pool, int size, int grain, const std::function<void(int, int)>& body);

#endif
