// Times the Hessian-affine detector stage by stage (pyramid, response maps,
// point extraction, adaptation, listing) and as a whole, on the 512 x 512
// sample, the 800 x 640 photograph, a 4000 x 3000 enlargement of it and the
// photograph mosaics of 800 x 640 and 12 MP (bench/photo_mosaic.cpp), plus
// the Harris-affine detector on the photograph. Times and rates are
// wall-clock, so that runs on several threads compare with runs on one; the
// CPU time of the whole process is shown beside them, as it suffers less
// when other work shares the machine. The rates count megapixels of the input
// image and regions.
//
// Built with TOLVANE_BASELINE, the program leaves out what the first
// straightforward version of the library lacks (the threads argument), so
// that one source times both versions.
#ifdef TOLVANE_BASELINE
#include "afflib.h"
#else
#include "stages.h"
#endif
#include "bench_images.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <streambuf>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The settings of the command-line driver.
const float kThreshold = 1000.0f;
const int kMaxIterations = 16;

using RegionList = std::vector<AffRegion*>;
using Detector = std::function<void(DERY* image, RegionList& regions)>;

struct BenchImage {
    std::string name;  // the size, e.g. "800x640"
    std::function<DERY*()> load;
    double minSeconds;  // per benchmark; a slower stage runs once
};

[[noreturn]] void fail(const std::string& problem)
{
    std::cerr << "detector_bench: " << problem << std::endl;
    std::exit(1);
}

void deleteRegions(RegionList& regions)
{
    for (AffRegion* region : regions)
        delete region;
    regions.clear();
}

RegionList copyRegions(const std::vector<AffRegion>& regions)
{
    RegionList copies;
    for (const AffRegion& region : regions)
        copies.push_back(new AffRegion(region));
    return copies;
}

// Point extraction as the Hessian-affine detector runs it: maxima of the
// determinant, scale selection on the trace, identity start shapes (mode 2).
void extractPoints(const ScaleSpace& space, const HessianMaps& maps, RegionList& regions)
{
    harris_lap(maps.det, maps.det, maps.det, maps.det, maps.trace, space.scales, regions, kThreshold, 2);
}

// The stages of one image, each computed on first use and shared by the
// benchmarks of that image, so that timing one stage does not rerun the
// stages before it.
class StageCache {
public:
    explicit StageCache(const BenchImage& source) : source_(source) {}
    ~StageCache() { deleteRegions(adapted_); }
    StageCache(const StageCache&) = delete;
    StageCache& operator=(const StageCache&) = delete;

    const std::string& name() const { return source_.name; }

    DERY* image()
    {
        if (!image_)
            image_.reset(source_.load());
        return image_.get();
    }

    const ScaleSpace& space()
    {
        if (!space_)
            space_ = std::make_unique<ScaleSpace>(image());
        return *space_;
    }

    const HessianMaps& maps()
    {
        if (!maps_)
            maps_ = std::make_unique<HessianMaps>(space());
        return *maps_;
    }

    // The extracted regions, before adaptation.
    const std::vector<AffRegion>& points()
    {
        if (!pointsReady_) {
            RegionList found;
            extractPoints(space(), maps(), found);
            for (const AffRegion* region : found)
                points_.push_back(*region);
            deleteRegions(found);
            pointsReady_ = true;
        }
        return points_;
    }

    // The detector's final list.
    const RegionList& adapted()
    {
        if (!adaptedReady_) {
            adapted_ = copyRegions(points());
            findAffineRegion(space().images, maps().trace, space().scales, adapted_, kMaxIterations);
            adaptedReady_ = true;
        }
        return adapted_;
    }

private:
    const BenchImage& source_;
    std::unique_ptr<DERY> image_;
    std::unique_ptr<ScaleSpace> space_;
    std::unique_ptr<HessianMaps> maps_;
    std::vector<AffRegion> points_;
    bool pointsReady_ = false;
    RegionList adapted_;
    bool adaptedReady_ = false;
};

// Holds the stages of one image at a time: the 4000 x 3000 ones take half a
// gigabyte.
StageCache& stagesOf(const BenchImage& source)
{
    static std::unique_ptr<StageCache> cache;
    if (!cache || cache->name() != source.name) {
        cache.reset();
        cache = std::make_unique<StageCache>(source);
    }
    return *cache;
}

