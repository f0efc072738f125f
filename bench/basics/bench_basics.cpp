// Throughput of the clustering library on event-like data (blobs plus noise, 10^4 to 10^6
// points, 2-D and 3-D), in points per second: KD-tree build, one radius search per point,
// DBSCAN on 1 and 2 jobs, KMeans (with OpenCV's cv::kmeans on the same points as the
// reference), and each event cluster generator.
//
//   bench_basics [google-benchmark flags]
//   bench_basics --dump-points=DIR   writes the point sets for compare_reference.py (beside this file)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include <opencv2/core.hpp>

#include <vireo/basics.h>

#include "BasicsBenchData.h"

namespace {

using namespace vireo;
using namespace vireo::bench;

template <int D>
const std::vector<KDPoint<D, float>>& cachedPoints(size_t n) {
    static std::map<size_t, std::vector<KDPoint<D, float>>> cache;
    auto it = cache.find(n);
    if (it == cache.end()) it = cache.emplace(n, benchPoints<D, float>(n)).first;
    return it->second;
}

const std::vector<Event2D>& cachedEvents(size_t n) {
    static std::map<size_t, std::vector<Event2D>> cache;
    auto it = cache.find(n);
    if (it == cache.end()) it = cache.emplace(n, benchEvents(n)).first;
    return it->second;
}

void setPointRate(benchmark::State& state, size_t n) {
    state.counters["points_per_s"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate);
}

template <int D>
void BM_KDTreeBuild(benchmark::State& state) {
    const auto& points = cachedPoints<D>(static_cast<size_t>(state.range(0)));
    KDTree<D, float> tree;
    for (auto _ : state) {
        tree.build(points, 1);
        benchmark::DoNotOptimize(tree.getPointsCount());
    }
    setPointRate(state, points.size());
}

template <int D>
void BM_RadiusSearch(benchmark::State& state) {
    const auto& points = cachedPoints<D>(static_cast<size_t>(state.range(0)));
    KDTree<D, float> tree;
    tree.build(points, 1);
    std::vector<ResultItem<size_t, float>> results;
    const auto eps = static_cast<float>(benchEps(D));
    size_t found = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < points.size(); ++i) found += tree.radiusSearchIndex(eps, results, false, i);
    }
    state.counters["mean_neighbours"] =
        static_cast<double>(found) / (static_cast<double>(points.size()) * static_cast<double>(state.iterations()));
    setPointRate(state, points.size());
}

template <int D>
void BM_DBSCAN(benchmark::State& state) {
    const auto& points = cachedPoints<D>(static_cast<size_t>(state.range(0)));
    const auto jobs = static_cast<unsigned char>(state.range(1));
    DBSCAN<D, float> dbscan(benchEps(D), benchMinPts());
    std::vector<std::vector<size_t>> clusters;
    std::vector<std::vector<float>> boxes;
    for (auto _ : state) {
        dbscan.generateClustersMultiThread(points, clusters, boxes, jobs);
        benchmark::DoNotOptimize(clusters.data());
    }
    state.counters["clusters"] = static_cast<double>(clusters.size());
    setPointRate(state, points.size());
}

template <int D>
void BM_KMeans(benchmark::State& state) {
    const auto& points = cachedPoints<D>(static_cast<size_t>(state.range(0)));
    // Runs until the assignments stop changing (the total repeats exactly) or 20 iterations,
    // the same stopping rule as the OpenCV reference below.
    KMeans<D, float> kmeans(benchK(), 20, 1e-300);
    std::vector<std::vector<size_t>> clusters;
    std::vector<std::vector<float>> boxes;
    for (auto _ : state) {
        kmeans.generateClusters(points, clusters, boxes);
        benchmark::DoNotOptimize(clusters.data());
    }
    setPointRate(state, points.size());
}

// OpenCV's k-means on the same points: k-means++ seeding (one attempt), stopping when no
// centre moves or after 20 iterations. Argument 1 is the OpenCV thread count (0 = default).
template <int D>
void BM_CvKMeans(benchmark::State& state) {
    const auto& points = cachedPoints<D>(static_cast<size_t>(state.range(0)));
    const int threads = static_cast<int>(state.range(1));
    const int previous_threads = cv::getNumThreads();
    if (threads > 0) cv::setNumThreads(threads);
    cv::Mat data(static_cast<int>(points.size()), D, CV_32F, const_cast<float*>(points.front().coords.data()));
    cv::Mat labels, centres;
    cv::theRNG().state = 12345;
    for (auto _ : state) {
        cv::kmeans(data, static_cast<int>(benchK()), labels,
                   cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT, 20, 0.0), 1,
                   cv::KMEANS_PP_CENTERS, centres);
        benchmark::DoNotOptimize(centres.data);
    }
    cv::setNumThreads(previous_threads);
    setPointRate(state, points.size());
}

