// The DBSCAN- and KMeans-based event cluster generators: event intake, the hand-over from
// queued to working points, the geometry of a cluster, and the member-point read-outs, with
// the explicit instantiations the library exports.
#include <vireo/ClusterGenerators.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

namespace vireo {

namespace {

constexpr std::array<int, 4> kDroppedPolarity = {2, 1, 0, 2};

size_t checkedFilterIndex(EventFilterType filter_type) {
    const auto value = static_cast<int32_t>(filter_type);
    if (value < 0 || value >= static_cast<int32_t>(kDroppedPolarity.size())) {
        throw std::out_of_range("EventFilterType: unknown value " + std::to_string(value));
    }
    return static_cast<size_t>(value);
}

// Converts a time in microseconds to an unsigned 64-bit count by truncation; a value that is
// negative or NaN gives 0 and one beyond the range gives the largest count.
uint64_t toMicroseconds(double value) {
    if (!(value >= 0.0)) return 0;
    if (value >= 18446744073709551615.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(value);
}

// One geometry per cluster from its box [minimum per coordinate, extent per coordinate].
template <int D, typename T>
void appendGeometries(const std::vector<std::vector<T>>& boxes, const std::vector<std::vector<size_t>>& members,
                      float scale_width, float scale_height, float scale_time, int sensor_width,
                      int sensor_height, size_t timestamp, std::vector<ClusterGeometry>& clusters) {
    clusters.clear();
    clusters.reserve(boxes.size());
    const cv::Rect_<float> sensor(0.0f, 0.0f, static_cast<float>(sensor_width), static_cast<float>(sensor_height));
    for (size_t c = 0; c < boxes.size(); ++c) {
        const std::vector<T>& box = boxes[c];
        cv::Rect_<float> rect(static_cast<float>(box[0] / static_cast<T>(scale_width)),
                              static_cast<float>(box[1] / static_cast<T>(scale_height)),
                              static_cast<float>(box[D] / static_cast<T>(scale_width)),
                              static_cast<float>(box[D + 1] / static_cast<T>(scale_height)));
        rect &= sensor;
        ClusterGeometry geometry(rect, timestamp);
        if constexpr (D == 3) {
            // A cluster without members (KMeans) has no time span.
            if (!members[c].empty()) {
                geometry.start_time = toMicroseconds(static_cast<double>(box[2] / static_cast<T>(scale_time)));
                geometry.duration = toMicroseconds(static_cast<double>(box[D + 2] / static_cast<T>(scale_time)));
            }
        } else {
            (void)scale_time;
        }
        clusters.push_back(geometry);
    }
}

template <int D, typename T>
std::array<T, 3> divisors(bool unscale, float scale_width, float scale_height, float scale_time) {
    if (!unscale) return {T(1), T(1), T(1)};
    return {static_cast<T>(scale_width), static_cast<T>(scale_height), static_cast<T>(scale_time)};
}

template <int D, typename T>
void pointsAsVectors(const std::vector<KDPoint<D, T>>& working, const std::vector<std::vector<size_t>>& members,
                     const std::array<T, 3>& div, std::vector<std::vector<KDPoint<D, T>>>& out) {
    out.reserve(out.size() + members.size());
    for (const std::vector<size_t>& cluster : members) {
        std::vector<KDPoint<D, T>> points;
        points.reserve(cluster.size());
        for (size_t index : cluster) {
            KDPoint<D, T> p = working[index];
            for (int d = 0; d < D; ++d) p.coords[d] /= div[d];
            points.push_back(p);
        }
        out.push_back(std::move(points));
    }
}

template <int D, typename T>
void pointsAsMatrices(const std::vector<KDPoint<D, T>>& working, const std::vector<std::vector<size_t>>& members,
                      const std::array<T, 3>& div, std::vector<cv::Mat>& out) {
    constexpr int kType = std::is_same_v<T, float> ? CV_32F : CV_64F;
    for (const std::vector<size_t>& cluster : members) {
        cv::Mat matrix(static_cast<int>(cluster.size()), D, kType);
        for (size_t r = 0; r < cluster.size(); ++r) {
            T* row = matrix.ptr<T>(static_cast<int>(r));
            const KDPoint<D, T>& p = working[cluster[r]];
            for (int d = 0; d < D; ++d) row[d] = p.coords[d] / div[d];
        }
        out.push_back(matrix);
    }
}

template <int D, typename T>
void pointsAsOneMatrix(const std::vector<KDPoint<D, T>>& working, const std::vector<std::vector<size_t>>& members,
                       const std::array<T, 3>& div, cv::Mat& out) {
    constexpr int kDepth = std::is_same_v<T, float> ? CV_32F : CV_64F;
    constexpr int kType = CV_MAKETYPE(kDepth, D);
    size_t total = 0;
    for (const std::vector<size_t>& cluster : members) total += cluster.size();
    out.create(static_cast<int>(total), 1, kType);
    int row = 0;
    for (const std::vector<size_t>& cluster : members) {
        for (size_t index : cluster) {
            T* cell = out.ptr<T>(row++);
            for (int d = 0; d < D; ++d) cell[d] = working[index].coords[d] / div[d];
        }
    }
}

// Keeps the newest `max_capacity` points, in their order.
template <int D, typename T>
void trimToCapacity(std::vector<KDPoint<D, T>>& points, size_t max_capacity) {
    if (points.size() > max_capacity) {
        points.erase(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(points.size() - max_capacity));
    }
}

template <int D, typename T>
KDPoint<D, T> scaledPoint(uint16_t x, uint16_t y, uint64_t timestamp, float sw, float sh, float st) {
    KDPoint<D, T> p;
    p.coords[0] = static_cast<T>(x) * static_cast<T>(sw);
    p.coords[1] = static_cast<T>(y) * static_cast<T>(sh);
    if constexpr (D == 3) {
        p.coords[2] = static_cast<T>(timestamp) * static_cast<T>(st);
    } else {
        (void)timestamp;
        (void)st;
    }
    return p;
}

bool positive(float value) { return value > 0.0f; }

}  // namespace

int droppedPolarityOf(EventFilterType filter_type) { return kDroppedPolarity[checkedFilterIndex(filter_type)]; }

const std::string& eventFilterTypeName(EventFilterType filter_type) {
    static const std::array<std::string, 4> kNames = {"POLARITY_FREE", "POSITIVE_FREE", "NEGATIVE_FREE",
                                                      "POLARITY_SEPARATE"};
    return kNames[checkedFilterIndex(filter_type)];
}

ClusterGeneratorBase::ClusterGeneratorBase(int sensor_width_, int sensor_height_)
    : sensor_width(sensor_width_), sensor_height(sensor_height_) {}

ClusterGeneratorBase::~ClusterGeneratorBase() = default;

// ---------------------------------------------------------------------------------------
// DBSCAN-based generator

template <int D, typename T>
DBSCANBasedClusterGenerator<D, T>::DBSCANBasedClusterGenerator(int sensor_width_, int sensor_height_,
                                                               float scale_width_, float scale_height_,
                                                               float scale_time_, EventFilterType filter_type_,
                                                               size_t max_capacity_, double eps, int min_pts,
                                                               int n_jobs_)
    : ClusterGeneratorBase(sensor_width_, sensor_height_),
      scale_width(scale_width_),
      scale_height(scale_height_),
      scale_time(scale_time_),
      filter_type(filter_type_),
      max_capacity(max_capacity_),
      n_jobs(n_jobs_),
      dbscan(eps, min_pts) {
    if (filter_type == POLARITY_SEPARATE) {
        throw std::runtime_error("DBSCANBasedClusterGenerator does not support POLARITY_SEPARATE event filter type");
    }
    dropped_polarity = droppedPolarityOf(filter_type);
    if (sensor_width < 1 || sensor_height < 1) {
        throw std::runtime_error("DBSCANBasedClusterGenerator: sensor_width and sensor_height should be larger than 0");
    }
    if (!positive(scale_width) || !positive(scale_height) || !positive(scale_time)) {
        throw std::runtime_error(
            "DBSCANBasedClusterGenerator: scale_width, scale_height, and scale_time should be larger than 0");
    }
    if (max_capacity == 0) {
        throw std::runtime_error("DBSCANBasedClusterGenerator: max_capacity should be larger than 0");
    }
    if (!(eps > 0.0)) throw std::runtime_error("DBSCANBasedClusterGenerator: eps should be larger than 0");
    if (min_pts <= 0) throw std::runtime_error("DBSCANBasedClusterGenerator: min_pts should be larger than 0");
}

template <int D, typename T>
DBSCANBasedClusterGenerator<D, T>::DBSCANBasedClusterGenerator(int sensor_width_, int sensor_height_,
                                                               float scale_width_, float scale_height_,
                                                               float scale_time_, EventFilterType filter_type_,
                                                               double eps, int min_pts, int n_jobs_)
    : DBSCANBasedClusterGenerator(sensor_width_, sensor_height_, scale_width_, scale_height_, scale_time_,
                                  filter_type_, std::numeric_limits<size_t>::max(), eps, min_pts, n_jobs_) {}

template <int D, typename T>
DBSCANBasedClusterGenerator<D, T>::DBSCANBasedClusterGenerator(int sensor_width_, int sensor_height_,
                                                               EventFilterType filter_type_, double eps,
                                                               int min_pts, int n_jobs_)
    : DBSCANBasedClusterGenerator(sensor_width_, sensor_height_, 1.0f, 1.0f, 1.0f, filter_type_,
                                  std::numeric_limits<size_t>::max(), eps, min_pts, n_jobs_) {}

template <int D, typename T>
DBSCANBasedClusterGenerator<D, T>::~DBSCANBasedClusterGenerator() = default;

template <int D, typename T>
KDPoint<D, T> DBSCANBasedClusterGenerator<D, T>::makePoint(uint16_t x, uint16_t y, uint64_t timestamp) const {
    return scaledPoint<D, T>(x, y, timestamp, scale_width, scale_height, scale_time);
}

template <int D, typename T>
void DBSCANBasedClusterGenerator<D, T>::addEvents(const Event2D* first, const Event2D* last) {
    addEvents<Event2D>(first, last);
}

template <int D, typename T>
void DBSCANBasedClusterGenerator<D, T>::generateClusters(size_t timestamp, std::vector<ClusterGeometry>& clusters) {
    // The whole run, geometries included, holds the lock: a reset on another thread clears
    // the member lists they are built from.
    std::lock_guard<std::mutex> lock(mutex);
    std::swap(working_points, incoming_points);
    incoming_points.clear();
    trimToCapacity(working_points, max_capacity);
    // The member lists of the previous run refer to the points just discarded: drop them
    // before anything can fail, so that no read-out ever indexes the new working set with
    // old indices.
    cluster_indices.clear();
    cluster_boxes.clear();

    const size_t n = working_points.size();
    // A platform that cannot tell its thread count counts as one hardware thread.
    const size_t hardware = std::max<size_t>(std::thread::hardware_concurrency(), 1);
    size_t jobs = 0;
    if (n_jobs == -1) {
        jobs = hardware;
    } else if (n_jobs == 0) {
        jobs = std::min(hardware, (n + 2000) / 2000);
    } else {
        jobs = static_cast<size_t>(n_jobs);
    }
    dbscan.generateClustersMultiThread(working_points, cluster_indices, cluster_boxes,
                                       static_cast<unsigned char>(jobs));
    appendGeometries<D, T>(cluster_boxes, cluster_indices, scale_width, scale_height, scale_time, sensor_width,
                           sensor_height, timestamp, clusters);
}

template <int D, typename T>
void DBSCANBasedClusterGenerator<D, T>::reset() {
    std::lock_guard<std::mutex> lock(mutex);
    working_points.clear();
    // The member lists index the points just cleared; the boxes of the last run stay.
    cluster_indices.clear();
}

template <int D, typename T>
void DBSCANBasedClusterGenerator<D, T>::setMaxCapacity(size_t max_capacity_) {
    std::lock_guard<std::mutex> lock(mutex);
    max_capacity = max_capacity_;
}

template <int D, typename T>
void DBSCANBasedClusterGenerator<D, T>::getClusterPoints(std::vector<std::vector<KDPoint<D, T>>>& points,
                                                         bool unscale) {
    std::lock_guard<std::mutex> lock(mutex);
    pointsAsVectors<D, T>(working_points, cluster_indices,
                          divisors<D, T>(unscale, scale_width, scale_height, scale_time), points);
}

template <int D, typename T>
void DBSCANBasedClusterGenerator<D, T>::getClusterPoints(std::vector<cv::Mat>& points, bool unscale) {
    std::lock_guard<std::mutex> lock(mutex);
    pointsAsMatrices<D, T>(working_points, cluster_indices,
                           divisors<D, T>(unscale, scale_width, scale_height, scale_time), points);
}

template <int D, typename T>
void DBSCANBasedClusterGenerator<D, T>::getClusterPoints(cv::Mat& points, bool unscale) {
    std::lock_guard<std::mutex> lock(mutex);
    pointsAsOneMatrix<D, T>(working_points, cluster_indices,
                            divisors<D, T>(unscale, scale_width, scale_height, scale_time), points);
}

// ---------------------------------------------------------------------------------------
// KMeans-based generator

template <int D, typename T>
KMeansBasedClusterGenerator<D, T>::KMeansBasedClusterGenerator(int sensor_width_, int sensor_height_,
                                                               float scale_width_, float scale_height_,
                                                               float scale_time_, EventFilterType filter_type_,
                                                               size_t max_capacity_, size_t k_clusters,
                                                               size_t max_iter, double tol)
    : ClusterGeneratorBase(sensor_width_, sensor_height_),
      scale_width(scale_width_),
      scale_height(scale_height_),
      scale_time(scale_time_),
      filter_type(filter_type_),
      max_capacity(max_capacity_),
      kmeans(k_clusters, max_iter, tol) {
    if (filter_type == POLARITY_SEPARATE) {
        throw std::runtime_error("KMeansBasedClusterGenerator does not support POLARITY_SEPARATE event filter type");
    }
    dropped_polarity = droppedPolarityOf(filter_type);
    if (sensor_width < 1 || sensor_height < 1) {
        throw std::runtime_error("KMeansBasedClusterGenerator: sensor_width and sensor_height should be larger than 0");
    }
    if (!positive(scale_width) || !positive(scale_height) || !positive(scale_time)) {
        throw std::runtime_error(
            "KMeansBasedClusterGenerator: scale_width, scale_height, and scale_time should be larger than 0");
    }
    if (max_capacity == 0) {
        throw std::runtime_error("KMeansBasedClusterGenerator: max_capacity should be larger than 0");
    }
}

template <int D, typename T>
KMeansBasedClusterGenerator<D, T>::KMeansBasedClusterGenerator(int sensor_width_, int sensor_height_,
                                                               float scale_width_, float scale_height_,
                                                               float scale_time_, EventFilterType filter_type_,
                                                               size_t k_clusters, size_t max_iter, double tol)
    : KMeansBasedClusterGenerator(sensor_width_, sensor_height_, scale_width_, scale_height_, scale_time_,
                                  filter_type_, std::numeric_limits<size_t>::max(), k_clusters, max_iter, tol) {}

template <int D, typename T>
KMeansBasedClusterGenerator<D, T>::KMeansBasedClusterGenerator(int sensor_width_, int sensor_height_,
                                                               EventFilterType filter_type_, size_t k_clusters,
                                                               size_t max_iter, double tol)
    : KMeansBasedClusterGenerator(sensor_width_, sensor_height_, 1.0f, 1.0f, 1.0f, filter_type_,
                                  std::numeric_limits<size_t>::max(), k_clusters, max_iter, tol) {}

template <int D, typename T>
KMeansBasedClusterGenerator<D, T>::~KMeansBasedClusterGenerator() = default;

template <int D, typename T>
KDPoint<D, T> KMeansBasedClusterGenerator<D, T>::makePoint(uint16_t x, uint16_t y, uint64_t timestamp) const {
    return scaledPoint<D, T>(x, y, timestamp, scale_width, scale_height, scale_time);
}

template <int D, typename T>
void KMeansBasedClusterGenerator<D, T>::addEvents(const Event2D* first, const Event2D* last) {
    addEvents<Event2D>(first, last);
}

template <int D, typename T>
void KMeansBasedClusterGenerator<D, T>::generateClusters(size_t timestamp, std::vector<ClusterGeometry>& clusters) {
    // The whole run, geometries included, holds the lock: a reset on another thread clears
    // the member lists they are built from.
    std::lock_guard<std::mutex> lock(mutex);
    std::swap(working_points, incoming_points);
    incoming_points.clear();
    trimToCapacity(working_points, max_capacity);
    cluster_indices.clear();
    cluster_boxes.clear();
    kmeans.generateClusters(working_points, cluster_indices, cluster_boxes);
    appendGeometries<D, T>(cluster_boxes, cluster_indices, scale_width, scale_height, scale_time, sensor_width,
                           sensor_height, timestamp, clusters);
}

template <int D, typename T>
void KMeansBasedClusterGenerator<D, T>::reset() {
    std::lock_guard<std::mutex> lock(mutex);
    working_points.clear();
    // The member lists index the points just cleared; sizes, centroids and boxes of the
    // last run stay readable.
    cluster_indices.clear();
}

template <int D, typename T>
void KMeansBasedClusterGenerator<D, T>::setMaxCapacity(size_t max_capacity_) {
    std::lock_guard<std::mutex> lock(mutex);
    max_capacity = max_capacity_;
}

template <int D, typename T>
void KMeansBasedClusterGenerator<D, T>::setClusterNumber(size_t k) {
    std::lock_guard<std::mutex> lock(mutex);
    kmeans.setClusterNumber(k);
}

template <int D, typename T>
void KMeansBasedClusterGenerator<D, T>::getClusterSizes(std::vector<size_t>& sizes) {
    std::lock_guard<std::mutex> lock(mutex);
    kmeans.getNumPointsPerCluster(sizes);
}

template <int D, typename T>
void KMeansBasedClusterGenerator<D, T>::getClusterCentroids(std::vector<KDPoint<D, T>>& centroids) {
    std::lock_guard<std::mutex> lock(mutex);
    kmeans.getCentroids(centroids);
}

template <int D, typename T>
void KMeansBasedClusterGenerator<D, T>::getClusterPoints(std::vector<std::vector<KDPoint<D, T>>>& points,
                                                         bool unscale) {
    std::lock_guard<std::mutex> lock(mutex);
    pointsAsVectors<D, T>(working_points, cluster_indices,
                          divisors<D, T>(unscale, scale_width, scale_height, scale_time), points);
}

template <int D, typename T>
void KMeansBasedClusterGenerator<D, T>::getClusterPoints(std::vector<cv::Mat>& points, bool unscale) {
    std::lock_guard<std::mutex> lock(mutex);
    pointsAsMatrices<D, T>(working_points, cluster_indices,
                           divisors<D, T>(unscale, scale_width, scale_height, scale_time), points);
}

template <int D, typename T>
void KMeansBasedClusterGenerator<D, T>::getClusterPoints(cv::Mat& points, bool unscale) {
    std::lock_guard<std::mutex> lock(mutex);
    pointsAsOneMatrix<D, T>(working_points, cluster_indices,
                            divisors<D, T>(unscale, scale_width, scale_height, scale_time), points);
}

template class DBSCANBasedClusterGenerator<2, float>;
template class DBSCANBasedClusterGenerator<2, double>;
template class DBSCANBasedClusterGenerator<3, float>;
template class DBSCANBasedClusterGenerator<3, double>;
template class KMeansBasedClusterGenerator<2, float>;
template class KMeansBasedClusterGenerator<2, double>;
template class KMeansBasedClusterGenerator<3, float>;
template class KMeansBasedClusterGenerator<3, double>;

}  // namespace vireo
