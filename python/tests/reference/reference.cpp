// Reference results for the Python tests, computed by the C++ libraries alone.
//
//   vireo_py_reference dbscan <points> <dims> <f32|f64> <eps> <min_pts> <n_jobs> <labels>
//   vireo_py_reference kmeans <points> <dims> <f32|f64> <k> <max_iter> <tol> <labels> <centroids>
//   vireo_py_reference circle-calibration <folder>
//
// Points are raw little-endian rows of `dims` values; labels are written as int64 (cluster
// index in the C++ result, -1 for points in no cluster) and centroids as float64 rows.
// circle-calibration makes the event windows of a moving symmetric circle grid with the
// calibration tests' generator, writes each as window_<v>.events (raw Event2D records), locates
// the grid in each with the circle-grid locator, writes the centres found as
// centres_<v>.f32, calibrates, and writes result.json and intrinsics.f64 (fx, fy, cx, cy, RMS).
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <vireo/DBSCAN.h>
#include <vireo/KMeans.h>
#include <vireo/lensfit.h>

#include "CalibrationTestData.h"

namespace {

template <typename T>
std::vector<T> readValues(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) throw std::runtime_error("cannot read " + path);
    const auto bytes = static_cast<size_t>(in.tellg());
    std::vector<T> values(bytes / sizeof(T));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(T)));
    return values;
}

template <typename T>
void writeValues(const std::string& path, const std::vector<T>& values) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(T)));
    if (!out) throw std::runtime_error("cannot write " + path);
}

template <int D, typename T>
std::vector<vireo::KDPoint<D, T>> readPoints(const std::string& path) {
    const std::vector<T> values = readValues<T>(path);
    std::vector<vireo::KDPoint<D, T>> points(values.size() / D);
    for (size_t i = 0; i < points.size(); ++i) {
        for (int d = 0; d < D; ++d) points[i].coords[d] = values[i * D + d];
    }
    return points;
}

std::vector<int64_t> labelsOf(const std::vector<std::vector<size_t>>& clusters, size_t count) {
    std::vector<int64_t> labels(count, -1);
    for (size_t c = 0; c < clusters.size(); ++c) {
        for (size_t index : clusters[c]) labels[index] = static_cast<int64_t>(c);
    }
    return labels;
}

template <int D, typename T>
void runDbscan(char** argv) {
    const auto points = readPoints<D, T>(argv[2]);
    vireo::DBSCAN<D, T> dbscan(std::stod(argv[5]), std::stoi(argv[6]));
    std::vector<std::vector<size_t>> clusters;
    std::vector<std::vector<T>> boxes;
    dbscan.generateClustersMultiThread(points, clusters, boxes, static_cast<unsigned char>(std::stoi(argv[7])));
    writeValues(argv[8], labelsOf(clusters, points.size()));
}

template <int D, typename T>
void runKmeans(char** argv) {
    const auto points = readPoints<D, T>(argv[2]);
    vireo::KMeans<D, T> kmeans(std::stoul(argv[5]), std::stoul(argv[6]), std::stod(argv[7]));
    std::vector<std::vector<size_t>> clusters;
    std::vector<std::vector<T>> boxes;
    kmeans.generateClusters(points, clusters, boxes);
    writeValues(argv[8], labelsOf(clusters, points.size()));
    std::vector<vireo::KDPoint<D, T>> centroids;
    kmeans.getCentroids(centroids);
    std::vector<double> flat;
    for (const auto& c : centroids) {
        for (int d = 0; d < D; ++d) flat.push_back(static_cast<double>(c.coords[d]));
    }
    writeValues(argv[9], flat);
}

template <template <int, typename> class Run>
void dispatch(char** argv) {
    const int dims = std::stoi(argv[3]);
    const bool is_double = std::string(argv[4]) == "f64";
    if (dims == 2) {
        is_double ? Run<2, double>::run(argv) : Run<2, float>::run(argv);
    } else {
        is_double ? Run<3, double>::run(argv) : Run<3, float>::run(argv);
    }
}

template <int D, typename T>
struct DbscanRun {
    static void run(char** argv) { runDbscan<D, T>(argv); }
};
template <int D, typename T>
struct KmeansRun {
    static void run(char** argv) { runKmeans<D, T>(argv); }
};

// The inputs of the event-window calibration of the calibration library's own tests.
int circleCalibration(const std::string& folder) {
    using namespace vireo;
    const test::Target target = test::symmetricCirclesTarget();
    const test::PinholeCamera camera = test::groundTruthCamera();
    const std::vector<test::Pose> poses = test::viewPoses(target, camera, 14, 21);
    EventDBSCANCircleGridLocatorConfig config(1.0f, 1.0f, 1.0f, 6.0f, 10);
    auto locator = GridLocator::createEventBasedGridLocator(EVENT_DBSCAN_CIRCLES_SYMMETRIC, target.cols, target.rows,
                                                            camera.size, &config);
    Calibrator calibrator(SYMMETRIC_GRID, target.cols, target.rows, static_cast<float>(target.spacing));
    const int id = calibrator.addCamera(camera.size, "events");
    for (size_t v = 0; v < poses.size(); ++v) {
        const std::vector<Event2D> events = test::circleOutlineEvents(target, poses[v], camera, 400, 1500, 0.35,
                                                                      100 + static_cast<unsigned>(v), v * 100000);
        writeValues(folder + "/window_" + std::to_string(v) + ".events", events);
        locator->processEvents(events.data(), events.data() + events.size());
        std::vector<cv::Point2f> found;
        if (!locator->locateGrid(found)) continue;
        std::vector<float> flat;
        for (const cv::Point2f& p : found) flat.insert(flat.end(), {p.x, p.y});
        writeValues(folder + "/centres_" + std::to_string(v) + ".f32", flat);
        calibrator.insertGridPoints(id, static_cast<int>(v), found);
    }
    const double rms = calibrator.calibrate(id);
    cv::Mat k, d;
    if (rms < 0.0 || !calibrator.getIntrinsics(id, k, d)) return 1;
    writeValues(folder + "/intrinsics.f64", std::vector<double>{k.at<double>(0, 0), k.at<double>(1, 1),
                                                                k.at<double>(0, 2), k.at<double>(1, 2), rms});
    return calibrator.saveCalibrationResultToJson(folder + "/result.json") ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "dbscan" && argc == 9) {
            dispatch<DbscanRun>(argv);
            return 0;
        }
        if (command == "kmeans" && argc == 10) {
            dispatch<KmeansRun>(argv);
            return 0;
        }
        if (command == "circle-calibration" && argc == 3) return circleCalibration(argv[2]);
        std::cerr << "usage: vireo_py_reference dbscan|kmeans|circle-calibration ... (see reference.cpp)\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "vireo_py_reference: " << e.what() << '\n';
        return 1;
    }
}
