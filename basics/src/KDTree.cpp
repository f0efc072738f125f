// KDPoint's distance and the KD-tree's build and searches over nanoflann, with the explicit
// instantiations the library exports.
// GCC 12 reports a "potential null pointer dereference" inside std::vector::resize when
// nanoflann's index constructor is inlined here; the vector is valid, so the warning is off
// for this file only.
#pragma GCC diagnostic ignored "-Wnull-dereference"

#include <vireo/KDTree.h>

#include <algorithm>
#include <cmath>

namespace vireo {

template <int D, typename T>
double KDPoint<D, T>::euclideanDistance(const KDPoint& other) const {
    double sum = 0.0;
    for (int i = 0; i < D; ++i) {
        const T diff = coords[i] - other.coords[i];
        const T square = diff * diff;
        sum += static_cast<double>(square);
    }
    return std::sqrt(sum);
}

template <int D, typename T>
KDTree<D, T>::~KDTree() {
    // The index refers to the adaptor: drop the index first.
    index_ptr.reset();
    adaptor.reset();
}

template <int D, typename T>
void KDTree<D, T>::adoptFrom(KDTree& other) noexcept {
    const bool own = other.adaptor && other.adaptor->points == &other.points;
    points = std::move(other.points);
    built = other.built;
    index_ptr = std::move(other.index_ptr);
    adaptor = std::move(other.adaptor);
    // The heap buffer moved with the vector, so the index stays valid once the adaptor
    // looks at this tree's vector instead of the moved-from one.
    if (own) adaptor->points = &points;
    other.built = false;
    other.points.clear();
}

template <int D, typename T>
KDTree<D, T>::KDTree(KDTree&& other) noexcept {
    adoptFrom(other);
}

template <int D, typename T>
KDTree<D, T>& KDTree<D, T>::operator=(KDTree&& other) noexcept {
    if (this != &other) {
        index_ptr.reset();
        adaptor.reset();
        adoptFrom(other);
    }
    return *this;
}

template <int D, typename T>
void KDTree<D, T>::rebuild(const std::vector<KDPoint<D, T>>* source) {
    built = false;
    index_ptr.reset();
    adaptor = std::make_unique<Adaptor>(source);
    // No flags: the constructor builds the index at once. nanoflann 1.4 builds on the
    // calling thread only, whatever thread count was asked for.
    index_ptr = std::make_unique<Index>(D, *adaptor, nanoflann::KDTreeSingleIndexAdaptorParams(10));
    built = true;
}

template <int D, typename T>
bool KDTree<D, T>::build(const std::vector<KDPoint<D, T>>& source, int /*n_threads*/) {
    if (&source != &points) {
        // Release the old index before the storage it may read goes away.
        index_ptr.reset();
        adaptor.reset();
        points.clear();
    }
    rebuild(&source);
    return true;
}

template <int D, typename T>
bool KDTree<D, T>::build(int /*n_threads*/) {
    rebuild(&points);
    return true;
}

template <int D, typename T>
size_t KDTree<D, T>::radiusSearchIndex(T radius, std::vector<ResultItem<size_t, T>>& results,
                                       bool sorted, size_t index) const {
    results.clear();
    if (!built || !index_ptr) return 0;
    const T squared_radius = radius * radius;
    const KDPoint<D, T>& query = getPoint(index);
    nanoflann::RadiusResultSet<T, size_t> result_set(squared_radius, results);
    index_ptr->findNeighbors(result_set, query.coords.data(), nanoflann::SearchParams(32, 0.0f, false));
    if (sorted) {
        std::sort(results.begin(), results.end(),
                  [](const ResultItem<size_t, T>& a, const ResultItem<size_t, T>& b) {
                      return a.second < b.second;
                  });
    }
    return results.size();
}

template <int D, typename T>
size_t KDTree<D, T>::knnSearchPoint(size_t k, std::vector<size_t>& indices,
                                    std::vector<T>& squared_distances,
                                    const KDPoint<D, T>& query) const {
    indices.assign(k, 0);
    squared_distances.assign(k, T(0));
    if (!built || !index_ptr || getPointsCount() == 0 || k == 0) return 0;
    return index_ptr->knnSearch(query.coords.data(), k, indices.data(), squared_distances.data());
}

template <int D, typename T>
size_t KDTree<D, T>::knnSearchIndex(size_t k, std::vector<size_t>& indices,
                                    std::vector<T>& squared_distances, size_t index) const {
    indices.assign(k + 1, 0);
    squared_distances.assign(k + 1, T(0));
    if (!built || !index_ptr || getPointsCount() == 0) return 0;
    const size_t found =
        index_ptr->knnSearch(getPoint(index).coords.data(), k + 1, indices.data(), squared_distances.data());
    indices.erase(indices.begin());
    squared_distances.erase(squared_distances.begin());
    return found == 0 ? 0 : found - 1;
}

template <int D, typename T>
const std::vector<size_t>& KDTree<D, T>::getTreeOrder() const {
    static const std::vector<size_t> kNone;
    return index_ptr ? index_ptr->vAcc : kNone;
}

template <int D, typename T>
bool KDTree<D, T>::nearestPoint(const KDPoint<D, T>& query, size_t& index, T& squared_distance) const {
    if (!built || !index_ptr || getPointsCount() == 0) return false;
    nanoflann::KNNResultSet<T, size_t> result_set(1);
    result_set.init(&index, &squared_distance);
    index_ptr->findNeighbors(result_set, query.coords.data(), nanoflann::SearchParams());
    return result_set.size() == 1;
}

template struct KDPoint<2, float>;
template struct KDPoint<2, double>;
template struct KDPoint<3, float>;
template struct KDPoint<3, double>;
template class KDTree<2, float>;
template class KDTree<2, double>;
template class KDTree<3, float>;
template class KDTree<3, double>;

}  // namespace vireo
