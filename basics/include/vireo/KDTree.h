// Fixed-dimension points and the KD-tree index over them, the base of the clustering
// library: DBSCAN searches neighbourhoods in it, KMeans finds nearest centroids, and the
// calibration code queries it directly. The index is nanoflann's single-index KD-tree with
// squared Euclidean distances; the points are read in place from the caller's vector.
//
// Instantiated and exported for D = 2, 3 and T = float, double.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include <nanoflann.hpp>

#include <vireo/basics_export.h>

namespace vireo {

// One search result: (point index, squared distance). This is nanoflann's own result item
// in the version the kit builds against (1.4.x, where it is a std::pair); newer nanoflann
// names it nanoflann::ResultItem with the same two members `first` and `second`.
#if defined(NANOFLANN_VERSION) && NANOFLANN_VERSION >= 0x150
template <typename IndexType, typename DistanceType>
using ResultItem = nanoflann::ResultItem<IndexType, DistanceType>;
#else
template <typename IndexType, typename DistanceType>
using ResultItem = std::pair<IndexType, DistanceType>;
#endif

// A point of D coordinates of type T. For events, coordinate 0 is the scaled x, 1 the
// scaled y and, in three dimensions, 2 the scaled timestamp.
template <int D, typename T>
struct BASICS_EXPORT KDPoint {
    static_assert(D > 0, "KDPoint needs at least one coordinate");
    std::array<T, D> coords{};

    // All coordinates 0.
    KDPoint() = default;
    // Every coordinate set to `value`.
    explicit KDPoint(const T& value) { coords.fill(value); }

    // Coordinate `index`; 0 for an index outside 0..D-1 (negative included).
    T getPoint(int index) const { return (index >= 0 && index < D) ? coords[index] : T(0); }

    // A new point with every coordinate divided by `divisor` (no check for 0).
    KDPoint operator/(T divisor) const {
        KDPoint result;
        for (int i = 0; i < D; ++i) result.coords[i] = coords[i] / divisor;
        return result;
    }

    // Adds `other` coordinate by coordinate.
    KDPoint& operator+=(const KDPoint& other) {
        for (int i = 0; i < D; ++i) coords[i] += other.coords[i];
        return *this;
    }

    // Euclidean distance: differences and squares in T, summed and rooted in double.
    double euclideanDistance(const KDPoint& other) const;
};

// The dataset adaptor nanoflann reads the points through. It refers to a vector it does not
// own and supplies no bounding box, so nanoflann computes one.
template <int D, typename T>
struct __KDPointAdaptor {
    const std::vector<KDPoint<D, T>>* points = nullptr;

    explicit __KDPointAdaptor(const std::vector<KDPoint<D, T>>* points_) : points(points_) {}

    size_t kdtree_get_point_count() const { return points->size(); }
    T kdtree_get_pt(size_t index, size_t dim) const { return (*points)[index].coords[dim]; }
    template <class BBox>
    bool kdtree_get_bbox(BBox& /*bbox*/) const {
        return false;
    }
};

// KD-tree over a vector of KDPoint. `build` indexes either the caller's vector (which must
// stay alive and unchanged until the tree is rebuilt or destroyed: points are not copied) or
// the tree's own `points`. After `build`, any number of threads may search at once; `build`
// must not run concurrently with anything else on the same tree.
//
// Build threads: the nanoflann shipped with Debian 12 (1.4.x) has no parallel build, so the
// thread count is accepted and the tree is always built on the calling thread alone.
template <int D, typename T>
class BASICS_EXPORT KDTree {
public:
    using Adaptor = __KDPointAdaptor<D, T>;
    using Index = nanoflann::KDTreeSingleIndexAdaptor<
        nanoflann::L2_Simple_Adaptor<T, Adaptor, T, unsigned int>, Adaptor, D, size_t>;

    // The tree's own storage, indexed by `build(int)`; fill it before building.
    std::vector<KDPoint<D, T>> points;

    KDTree() = default;
    ~KDTree();
    KDTree(const KDTree&) = delete;
    KDTree& operator=(const KDTree&) = delete;
    // Moving keeps the index valid; a tree over its own points then reads the new owner's.
    KDTree(KDTree&& other) noexcept;
    KDTree& operator=(KDTree&& other) noexcept;

    // Indexes the caller's `points` (leaf size 10). `n_threads` is accepted for
    // compatibility (0 = one per hardware thread) but the build runs on one thread (see the
    // class comment). Clears the tree's own `points`. Always returns true; an empty vector
    // gives a built tree with no points.
    bool build(const std::vector<KDPoint<D, T>>& points, int n_threads);
    // Indexes the tree's own `points`, which are kept. Same rules as above.
    bool build(int n_threads);

    // True once a build has completed.
    bool isBuilt() const { return built; }

    // Element `index` of the indexed vector; no range check.
    const KDPoint<D, T>& getPoint(size_t index) const { return (*adaptor->points)[index]; }
    // Number of indexed points (0 before any build).
    size_t getPointsCount() const { return adaptor ? adaptor->points->size() : 0; }

    // All indexed points strictly closer than `radius` to indexed point `index` (no range
    // check), as (index, squared distance); the query point itself is among them for any
    // positive radius. `sorted` orders them by increasing squared distance, otherwise they
    // come in tree-walk order. `results` is cleared first; returns their number, 0 on a tree
    // that was never built. The squared radius is formed in T.
    size_t radiusSearchIndex(T radius, std::vector<ResultItem<size_t, T>>& results, bool sorted,
                             size_t index) const;

    // The k nearest indexed points to `query`, nearest first. Both vectors are resized to k
    // (zero-filled); the first returned-count entries are valid. Returns 0 on a tree that was
    // never built or has no points.
    size_t knnSearchPoint(size_t k, std::vector<size_t>& indices, std::vector<T>& squared_distances,
                          const KDPoint<D, T>& query) const;

    // The k nearest other indexed points to indexed point `index` (no range check): the point
    // itself is left out, so both vectors hold k entries. Returns the number found, 0 on a
    // tree that was never built.
    size_t knnSearchIndex(size_t k, std::vector<size_t>& indices, std::vector<T>& squared_distances,
                          size_t index) const;

    // Indices of the indexed points in the tree's storage order: leaf by leaf, so that
    // consecutive entries are close in space. Empty before the first build. Valid until the
    // next build.
    const std::vector<size_t>& getTreeOrder() const;

    // The single nearest indexed point to `query`: writes its index and squared distance and
    // returns true, or returns false on an unbuilt or empty tree. Allocates nothing.
    bool nearestPoint(const KDPoint<D, T>& query, size_t& index, T& squared_distance) const;

private:
    void rebuild(const std::vector<KDPoint<D, T>>* source);
    void adoptFrom(KDTree& other) noexcept;

    bool built = false;
    std::unique_ptr<Index> index_ptr;
    std::unique_ptr<Adaptor> adaptor;
};

extern template struct KDPoint<2, float>;
extern template struct KDPoint<2, double>;
extern template struct KDPoint<3, float>;
extern template struct KDPoint<3, double>;
extern template class KDTree<2, float>;
extern template class KDTree<2, double>;
extern template class KDTree<3, float>;
extern template class KDTree<3, double>;

}  // namespace vireo