// Every benchmark reports the same counters (the CSV output needs that).
void setCounters(benchmark::State& state, const DERY* image, std::size_t regions)
{
    using benchmark::Counter;
    state.counters["MP/s"] = Counter(image->size / 1e6, Counter::kIsIterationInvariantRate);
    state.counters["regions/s"] = Counter(static_cast<double>(regions), Counter::kIsIterationInvariantRate);
    state.counters["regions"] = Counter(static_cast<double>(regions));
}

void timePyramid(benchmark::State& state, const BenchImage& source)
{
    DERY* image = stagesOf(source).image();
    for (auto _ : state) {
        const ScaleSpace space(image);
        benchmark::DoNotOptimize(space.images.data());
    }
    setCounters(state, image, 0);
}

void timeResponseMaps(benchmark::State& state, const BenchImage& source)
{
    StageCache& stages = stagesOf(source);
    const ScaleSpace& space = stages.space();
    for (auto _ : state) {
        const HessianMaps maps(space);
        benchmark::DoNotOptimize(maps.det.data());
    }
    setCounters(state, stages.image(), 0);
}

void timePointExtraction(benchmark::State& state, const BenchImage& source)
{
    StageCache& stages = stagesOf(source);
    const ScaleSpace& space = stages.space();
    const HessianMaps& maps = stages.maps();
    std::size_t found = 0;
    for (auto _ : state) {
        RegionList regions;
        extractPoints(space, maps, regions);
        state.PauseTiming();
        found = regions.size();
        deleteRegions(regions);
        state.ResumeTiming();
    }
    setCounters(state, stages.image(), found);
}

// Rates count the regions that enter the adaptation.
void timeAdaptation(benchmark::State& state, const BenchImage& source)
{
    StageCache& stages = stagesOf(source);
    const ScaleSpace& space = stages.space();
    const HessianMaps& maps = stages.maps();
    const std::vector<AffRegion>& points = stages.points();
    for (auto _ : state) {
        state.PauseTiming();
        RegionList regions = copyRegions(points);
        state.ResumeTiming();
        findAffineRegion(space.images, maps.trace, space.scales, regions, kMaxIterations);
        state.PauseTiming();
        deleteRegions(regions);
        state.ResumeTiming();
    }
    setCounters(state, stages.image(), points.size());
}

// Accepts and drops everything: the listing's formatting without its output.
class DiscardingBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

// `rewind` starts every listing at the beginning of a file, so that the file
// does not grow from one iteration to the next.
void timeListing(benchmark::State& state, const BenchImage& source, std::ostream& out, bool rewind)
{
    StageCache& stages = stagesOf(source);
    const RegionList& regions = stages.adapted();
    for (auto _ : state) {
        if (rewind)
            out.seekp(0);
        listRegions(out, regions);
    }
    if (!out)
        fail("the listing could not be written");
    setCounters(state, stages.image(), regions.size());
}

void timeListingDiscarded(benchmark::State& state, const BenchImage& source)
{
    DiscardingBuffer discard;
    std::ostream out(&discard);
    timeListing(state, source, out, false);
}

void timeListingToDevNull(benchmark::State& state, const BenchImage& source)
{
    std::ofstream out("/dev/null");
    timeListing(state, source, out, false);
}

void timeListingToFile(benchmark::State& state, const BenchImage& source)
{
    char path[] = "/tmp/tolvane-listing-XXXXXX";
    const int descriptor = mkstemp(path);
    if (descriptor < 0)
        fail("cannot create a temporary file in /tmp for the listing");
    close(descriptor);
    {
        std::ofstream out(path);
        timeListing(state, source, out, true);
    }
    std::remove(path);
}

void timeDetection(benchmark::State& state, const BenchImage& source, const Detector& detect)
{
    DERY* image = stagesOf(source).image();
    std::size_t found = 0;
    for (auto _ : state) {
        RegionList regions;
        detect(image, regions);
        state.PauseTiming();
        found = regions.size();
        deleteRegions(regions);
        state.ResumeTiming();
    }
    setCounters(state, image, found);
}

void hessianAffine(DERY* image, RegionList& regions)
{
    multi_scale_hes(image, regions, kThreshold, kMaxIterations);
}

void harrisAffine(DERY* image, RegionList& regions)
{
    multi_scale_har(image, regions, kThreshold, kMaxIterations);
}

