// Density-based clustering of KDPoint sets. One public call runs either the classic
// single-threaded expansion (one job) or a parallel path (several jobs) in which worker
// threads compute neighbourhoods and a union-find pass joins them. Both paths share one
// neighbourhood search: every point strictly closer than `eps`, the point itself included;
// a point is core when its neighbourhood holds at least `min_pts` points.
//
// The paths differ only in border points (not core, within `eps` of a core point): the
// single-threaded path gives such a point to the first cluster that reaches it, while the
// parallel path joins every group the border point touches into one cluster.
//
// The parallel path searches the points in the KD-tree's storage order (neighbours in space
// are searched together) and joins each core point with its neighbours as it goes, in a
// lock-free union-find shared by the workers; the clusters are read off after the join.
//
// Instantiated and exported for D = 2, 3 and T = float, double.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <vireo/KDTree.h>
#include <vireo/basics_export.h>

namespace vireo {

template <int D, typename T>
class BASICS_EXPORT DBSCAN {
public:
    // `eps`: neighbourhood radius in point units (a point exactly `eps` away is not a
    // neighbour). `min_pts`: smallest neighbourhood of a core point, the point included.
    // A `min_pts` below 1 is treated as 1 (every point is then core): any neighbourhood holds
    // at least its own point. An `eps` not above 0 (or NaN) gives empty neighbourhoods, so
    // every point is noise.
    DBSCAN(double eps, int min_pts);
    ~DBSCAN();
    DBSCAN(const DBSCAN&) = delete;
    DBSCAN& operator=(const DBSCAN&) = delete;

    // Clusters `points` (which must stay unchanged during the call). `clusters` receives one
    // list of member indices per cluster and `boxes` per cluster the minimum of every
    // coordinate followed by the extent (maximum minus minimum) of every coordinate; noise
    // points appear in neither. Both outputs are cleared first.
    // `n_jobs` 1 runs the single-threaded path (clusters in ascending order of their first
    // core point, members in discovery order); 2 or more run the parallel path with that
    // many worker threads (members ascending, cluster order without meaning).
    // Throws std::runtime_error "n_jobs must be greater than 0" for 0, before any work.
    void generateClustersMultiThread(const std::vector<KDPoint<D, T>>& points,
                                     std::vector<std::vector<size_t>>& clusters,
                                     std::vector<std::vector<T>>& boxes, unsigned char n_jobs);

    double getEps() const { return eps; }
    int getMinPts() const { return min_pts; }

private:
    using Item = ResultItem<size_t, T>;

    // Neighbourhood of indexed point `index` into `out` (unsorted); returns its size. The one
    // search routine of both paths.
    size_t neighbourhood(size_t index, std::vector<Item>& out) const;
    bool isCore(size_t neighbourhood_size) const {
        return static_cast<uint64_t>(neighbourhood_size) >= static_cast<uint64_t>(min_pts);
    }

    void generateClustersPrivate(std::vector<std::vector<size_t>>& clusters,
                                 std::vector<std::vector<T>>& boxes);
    void generateClustersMultiThreadPrivate(std::vector<std::vector<size_t>>& clusters,
                                            std::vector<std::vector<T>>& boxes,
                                            unsigned char n_jobs);
    void thouroughSearch(size_t worker);
    size_t findRoot(size_t index);
    size_t findRootConcurrent(size_t index);
    void uniteConcurrent(size_t a, size_t b);

    double eps;
    int min_pts;
    T search_radius;
    KDTree<D, T> kdtree;

    // Single-threaded path: per-point state (0 unseen, 1 visited, 2 searched and not core;
    // the last spares a border point a second search), the LIFO expansion stack and the
    // scratch neighbourhood.
    std::vector<uint8_t> visited;
    std::vector<Item> seeds;
    std::vector<Item> neighbours;

    // Parallel path. Workers take points in chunks from `next_index`, search each one's
    // neighbourhood into their own scratch vector in `worker_neighbours`, flag core points in
    // `is_core` (each byte written only by the worker that took that point) and join a core
    // point with all its neighbours at once in the lock-free union-find `parent`. Nothing is
    // stored per neighbour, and the scratch keeps its storage between runs, so a run in
    // steady state allocates nothing per point.
    std::vector<std::vector<Item>> worker_neighbours;
    std::vector<uint8_t> is_core;
    std::atomic<uint64_t> next_index{0};
    std::vector<size_t> parent;
    std::vector<size_t> component_size;
    std::vector<size_t> cluster_of_root;
};

extern template class DBSCAN<2, float>;
extern template class DBSCAN<2, double>;
extern template class DBSCAN<3, float>;
extern template class DBSCAN<3, double>;

}  // namespace vireo
