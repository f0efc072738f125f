// KMeans: farthest-point seeding and Lloyd's iteration with a KD-tree over the centroids,
// with the explicit instantiations the library exports.
#include <vireo/KMeans.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

namespace vireo {

namespace {
// Largest cluster count for which the assignment step scans the centroids instead of
// searching a KD-tree over them.
constexpr size_t kDirectScanMaxK = 32;
}  // namespace

template <int D, typename T>
KMeans<D, T>::KMeans(size_t k_, size_t max_iter_, double tol_) : k(k_), max_iter(max_iter_), tol(tol_) {
    if (k == 0) throw std::runtime_error("KMeans: k must be greater than 0");
    if (max_iter == 0) throw std::runtime_error("KMeans: max_iter must be greater than 0");
    if (!(tol > 0.0)) throw std::runtime_error("KMeans: tol must be greater than 0");
    cluster_sizes.assign(k, 0);
}

template <int D, typename T>
void KMeans<D, T>::generateClusters(const std::vector<KDPoint<D, T>>& points,
                                    std::vector<std::vector<size_t>>& clusters,
                                    std::vector<std::vector<T>>& boxes) {
    generateClustersPrivate(points, clusters, boxes);
}

template <int D, typename T>
void KMeans<D, T>::getCentroids(std::vector<KDPoint<D, T>>& out) const {
    out.clear();
    out.reserve(k);
    out.insert(out.end(), centroids.begin(), centroids.end());
}

template <int D, typename T>
void KMeans<D, T>::getNumPointsPerCluster(std::vector<size_t>& sizes) const {
    sizes = cluster_sizes;
}

template <int D, typename T>
bool KMeans<D, T>::setClusterNumber(size_t k_) {
    if (k_ == 0) return false;
    k = k_;
    cluster_sizes.assign(k, 0);
    return true;
}

template <int D, typename T>
void KMeans<D, T>::furthestPointSample(const std::vector<KDPoint<D, T>>& points,
                                       std::vector<KDPoint<D, T>>& out) {
    out.clear();
    out.reserve(k);
    const size_t n = points.size();
    std::random_device device;
    std::mt19937 generator(device());
    std::uniform_int_distribution<size_t> pick(0, n - 1);
    const size_t first = pick(generator);
    out.push_back(points[first]);

    sample_distances.resize(n);
    for (size_t i = 0; i < n; ++i) {
        sample_distances[i] = static_cast<float>(points[i].euclideanDistance(points[first]));
    }
    for (size_t c = 1; c < k; ++c) {
        // Lowest index among the largest distances (index 0 when all are 0).
        size_t best = 0;
        for (size_t i = 1; i < n; ++i) {
            if (sample_distances[i] > sample_distances[best]) best = i;
        }
        out.push_back(points[best]);
        const KDPoint<D, T>& picked = points[best];
        for (size_t i = 0; i < n; ++i) {
            const auto d = static_cast<float>(points[i].euclideanDistance(picked));
            if (d < sample_distances[i]) sample_distances[i] = d;
        }
    }
}

template <int D, typename T>
void KMeans<D, T>::generateClustersPrivate(const std::vector<KDPoint<D, T>>& points,
                                           std::vector<std::vector<size_t>>& clusters,
                                           std::vector<std::vector<T>>& boxes) {
    clusters.clear();
    boxes.clear();
    const size_t n = points.size();
    if (n < k) {
        centroids.clear();
        return;
    }
    furthestPointSample(points, centroids);
    assignments.assign(n, 0);
    clusters.resize(k);
    boxes.resize(k);
    cluster_sizes.assign(k, 0);
    sums.resize(k);

    double previous = std::numeric_limits<double>::max();
    size_t iterations = 0;
    for (;;) {
        // A tree over a handful of centroids costs more per query than looking at each of
        // them: small k scans the centroids directly (same nearest centroid; ties go to
        // the lowest index).
        const bool use_tree = k > kDirectScanMaxK;
        if (use_tree) {
            centroid_tree.build(centroids, 1);
        } else {
            flat_centroids.resize(k * D);
            for (size_t j = 0; j < k; ++j) {
                for (int d = 0; d < D; ++d) flat_centroids[static_cast<size_t>(d) * k + j] = centroids[j].coords[d];
            }
        }
        for (KDPoint<D, double>& sum : sums) sum = KDPoint<D, double>();
        std::fill(cluster_sizes.begin(), cluster_sizes.end(), size_t{0});
        double total = 0.0;
        for (size_t i = 0; i < n; ++i) {
            size_t c = 0;
            T squared = T(0);
            if (use_tree) {
                centroid_tree.nearestPoint(points[i], c, squared);
            } else {
                // Distances to all centroids first (a loop the compiler vectorises over the
                // dimension-major centroid table), then the first smallest.
                T distances[kDirectScanMaxK] = {};
                for (int d = 0; d < D; ++d) {
                    const T value = points[i].coords[d];
                    const T* column = flat_centroids.data() + static_cast<size_t>(d) * k;
                    for (size_t j = 0; j < k; ++j) {
                        const T diff = value - column[j];
                        distances[j] += diff * diff;
                    }
                }
                T best = distances[0];
                size_t best_index = 0;
                for (size_t j = 1; j < k; ++j) {
                    const bool closer = distances[j] < best;
                    best = closer ? distances[j] : best;
                    best_index = closer ? j : best_index;
                }
                c = best_index;
                squared = best;
            }
            assignments[i] = c;
            ++cluster_sizes[c];
            // Sums in double: a float sum over many points would lose the mean's precision.
            for (int d = 0; d < D; ++d) sums[c].coords[d] += static_cast<double>(points[i].coords[d]);
            total += static_cast<double>(squared);
        }

        bool had_empty = false;
        for (size_t c = 0; c < k; ++c) {
            if (cluster_sizes[c] != 0) {
                for (int d = 0; d < D; ++d) {
                    centroids[c].coords[d] =
                        static_cast<T>(sums[c].coords[d] / static_cast<double>(cluster_sizes[c]));
                }
                continue;
            }
            // An empty cluster takes the point lying farthest from its own cluster's centroid
            // (centroids of earlier clusters already moved in this step).
            had_empty = true;
            size_t farthest = 0;
            double farthest_distance = -1.0;
            for (size_t i = 0; i < n; ++i) {
                const double d = points[i].euclideanDistance(centroids[assignments[i]]);
                if (d > farthest_distance) {
                    farthest_distance = d;
                    farthest = i;
                }
            }
            centroids[c] = points[farthest];
        }

        if (!had_empty && tol > std::abs(total - previous)) break;
        ++iterations;
        if (iterations >= max_iter) break;
        previous = total;
    }

    std::vector<T> lo(static_cast<size_t>(k) * D, std::numeric_limits<T>::max());
    std::vector<T> hi(static_cast<size_t>(k) * D, -std::numeric_limits<T>::max());
    for (size_t i = 0; i < n; ++i) {
        const size_t c = assignments[i];
        clusters[c].push_back(i);
        for (int d = 0; d < D; ++d) {
            lo[c * D + d] = std::min(lo[c * D + d], points[i].coords[d]);
            hi[c * D + d] = std::max(hi[c * D + d], points[i].coords[d]);
        }
    }
    for (size_t c = 0; c < k; ++c) {
        std::vector<T>& box = boxes[c];
        box.resize(2 * D);
        for (int d = 0; d < D; ++d) {
            box[d] = lo[c * D + d];
            // An empty cluster gets -max - max, which overflows to minus infinity.
            box[D + d] = hi[c * D + d] - lo[c * D + d];
        }
    }
}

template class KMeans<2, float>;
template class KMeans<2, double>;
template class KMeans<3, float>;
template class KMeans<3, double>;

}  // namespace vireo
