// Times describe() on the 800 x 640 photograph mosaic (about 2000 frames: the
// strongest regions whose frames first reach that count) and match() on
// 10,000 x 10,000 descriptors, on one thread and on two.
#include "bench_images.h"

#include <tolvane/tolvane.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

namespace {

constexpr std::size_t kFrames = 2000;
constexpr float kLowThreshold = 100.0f;  // enough regions for kFrames
constexpr std::size_t kMatchCount = 10000;

struct Photograph {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
    std::vector<tolvane::Region> regions;
    tolvane::ImageView view() const { return {pixels.data(), width, height}; }
};

// The photograph and the first regions (in list order) with kFrames frames.
const Photograph& photograph()
{
    static const Photograph photo = [] {
        Photograph p;
        const std::unique_ptr<DERY> image(loadMosaic("800x640"));
        p.width = image->cols;
        p.height = image->rows;
        for (int r = 0; r < image->rows; ++r)
            for (int c = 0; c < image->cols; ++c)
                p.pixels.push_back(static_cast<std::uint8_t>(image->pixels[r][c]));
        tolvane::DetectorOptions options;
        options.threshold = kLowThreshold;
        p.regions = tolvane::detect(p.view(), options);
        const tolvane::Description all = tolvane::describe(p.view(), p.regions);
        if (all.frames.size() > kFrames)
            p.regions.resize(all.region_of_frame[kFrames - 1] + 1);
        return p;
    }();
    return photo;
}

void timeDescribe(benchmark::State& state)
{
    const Photograph& p = photograph();
    tolvane::DescribeOptions options;
    options.threads = static_cast<int>(state.range(0));
    std::size_t frames = 0;
    for (auto _ : state)
        frames = tolvane::describe(p.view(), p.regions, options).frames.size();
    state.counters["frames"] = static_cast<double>(frames);
    state.counters["regions"] = static_cast<double>(p.regions.size());
}

std::vector<std::uint8_t> randomDescriptors(unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<std::uint8_t> bytes(kMatchCount * tolvane::kDescriptorLength);
    for (std::uint8_t& v : bytes)
        v = static_cast<std::uint8_t>(random() % 120);
    return bytes;
}

void timeMatch(benchmark::State& state)
{
    static const std::vector<std::uint8_t> a = randomDescriptors(1), b = randomDescriptors(2);
    tolvane::MatchOptions options;
    options.threads = static_cast<int>(state.range(0));
    options.mutual = true;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            tolvane::match(tolvane::DescriptorSet::of(a), tolvane::DescriptorSet::of(b), options));
}

BENCHMARK(timeDescribe)->Name("describe/800x640/threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)
    ->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(timeMatch)->Name("match/10000x10000/threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)
    ->UseRealTime()->MeasureProcessCPUTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
