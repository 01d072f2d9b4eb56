// Whole-process CPU time of the detector program per image, beside OpenCV's
// SIFT and AKAZE detection on the same images (when built with OpenCV), in
// one run: every repetition runs each image through each detector once, and
// the table shows the median CPU time (user + system) of each.
//
// Usage: process_bench [--runs N] [--before PROGRAM0] PROGRAM IMAGE.pgm...
// PROGRAM is run as `PROGRAM IMAGE.pgm` with its output to a file; its last
// line gives the number of regions ("nb of regions = N"). PROGRAM0, an
// earlier build of it, runs in the same repetitions, for a before/after
// comparison that the machine's changing load affects alike.
#include "afflib.h"

#ifdef TOLVANE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#endif

#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& problem)
{
    std::cerr << "process_bench: " << problem << std::endl;
    std::exit(1);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double milliseconds(const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; }

// CPU milliseconds of one run of `program image`, its standard output going
// to `outputPath`.
double runProcess(const std::string& program, const std::string& image, const std::string& outputPath)
{
    // Spawned, not forked: the child of a fork would pay for taking down its
    // copy of this process's page tables, which hold every peer's images,
    // and that cost would be counted as the program's.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    char* const arguments[] = {const_cast<char*>(program.c_str()), const_cast<char*>(image.c_str()), nullptr};
    pid_t child = 0;
    const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        fail("cannot start " + program);
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail(program + " " + image + " failed");
    return milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime);
}

long regionsListedIn(const std::string& outputPath)
{
    std::ifstream in(outputPath);
    std::string line;
    std::string last;
    while (std::getline(in, line))
        last = line;
    const std::string prefix = "nb of regions = ";
    if (last.compare(0, prefix.size(), prefix) != 0)
        fail("no region count in the output");
    return std::stol(last.substr(prefix.size()));
}

double processCpuMilliseconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// A detector run inside this process: CPU milliseconds and keypoints of one
// detection.
struct Peer {
    Peer(std::string peerName, std::function<std::size_t()> detection)
        : name(std::move(peerName)), detect(std::move(detection))
    {
    }

    std::string name;
    std::function<std::size_t()> detect;
    std::vector<double> times;
    std::size_t keypoints = 0;

    void run()
    {
        const double start = processCpuMilliseconds();
        keypoints = detect();
        times.push_back(processCpuMilliseconds() - start);
    }
};

struct Row {
    std::string image;
    double megapixels = 0;
    std::vector<double> times;
    long regions = 0;
    std::vector<Peer> peers;
    std::vector<double> beforeTimes;
};

#ifdef TOLVANE_OPENCV
std::vector<Peer> peersOn(const DERY& image)
{
    auto grey = std::make_shared<cv::Mat>(image.rows, image.cols, CV_8U);
    for (int r = 0; r < image.rows; ++r)
        for (int c = 0; c < image.cols; ++c)
            grey->at<unsigned char>(r, c) = static_cast<unsigned char>(image.pixels[r][c]);
    const auto detectWith = [grey](cv::Ptr<cv::Feature2D> detector) {
        return [grey, detector] {
            std::vector<cv::KeyPoint> keypoints;
            detector->detect(*grey, keypoints);
            return keypoints.size();
        };
    };
    return {{"SIFT", detectWith(cv::SIFT::create())}, {"AKAZE", detectWith(cv::AKAZE::create())}};
}
#else
std::vector<Peer> peersOn(const DERY&) { return {}; }
#endif

void printTable(const std::vector<Row>& rows, int runs)
{
    std::printf("Median of %d runs, CPU ms (user + system); peers: detection alone, one thread\n", runs);
    const bool compared = !rows.front().beforeTimes.empty();
    std::printf("%-24s %6s %8s", "image", "MP", "regions");
    if (compared)
        std::printf(" %10s %8s", "before", "speed-up");
    std::printf(" %10s %9s %8s", "process", "us/region", "ms/MP");
    for (const Peer& peer : rows.front().peers)
        std::printf(" %10s %9s %7s", (peer.name + " ms").c_str(), "keypoints", "ratio");
    std::printf("\n");
    for (const Row& row : rows) {
        const double ms = median(row.times);
        std::printf("%-24s %6.2f %8ld", row.image.c_str(), row.megapixels, row.regions);
        if (compared)
            std::printf(" %10.1f %7.2fx", median(row.beforeTimes), median(row.beforeTimes) / ms);
        std::printf(" %10.1f %9.2f %8.1f", ms, 1e3 * ms / std::max(1L, row.regions), ms / row.megapixels);
        for (const Peer& peer : row.peers)
            std::printf(" %10.1f %9zu %6.2fx", median(peer.times), peer.keypoints, median(peer.times) / ms);
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 5;
    std::string before;
    int first = 1;
    for (; first + 1 < argc && std::string(argv[first]).compare(0, 2, "--") == 0; first += 2) {
        const std::string option = argv[first];
        if (option == "--runs")
            runs = std::max(1, std::atoi(argv[first + 1]));
        else if (option == "--before")
            before = argv[first + 1];
        else
            fail("unknown option " + option);
    }
    if (argc - first < 2)
        fail("usage: process_bench [--runs N] [--before PROGRAM0] PROGRAM IMAGE.pgm...");
#ifdef TOLVANE_OPENCV
    cv::setNumThreads(1);
#endif
    const std::string program = argv[first];
    const std::string outputPath = "/tmp/process_bench." + std::to_string(getpid());
    std::vector<Row> rows;
    for (int k = first + 1; k < argc; ++k) {
        std::string error;
        std::unique_ptr<DERY> image(readPGM(argv[k], error));
        if (!image)
            fail(error);
        const std::string path = argv[k];
        rows.push_back({path.substr(path.find_last_of('/') + 1), image->size / 1e6, {}, 0, peersOn(*image), {}});
    }
    for (int run = 0; run < runs; ++run) {
        for (int k = 0; k < static_cast<int>(rows.size()); ++k) {
            Row& row = rows[k];
            if (!before.empty())
                row.beforeTimes.push_back(runProcess(before, argv[first + 1 + k], outputPath));
            row.times.push_back(runProcess(program, argv[first + 1 + k], outputPath));
            row.regions = regionsListedIn(outputPath);
            for (Peer& peer : row.peers)
                peer.run();
        }
    }
    std::remove(outputPath.c_str());
    printTable(rows, runs);
    return 0;
}
