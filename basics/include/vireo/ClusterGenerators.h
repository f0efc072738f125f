// Event cluster generators: the caller pours events in, and each `generateClusters` call
// clusters the events received since the previous call and reports one ClusterGeometry per
// cluster, in sensor pixels. Events become points by scaling x, y and (in three dimensions)
// the timestamp, so that one radius or distance weighs space against time.
//
// DBSCANBasedClusterGenerator finds density clusters, KMeansBasedClusterGenerator a fixed
// number of clusters; GridBasedClusterGenerator (its own header) counts events per cell.
// The templates are instantiated and exported for D = 2, 3 and T = float, double.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

#include <vireo/ClusterGeometry.h>
#include <vireo/DBSCAN.h>
#include <vireo/KDTree.h>
#include <vireo/KMeans.h>
#include <vireo/SharedTypes.h>
#include <vireo/basics_export.h>

namespace vireo {

// The polarity a filter drops: POLARITY_FREE 2 (no event has it), POSITIVE_FREE 1,
// NEGATIVE_FREE 0, POLARITY_SEPARATE 2. Throws std::out_of_range for any other value.
BASICS_EXPORT int droppedPolarityOf(EventFilterType filter_type);
// The filter's name as text ("POLARITY_FREE", ...). Throws std::out_of_range for any other value.
BASICS_EXPORT const std::string& eventFilterTypeName(EventFilterType filter_type);

// Common interface of every event cluster generator.
class BASICS_EXPORT ClusterGeneratorBase {
public:
    virtual ~ClusterGeneratorBase();
    // Clusters what arrived since the last run; replaces the content of `clusters`, whose
    // records carry `timestamp` (by convention the time of the last event added, µs).
    virtual void generateClusters(size_t timestamp, std::vector<ClusterGeometry>& clusters) = 0;
    // Drops the generator's working state (what exactly: see each generator).
    virtual void reset() = 0;

    int getSensorWidth() const { return sensor_width; }
    int getSensorHeight() const { return sensor_height; }

protected:
    ClusterGeneratorBase(int sensor_width, int sensor_height);
    ClusterGeneratorBase(const ClusterGeneratorBase&) = default;
    ClusterGeneratorBase& operator=(const ClusterGeneratorBase&) = default;

    int sensor_width;   // pixels
    int sensor_height;  // pixels
};

// Density clusters of the scaled events through DBSCAN. Typical use: addEvents for a time
// slice, generateClusters, then read the member points with getClusterPoints.
//
// Threads: addEvents takes no lock, so events must be added from the thread that runs the
// generator or with the caller's own serialisation. generateClusters, reset, setMaxCapacity
// and getClusterPoints are serialised by the generator's mutex; a run holds it from taking
// the queued points to its last geometry, so a reset from another thread falls before or
// after a whole run.
template <int D, typename T>
class BASICS_EXPORT DBSCANBasedClusterGenerator : public ClusterGeneratorBase {
public:
    // sensor size in pixels (output rectangles are clipped to it); scale factors from pixels
    // and microseconds to point units; the polarity filter; `max_capacity`: most points per
    // run, the newest kept; DBSCAN's `eps` (point units) and `min_pts`; `n_jobs`: DBSCAN
    // worker threads, -1 all hardware threads, 0 automatic (one job plus one per full 2000
    // points, at most the hardware threads), any other value that number (taken modulo 256;
    // a run whose count comes out 0 throws "n_jobs must be greater than 0").
    // Throws std::runtime_error, in this order:
    //   "DBSCANBasedClusterGenerator does not support POLARITY_SEPARATE event filter type",
    //   std::out_of_range for an unknown filter value,
    //   "DBSCANBasedClusterGenerator: sensor_width and sensor_height should be larger than 0",
    //   "DBSCANBasedClusterGenerator: scale_width, scale_height, and scale_time should be larger than 0",
    //   "DBSCANBasedClusterGenerator: max_capacity should be larger than 0",
    //   "DBSCANBasedClusterGenerator: eps should be larger than 0",
    //   "DBSCANBasedClusterGenerator: min_pts should be larger than 0".
    DBSCANBasedClusterGenerator(int sensor_width, int sensor_height, float scale_width, float scale_height,
                                float scale_time, EventFilterType filter_type, size_t max_capacity,
                                double eps, int min_pts, int n_jobs);
    // As above with no capacity limit.
    DBSCANBasedClusterGenerator(int sensor_width, int sensor_height, float scale_width, float scale_height,
                                float scale_time, EventFilterType filter_type, double eps, int min_pts,
                                int n_jobs);
    // Unit scales and no capacity limit.
    DBSCANBasedClusterGenerator(int sensor_width, int sensor_height, EventFilterType filter_type,
                                double eps, int min_pts, int n_jobs);
    ~DBSCANBasedClusterGenerator() override;

