// The library called from several threads at once: each thread has its own
// Gaussian window, so detections and smoothf never share a kernel. Run under
// ThreadSanitizer by `make tsan-test`.
#include "afflib.h"
#include "region_lists.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

void detectHessian(DERY* image, RegionList& regions, int threads)
{
    multi_scale_hes(image, regions.list, 1000.0f, 16, threads);
}

void fill(DERY& image, float value)
{
    for (int k = 0; k < image.size; ++k)
        image.pixels[0][k] = value;
}

// Runs `body` on a new thread, whose Gaussian window starts empty.
template <typename Body>
void onFreshThread(Body body)
{
    std::thread thread(body);
    thread.join();
}

}  // namespace

TEST(Threads, FirstDetectionsOnTwoThreadsAtOnceGiveTheSerialResult)
{
    auto image = goldenPhotograph("camera");
    ASSERT_TRUE(image);
    RegionList expected;
    onFreshThread([&] { detectHessian(image.get(), expected, 1); });
    for (int innerThreads : {1, 2}) {
        RegionList first, second;
        std::thread a([&] { detectHessian(image.get(), first, innerThreads); });
        std::thread b([&] { detectHessian(image.get(), second, innerThreads); });
        a.join();
        b.join();
        expectSameRegions(expected, first);
        expectSameRegions(expected, second);
    }
}

TEST(Threads, SmoothfWithOtherSigmasBesideADetection)
{
    auto image = goldenPhotograph("camera");
    ASSERT_TRUE(image);
    RegionList expected;
    detectHessian(image.get(), expected, 1);
    std::atomic<bool> detecting{true};
    RegionList during;
    std::thread detection([&] {
        detectHessian(image.get(), during, 2);
        detecting = false;
    });
    DERY flat(40, 40);
    fill(flat, 9.0f);
    int calls = 0;
    do {
        for (float sigma : {1.0f, 2.5f, 0.7f}) {
            EXPECT_NEAR(smoothf(20, 20, &flat, sigma), 9.0f, 1e-4) << sigma;
            EXPECT_EQ(g_scale, sigma);
        }
        ++calls;
    } while (detecting || calls < 3);
    detection.join();
    expectSameRegions(expected, during);
}

TEST(Threads, TheGlobalsDescribeTheLastKernelOfTheCallingThread)
{
    initGauss(1.8f);
    onFreshThread([] {
        EXPECT_EQ(g_scale, 0.0f);
        EXPECT_EQ(table_exp, nullptr);
        initGauss(1.0f);
        EXPECT_EQ(g_size, 3);
    });
    EXPECT_EQ(g_scale, 1.8f);
    EXPECT_EQ(g_size, 5);
}

TEST(Threads, NoKernelAndSigmaZeroGiveZeroNotACrash)
{
    onFreshThread([] {
        DERY image(20, 20);
        fill(image, 3.0f);
        EXPECT_EQ(convolution(10, 10, &image, table_exp), 0.0);
        EXPECT_EQ(smoothf(10, 10, &image, 0.0f), 0.0f);
        initGauss(1.0f);
        EXPECT_EQ(smoothf(10, 10, &image, 0.0f), 0.0f);
        EXPECT_EQ(table_exp, nullptr);
        EXPECT_EQ(smoothf(10, 10, &image, -1.0f), 0.0f);
    });
}
