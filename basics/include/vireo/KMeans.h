// KMeans over KDPoint sets: Lloyd's iteration from farthest-point seeds with a random first
// pick. Each assignment step finds every point's nearest centroid through a KD-tree over the
// centroids; the run stops when the total squared distance changes by less than `tol`, or
// after `max_iter` iterations.
//
// Instantiated and exported for D = 2, 3 and T = float, double.
#pragma once

#include <cstddef>
#include <vector>

#include <vireo/KDTree.h>
#include <vireo/basics_export.h>

namespace vireo {

template <int D, typename T>
class BASICS_EXPORT KMeans {
public:
    // Throws std::runtime_error, checked in this order: "KMeans: k must be greater than 0",
    // "KMeans: max_iter must be greater than 0", "KMeans: tol must be greater than 0" (a NaN
    // tol is refused too).
    KMeans(size_t k, size_t max_iter, double tol);

    // One run over `points`. `clusters` gets k lists of member indices (ascending) and `boxes`
    // per cluster [minimum of every coordinate, extent of every coordinate]. A cluster that
    // ends empty has no members, minima of the largest T and an extent of minus infinity.
    // Fewer than k points is not an error: both outputs stay empty, the centroids are cleared
    // and the cluster sizes keep their previous values. Both outputs are cleared first.
    void generateClusters(const std::vector<KDPoint<D, T>>& points,
                          std::vector<std::vector<size_t>>& clusters,
                          std::vector<std::vector<T>>& boxes);

    // The k centroids of the last run (the means after its last assignment step), replacing
    // the content of `centroids`.
    void getCentroids(std::vector<KDPoint<D, T>>& centroids) const;
    // Members per cluster in the last assignment step, replacing the content of `sizes`.
    void getNumPointsPerCluster(std::vector<size_t>& sizes) const;
    // Sets the number of clusters for the next run; 0 returns false and changes nothing.
    bool setClusterNumber(size_t k);

    size_t getClusterNumber() const { return k; }

private:
    void generateClustersPrivate(const std::vector<KDPoint<D, T>>& points,
                                 std::vector<std::vector<size_t>>& clusters,
                                 std::vector<std::vector<T>>& boxes);
    void furthestPointSample(const std::vector<KDPoint<D, T>>& points,
                             std::vector<KDPoint<D, T>>& centroids);

    size_t k;
    size_t max_iter;
    double tol;
    KDTree<D, T> centroid_tree;
    std::vector<KDPoint<D, T>> centroids;
    std::vector<size_t> cluster_sizes;
    std::vector<size_t> assignments;
    // Scratch kept between runs: farthest-point distances and per-cluster coordinate sums.
    std::vector<float> sample_distances;
    std::vector<KDPoint<D, double>> sums;
    std::vector<T> flat_centroids;
};

extern template class KMeans<2, float>;
extern template class KMeans<2, double>;
extern template class KMeans<3, float>;
extern template class KMeans<3, double>;

}  // namespace vireo