    // Filters and scales the events of [first, last) and queues their points for the next
    // run. Any record with x, y, polarity and timestamp members works (Event2DFrequency too).
    void addEvents(const Event2D* first, const Event2D* last);
    template <typename EventT>
    void addEvents(const EventT* first, const EventT* last) {
        for (const EventT* e = first; e != last; ++e) {
            if (static_cast<int>(e->polarity) == dropped_polarity) continue;
            incoming_points.push_back(makePoint(e->x, e->y, e->timestamp));
        }
    }

    // Clusters the points queued since the last run (the newest `max_capacity` of them).
    // Rectangles are the clusters' boxes divided back to pixels and clipped to the sensor
    // ((0, 0, 0, 0) when empty, e.g. all members on one row); in 3-D, start_time and
    // duration are the time box in microseconds. id -1, count 0, `timestamp` as given.
    void generateClusters(size_t timestamp, std::vector<ClusterGeometry>& clusters) override;
    // Discards the working points of the last run together with its member lists, so that
    // getClusterPoints gives nothing until the next run. Queued events are kept.
    void reset() override;
    // Most points per run from the next run on; 0 makes every run cluster nothing.
    void setMaxCapacity(size_t max_capacity);

    // Member points of the last run's clusters, in cluster and member order; `unscale`
    // divides by the scales (pixels, microseconds), otherwise point units.
    // Appends one vector per cluster (`points` is not cleared).
    void getClusterPoints(std::vector<std::vector<KDPoint<D, T>>>& points, bool unscale);
    // Appends one matrix per cluster: one row per member, D columns, CV_32F or CV_64F.
    void getClusterPoints(std::vector<cv::Mat>& points, bool unscale);
    // Replaces `points` with one (total members) x 1 matrix of D channels, clusters one after
    // another (empty when there are no members).
    void getClusterPoints(cv::Mat& points, bool unscale);

private:
    KDPoint<D, T> makePoint(uint16_t x, uint16_t y, uint64_t timestamp) const;

