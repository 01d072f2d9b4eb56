// The worker pool and the row-split operators built on it.
#include "../src/afflib/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <vector>

namespace {

TEST(WorkerPool, RunsEveryIndexOnceAndCanBeReused)
{
    for (int threads : {1, 2, 5}) {
        WorkerPool pool(threads);
        EXPECT_EQ(pool.threads(), threads);
        for (size_t count : {size_t(0), size_t(1), size_t(3), size_t(1000)}) {
            std::vector<std::atomic<int>> hits(count);
            pool.forEach(count, [&](size_t i) { hits[i]++; });
            for (size_t i = 0; i < count; ++i)
                ASSERT_EQ(hits[i].load(), 1) << threads << " threads, index " << i << " of " << count;
        }
    }
}

TEST(WorkerPool, BlocksCoverTheRangeWithoutOverlap)
{
    WorkerPool pool(3);
    for (int size : {0, 1, 7, 100, 1001}) {
        std::vector<std::atomic<int>> hits(static_cast<size_t>(size));
        forEachBlock(pool, size, 10, [&](int begin, int end) {
            for (int i = begin; i < end; ++i)
                hits[static_cast<size_t>(i)]++;
        });
        for (int i = 0; i < size; ++i)
            ASSERT_EQ(hits[static_cast<size_t>(i)].load(), 1) << size;
    }
}

TEST(WorkerPool, SplitOperatorsMatchTheSingleThreadedOnes)
{
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> dist(-50.0f, 300.0f);
    DERY in(700, 120);  // enough rows for several blocks per pass
    for (int i = 0; i < in.size; ++i)
        in.pixels[0][i] = dist(gen);
    WorkerPool pool(3);
    DERY serialDet(in.rows, in.cols), serialTrace(in.rows, in.cols);
    DERY splitDet(in.rows, in.cols), splitTrace(in.rows, in.cols);
    hessian(&in, &serialDet, &serialTrace);
    hessian(&in, &splitDet, &splitTrace, pool);
    DERY serial[5] = {{in.rows, in.cols}, {in.rows, in.cols}, {in.rows, in.cols}, {in.rows, in.cols},
                      {in.rows, in.cols}};
    DERY split[5] = {{in.rows, in.cols}, {in.rows, in.cols}, {in.rows, in.cols}, {in.rows, in.cols},
                     {in.rows, in.cols}};
    harris(&in, &serial[0], &serial[1], &serial[2], &serial[3]);
    harris(&in, &split[0], &split[1], &split[2], &split[3], pool);
    laplacian(&in, &serial[4]);
    laplacian(&in, &split[4], pool);
    for (int i = 0; i < in.size; ++i) {
        ASSERT_EQ(serialDet.pixels[0][i], splitDet.pixels[0][i]);
        ASSERT_EQ(serialTrace.pixels[0][i], splitTrace.pixels[0][i]);
        for (int k = 0; k < 5; ++k)
            ASSERT_EQ(serial[k].pixels[0][i], split[k].pixels[0][i]);
    }
}

}  // namespace
