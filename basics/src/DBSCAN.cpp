// DBSCAN's two paths: the single-threaded LIFO expansion and the parallel neighbourhood
// search joined by union-find, with the explicit instantiations the library exports.
#include <vireo/DBSCAN.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

namespace vireo {

namespace {

constexpr size_t kNoCluster = std::numeric_limits<size_t>::max();
constexpr uint8_t kUnseen = 0;
constexpr uint8_t kVisited = 1;
constexpr uint8_t kSearchedNotCore = 2;
// Points a worker takes at once in the parallel path: enough to keep its searches in one
// region of space, few enough to share the work evenly.
constexpr uint64_t kSearchChunk = 256;

template <int D, typename T>
void startBox(std::vector<T>& lo, std::vector<T>& hi, const KDPoint<D, T>& p) {
    for (int d = 0; d < D; ++d) lo[d] = hi[d] = p.coords[d];
}

template <int D, typename T>
void widenBox(std::vector<T>& lo, std::vector<T>& hi, const KDPoint<D, T>& p) {
    for (int d = 0; d < D; ++d) {
        lo[d] = std::min(lo[d], p.coords[d]);
        hi[d] = std::max(hi[d], p.coords[d]);
    }
}

// [minimum per coordinate, extent per coordinate].
template <int D, typename T>
std::vector<T> finishBox(const std::vector<T>& lo, const std::vector<T>& hi) {
    std::vector<T> box(2 * D);
    for (int d = 0; d < D; ++d) {
        box[d] = lo[d];
        box[D + d] = hi[d] - lo[d];
    }
    return box;
}

}  // namespace

template <int D, typename T>
DBSCAN<D, T>::DBSCAN(double eps_, int min_pts_)
    : eps(eps_),
      // Any neighbourhood holds its own point, so a smaller value means exactly what 1 does;
      // clamping also keeps the reserve below from dividing by zero.
      min_pts(std::max(min_pts_, 1)),
      // The squared search radius is formed in T from eps converted to T. A radius of 0
      // finds nothing, which is what a non-positive or NaN eps should give.
      search_radius(eps_ > 0.0 ? static_cast<T>(eps_) : T(0)) {}

template <int D, typename T>
DBSCAN<D, T>::~DBSCAN() = default;

template <int D, typename T>
size_t DBSCAN<D, T>::neighbourhood(size_t index, std::vector<Item>& out) const {
    return kdtree.radiusSearchIndex(search_radius, out, false, index);
}

template <int D, typename T>
void DBSCAN<D, T>::generateClustersMultiThread(const std::vector<KDPoint<D, T>>& points,
                                               std::vector<std::vector<size_t>>& clusters,
                                               std::vector<std::vector<T>>& boxes,
                                               unsigned char n_jobs) {
    if (n_jobs == 0) throw std::runtime_error("n_jobs must be greater than 0");
    kdtree.build(points, 1);
    if (n_jobs == 1) {
        generateClustersPrivate(clusters, boxes);
    } else {
        generateClustersMultiThreadPrivate(clusters, boxes, n_jobs);
    }
}

template <int D, typename T>
void DBSCAN<D, T>::generateClustersPrivate(std::vector<std::vector<size_t>>& clusters,
                                           std::vector<std::vector<T>>& boxes) {
    const size_t n = kdtree.getPointsCount();
    clusters.clear();
    boxes.clear();
    clusters.reserve(n / static_cast<size_t>(min_pts));
    boxes.reserve(n / static_cast<size_t>(min_pts));

    visited.assign(n, kUnseen);
    seeds.clear();
    neighbours.clear();
    seeds.reserve(n / 100);
    neighbours.reserve(n / 100);

    std::vector<T> lo(D), hi(D);
    for (size_t f = 0; f < n; ++f) {
        if (visited[f] != kUnseen) continue;
        if (!isCore(neighbourhood(f, seeds))) {
            // Left unvisited: a later cluster may still take it as a border point.
            visited[f] = kSearchedNotCore;
            continue;
        }
        visited[f] = kVisited;
        std::vector<size_t> members;
        members.reserve(seeds.size());
        members.push_back(f);
        startBox(lo, hi, kdtree.getPoint(f));

        while (!seeds.empty()) {
            const size_t v = seeds.back().first;
            seeds.pop_back();
            const uint8_t state = visited[v];
            if (state == kVisited) continue;
            visited[v] = kVisited;
            // A point already found not to be core adds no seeds: no second search.
            if (state == kUnseen && isCore(neighbourhood(v, neighbours))) {
                for (const Item& item : neighbours) {
                    if (visited[item.first] != kVisited) seeds.push_back(item);
                }
            }
            members.push_back(v);
            widenBox(lo, hi, kdtree.getPoint(v));
        }
        clusters.push_back(std::move(members));
        boxes.push_back(finishBox<D, T>(lo, hi));
    }
}

template <int D, typename T>
size_t DBSCAN<D, T>::findRoot(size_t index) {
    size_t root = index;
    while (parent[root] != root) root = parent[root];
    while (parent[index] != root) {
        const size_t next = parent[index];
        parent[index] = root;
        index = next;
    }
    return root;
}

template <int D, typename T>
size_t DBSCAN<D, T>::findRootConcurrent(size_t index) {
    // Path halving with compare-and-swap: another worker may link a root at any moment, so
    // every step re-reads, and a failed swap only means someone else shortened the path.
    for (;;) {
        std::atomic_ref<size_t> link(parent[index]);
        size_t up = link.load(std::memory_order_acquire);
        if (up == index) return index;
        const size_t upper = std::atomic_ref<size_t>(parent[up]).load(std::memory_order_acquire);
        if (upper != up) link.compare_exchange_weak(up, upper, std::memory_order_acq_rel);
        index = upper;
    }
}

template <int D, typename T>
void DBSCAN<D, T>::uniteConcurrent(size_t a, size_t b) {
    // Roots are always linked from the higher index to the lower one, so links never form a
    // cycle whatever the interleaving; a lost race is retried from the new roots.
    for (;;) {
        a = findRootConcurrent(a);
        b = findRootConcurrent(b);
        if (a == b) return;
        if (a < b) std::swap(a, b);
        size_t expected = a;
        if (std::atomic_ref<size_t>(parent[a]).compare_exchange_strong(expected, b, std::memory_order_acq_rel)) {
            return;
        }
    }
}

template <int D, typename T>
void DBSCAN<D, T>::thouroughSearch(size_t worker) {
    std::vector<Item>& found = worker_neighbours[worker];
    // Points are taken in the tree's storage order, a chunk at a time: consecutive points
    // are neighbours in space, so each worker's searches walk memory that is already cached.
    const std::vector<size_t>& order = kdtree.getTreeOrder();
    const size_t n = order.size();
    for (;;) {
        const uint64_t start = next_index.fetch_add(kSearchChunk, std::memory_order_relaxed);
        if (start >= n) break;
        const size_t end = std::min(n, static_cast<size_t>(start) + kSearchChunk);
        for (size_t position = static_cast<size_t>(start); position < end; ++position) {
            const size_t i = order[position];
            if (!isCore(neighbourhood(i, found))) continue;
            is_core[i] = 1;
            // Every neighbour of a core point joins its component, core or not, so a border
            // point touching two groups joins them into one cluster.
            size_t root = findRootConcurrent(i);
            for (const Item& item : found) {
                if (item.first == i || findRootConcurrent(item.first) == root) continue;
                uniteConcurrent(i, item.first);
                root = findRootConcurrent(i);
            }
        }
    }
}

template <int D, typename T>
void DBSCAN<D, T>::generateClustersMultiThreadPrivate(std::vector<std::vector<size_t>>& clusters,
                                                      std::vector<std::vector<T>>& boxes,
                                                      unsigned char n_jobs) {
    const size_t n = kdtree.getPointsCount();
    clusters.clear();
    boxes.clear();
    if (worker_neighbours.size() < n_jobs) worker_neighbours.resize(n_jobs);
    is_core.assign(n, 0);
    parent.resize(n);
    for (size_t i = 0; i < n; ++i) parent[i] = i;
    next_index.store(0);

    {
        std::vector<std::thread> threads;
        threads.reserve(n_jobs);
        for (size_t w = 0; w < n_jobs; ++w) threads.emplace_back(&DBSCAN::thouroughSearch, this, w);
        for (std::thread& t : threads) t.join();
    }

    // A component is a cluster when it holds a core point; clusters are numbered in the order
    // of their first core point. Each point's root is kept in `parent` for the output pass.
    cluster_of_root.assign(n, kNoCluster);
    component_size.assign(n, 0);
    for (size_t i = 0; i < n; ++i) {
        const size_t root = findRoot(i);
        parent[i] = root;
        ++component_size[root];
        if (is_core[i] && cluster_of_root[root] == kNoCluster) {
            cluster_of_root[root] = clusters.size();
            clusters.emplace_back();
        }
    }
    for (size_t i = 0; i < n; ++i) {
        const size_t c = cluster_of_root[i];
        if (c != kNoCluster) clusters[c].reserve(component_size[i]);
    }

    // One pass over the points fills every cluster in ascending index order.
    std::vector<std::vector<T>> lo(clusters.size(), std::vector<T>(D));
    std::vector<std::vector<T>> hi(clusters.size(), std::vector<T>(D));
    for (size_t i = 0; i < n; ++i) {
        const size_t c = cluster_of_root[parent[i]];
        if (c == kNoCluster) continue;
        if (clusters[c].empty()) {
            startBox(lo[c], hi[c], kdtree.getPoint(i));
        } else {
            widenBox(lo[c], hi[c], kdtree.getPoint(i));
        }
        clusters[c].push_back(i);
    }
    boxes.reserve(clusters.size());
    for (size_t c = 0; c < clusters.size(); ++c) boxes.push_back(finishBox<D, T>(lo[c], hi[c]));
}

template class DBSCAN<2, float>;
template class DBSCAN<2, double>;
template class DBSCAN<3, float>;
template class DBSCAN<3, double>;

}  // namespace vireo