    float scale_width;
    float scale_height;
    float scale_time;
    EventFilterType filter_type;
    int dropped_polarity = 2;
    size_t max_capacity;
    int n_jobs;
    DBSCAN<D, T> dbscan;
    std::mutex mutex;
    std::vector<KDPoint<D, T>> working_points;
    std::vector<KDPoint<D, T>> incoming_points;
    std::vector<std::vector<size_t>> cluster_indices;
    std::vector<std::vector<T>> cluster_boxes;
};

// A fixed number of clusters of the scaled events through KMeans; the calibration reads the
// cluster sizes and centroids. Same threading rules as the DBSCAN-based generator; a run
// holds the mutex throughout, so runs, resets, setters and getClusterPoints never overlap.
template <int D, typename T>
class BASICS_EXPORT KMeansBasedClusterGenerator : public ClusterGeneratorBase {
public:
    // Arguments as for the DBSCAN-based generator, with KMeans' `k_clusters`, `max_iter` and
    // `tol`. Throws std::runtime_error: first KMeans' own checks ("KMeans: k must be greater
    // than 0", "KMeans: max_iter must be greater than 0", "KMeans: tol must be greater than
    // 0"), then in this order
    //   "KMeansBasedClusterGenerator does not support POLARITY_SEPARATE event filter type",
    //   std::out_of_range for an unknown filter value,
    //   "KMeansBasedClusterGenerator: sensor_width and sensor_height should be larger than 0",
    //   "KMeansBasedClusterGenerator: scale_width, scale_height, and scale_time should be larger than 0",
    //   "KMeansBasedClusterGenerator: max_capacity should be larger than 0".
    KMeansBasedClusterGenerator(int sensor_width, int sensor_height, float scale_width, float scale_height,
                                float scale_time, EventFilterType filter_type, size_t max_capacity,
                                size_t k_clusters, size_t max_iter, double tol);
    KMeansBasedClusterGenerator(int sensor_width, int sensor_height, float scale_width, float scale_height,
                                float scale_time, EventFilterType filter_type, size_t k_clusters,
                                size_t max_iter, double tol);
    KMeansBasedClusterGenerator(int sensor_width, int sensor_height, EventFilterType filter_type,
                                size_t k_clusters, size_t max_iter, double tol);
    ~KMeansBasedClusterGenerator() override;

    // As for the DBSCAN-based generator.
    void addEvents(const Event2D* first, const Event2D* last);
    template <typename EventT>
    void addEvents(const EventT* first, const EventT* last) {
        for (const EventT* e = first; e != last; ++e) {
            if (static_cast<int>(e->polarity) == dropped_polarity) continue;
            incoming_points.push_back(makePoint(e->x, e->y, e->timestamp));
        }
    }

    // Clusters the queued points into k clusters (none when fewer than k points). An empty
    // cluster is reported with the rectangle (0, 0, 0, 0) and no time span.
    void generateClusters(size_t timestamp, std::vector<ClusterGeometry>& clusters) override;
    // As for the DBSCAN-based generator; sizes and centroids of the last run are kept.
    void reset() override;
    void setMaxCapacity(size_t max_capacity);
    // Number of clusters from the next run on; 0 is ignored.
    void setClusterNumber(size_t k);
    // Members per cluster of the last run.
    void getClusterSizes(std::vector<size_t>& sizes);
    // Centroids of the last run, in point units (scaled).
    void getClusterCentroids(std::vector<KDPoint<D, T>>& centroids);

    // As for the DBSCAN-based generator.
    void getClusterPoints(std::vector<std::vector<KDPoint<D, T>>>& points, bool unscale);
    void getClusterPoints(std::vector<cv::Mat>& points, bool unscale);
    void getClusterPoints(cv::Mat& points, bool unscale);

private:
    KDPoint<D, T> makePoint(uint16_t x, uint16_t y, uint64_t timestamp) const;

    float scale_width;
    float scale_height;
    float scale_time;
    EventFilterType filter_type;
    int dropped_polarity = 2;
    size_t max_capacity;
    KMeans<D, T> kmeans;
    std::mutex mutex;
    std::vector<KDPoint<D, T>> working_points;
    std::vector<KDPoint<D, T>> incoming_points;
    std::vector<std::vector<size_t>> cluster_indices;
    std::vector<std::vector<T>> cluster_boxes;
};

extern template class DBSCANBasedClusterGenerator<2, float>;
extern template class DBSCANBasedClusterGenerator<2, double>;
extern template class DBSCANBasedClusterGenerator<3, float>;
extern template class DBSCANBasedClusterGenerator<3, double>;
extern template class KMeansBasedClusterGenerator<2, float>;
extern template class KMeansBasedClusterGenerator<2, double>;
extern template class KMeansBasedClusterGenerator<3, float>;
extern template class KMeansBasedClusterGenerator<3, double>;

}  // namespace vireo