template <int D>
void BM_DBSCANGenerator(benchmark::State& state) {
    const auto& events = cachedEvents(static_cast<size_t>(state.range(0)));
    const int jobs = static_cast<int>(state.range(1));
    DBSCANBasedClusterGenerator<D, float> generator(1280, 720, 1.0f, 1.0f, 0.001f, POLARITY_FREE, 2.0, 8, jobs);
    std::vector<ClusterGeometry> clusters;
    for (auto _ : state) {
        generator.addEvents(events.data(), events.data() + events.size());
        generator.generateClusters(events.back().timestamp, clusters);
    }
    state.counters["clusters"] = static_cast<double>(clusters.size());
    setPointRate(state, events.size());
}

template <int D>
void BM_KMeansGenerator(benchmark::State& state) {
    const auto& events = cachedEvents(static_cast<size_t>(state.range(0)));
    KMeansBasedClusterGenerator<D, float> generator(1280, 720, 1.0f, 1.0f, 0.001f, POLARITY_FREE, benchK(), 20,
                                                    1e-3);
    std::vector<ClusterGeometry> clusters;
    for (auto _ : state) {
        generator.addEvents(events.data(), events.data() + events.size());
        generator.generateClusters(events.back().timestamp, clusters);
    }
    setPointRate(state, events.size());
}

void BM_GridGenerator(benchmark::State& state) {
    const auto& events = cachedEvents(static_cast<size_t>(state.range(0)));
    // The threshold grows with the batch so that noise alone does not light up every cell.
    const auto threshold = static_cast<uint16_t>(events.size() / 5000);
    GridBasedClusterGenerator generator(1280, 720, 16, 16, 400, 16, POLARITY_FREE, false, threshold);
    std::vector<ClusterGeometry> clusters;
    for (auto _ : state) {
        generator.addEvents(events.data(), events.data() + events.size());
        generator.generateClusters(events.back().timestamp, clusters);
    }
    state.counters["clusters"] = static_cast<double>(clusters.size());
    setPointRate(state, events.size());
}

void sizes(benchmark::internal::Benchmark* b) {
    for (int64_t n : {10000, 100000, 1000000}) b->Arg(n);
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

void sizesAndJobs(benchmark::internal::Benchmark* b) {
    for (int64_t n : {10000, 100000, 1000000}) {
        for (int64_t jobs : {1, 2}) b->Args({n, jobs});
    }
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

void sizesAndCvThreads(benchmark::internal::Benchmark* b) {
    for (int64_t n : {10000, 100000, 1000000}) {
        for (int64_t threads : {1, 0}) b->Args({n, threads});
    }
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

void eventSizes(benchmark::internal::Benchmark* b) {
    for (int64_t n : {10000, 100000}) b->Arg(n);
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

void eventSizesAndJobs(benchmark::internal::Benchmark* b) {
    for (int64_t n : {10000, 100000}) {
        for (int64_t jobs : {1, 2}) b->Args({n, jobs});
    }
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_KDTreeBuild<2>)->Apply(sizes);
BENCHMARK(BM_KDTreeBuild<3>)->Apply(sizes);
BENCHMARK(BM_RadiusSearch<2>)->Apply(sizes);
BENCHMARK(BM_RadiusSearch<3>)->Apply(sizes);
BENCHMARK(BM_DBSCAN<2>)->Apply(sizesAndJobs);
BENCHMARK(BM_DBSCAN<3>)->Apply(sizesAndJobs);
BENCHMARK(BM_KMeans<2>)->Apply(sizes);
BENCHMARK(BM_KMeans<3>)->Apply(sizes);
BENCHMARK(BM_CvKMeans<2>)->Apply(sizesAndCvThreads);
BENCHMARK(BM_CvKMeans<3>)->Apply(sizesAndCvThreads);
BENCHMARK(BM_DBSCANGenerator<2>)->Apply(eventSizesAndJobs);
BENCHMARK(BM_DBSCANGenerator<3>)->Apply(eventSizesAndJobs);
BENCHMARK(BM_KMeansGenerator<2>)->Apply(eventSizes);
BENCHMARK(BM_KMeansGenerator<3>)->Apply(eventSizes);
BENCHMARK(BM_GridGenerator)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Writes every benchmark point set as raw little-endian float32, D values per point:
// DIR/points_<D>d_<N>.f32.
int dumpPoints(const std::string& dir) {
    for (int dims : {2, 3}) {
        for (size_t n : {size_t{10000}, size_t{100000}, size_t{1000000}}) {
            const std::vector<float> coords = benchCoordinates(dims, n);
            const std::string path = dir + "/points_" + std::to_string(dims) + "d_" + std::to_string(n) + ".f32";
            FILE* file = std::fopen(path.c_str(), "wb");
            if (file == nullptr) {
                std::fprintf(stderr, "cannot write %s\n", path.c_str());
                return 1;
            }
            const size_t written = std::fwrite(coords.data(), sizeof(float), coords.size(), file);
            std::fclose(file);
            if (written != coords.size()) {
                std::fprintf(stderr, "short write to %s\n", path.c_str());
                return 1;
            }
        }
    }
    std::printf("eps_2d=%g eps_3d=%g min_pts=%d k=%zu\n", benchEps(2), benchEps(3), benchMinPts(), benchK());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* prefix = "--dump-points=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0) return dumpPoints(argv[i] + std::strlen(prefix));
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