#ifndef TOLVANE_BASELINE
void hessianAffineTwoThreads(DERY* image, RegionList& regions)
{
    multi_scale_hes(image, regions, kThreshold, kMaxIterations, 2);
}
#endif

using Timing = void (*)(benchmark::State&, const BenchImage&);

std::string nameOf(const BenchImage& source, const std::string& stage) { return source.name + "/" + stage; }

void configure(benchmark::internal::Benchmark* benchmark, const BenchImage& source)
{
    benchmark->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->MinTime(source.minSeconds);
}

void addStage(const BenchImage& source, const std::string& stage, Timing timing)
{
    configure(benchmark::RegisterBenchmark(nameOf(source, stage).c_str(), timing, std::cref(source)), source);
}

void addDetection(const BenchImage& source, const std::string& stage, Detector detect)
{
    configure(benchmark::RegisterBenchmark(nameOf(source, stage).c_str(), timeDetection, std::cref(source),
                                           std::move(detect)),
              source);
}

void registerBenchmarks(const std::vector<BenchImage>& images)
{
    for (const BenchImage& source : images) {
        addStage(source, "pyramid", timePyramid);
        addStage(source, "response-maps", timeResponseMaps);
        addStage(source, "points", timePointExtraction);
        addStage(source, "adaptation", timeAdaptation);
        addStage(source, "listing", timeListingDiscarded);
        addStage(source, "listing-devnull", timeListingToDevNull);
        addStage(source, "listing-file", timeListingToFile);
        addDetection(source, "detection", hessianAffine);
#ifndef TOLVANE_BASELINE
        addDetection(source, "detection-2-threads", hessianAffineTwoThreads);
#endif
        if (source.name == "800x640")
            addDetection(source, "harris-detection", harrisAffine);
    }
}

// One line per benchmark: image, stage, wall-clock and CPU milliseconds per
// run, megapixels and regions per second, regions, runs.
class CompactTable : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context& context) override
    {
        std::printf("One thread unless the stage says otherwise; %d CPUs", context.cpu_info.num_cpus);
        if (!context.cpu_info.load_avg.empty())
            std::printf(", load average %.2f", context.cpu_info.load_avg.front());
        std::printf("\n%-14s %-20s %11s %11s %9s %11s %8s %6s\n", "image", "stage", "ms", "cpu ms", "MP/s",
                    "regions/s", "regions", "runs");
        return true;
    }

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            printRow(run);
        std::fflush(stdout);
    }

private:
    static double counter(const Run& run, const char* name)
    {
        const auto found = run.counters.find(name);
        return found == run.counters.end() ? 0.0 : static_cast<double>(found->second);
    }

    static void printRow(const Run& run)
    {
        std::string name = run.run_name.function_name;
        if (run.run_type == Run::RT_Aggregate)
            name += "_" + run.aggregate_name;
        const std::size_t slash = name.find('/');
        const std::string image = name.substr(0, slash);
        const std::string stage = slash == std::string::npos ? "" : name.substr(slash + 1);
        std::printf("%-14s %-20s %11.3f %11.3f %9.2f", image.c_str(), stage.c_str(), run.GetAdjustedRealTime(),
                    run.GetAdjustedCPUTime(), counter(run, "MP/s"));
        const double regions = counter(run, "regions");
        if (regions > 0)
            std::printf(" %11.0f %8.0f", counter(run, "regions/s"), regions);
        else
            std::printf(" %11s %8s", "-", "-");
        std::printf(" %6lld\n", static_cast<long long>(run.iterations));
    }
};

}  // namespace

int main(int argc, char** argv)
{
    static const std::vector<BenchImage> images = {
        {"512x512", [] { return loadTreeImage("data/astronaut.pgm"); }, 0.5},
        {"800x640", [] { return loadTreeImage("tests/golden/stars-800x640.pgm"); }, 0.5},
        {"4000x3000", makeLargeImage, 1.0},
        {"mosaic800x640", [] { return loadMosaic("800x640"); }, 0.5},
        {"mosaic12MP", [] { return loadMosaic("4000x3000"); }, 1.0},
    };
    registerBenchmarks(images);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    CompactTable table;
    benchmark::RunSpecifiedBenchmarks(&table);
    benchmark::Shutdown();
    return 0;
}
