// Test support for the clustering suites: deterministic point and event sets (blobs plus
// uniform noise, from a seed) and brute-force references for neighbourhoods and DBSCAN.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <vector>

#include <vireo/KDTree.h>
#include <vireo/SharedTypes.h>

namespace vireo::testing {

template <int D, typename T>
KDPoint<D, T> pt(T a, T b, T c = T(0)) {
    KDPoint<D, T> p;
    p.coords[0] = a;
    p.coords[1] = b;
    if constexpr (D == 3) p.coords[2] = c;
    return p;
}

// `blobs` Gaussian blobs of `per_blob` points (spread `sigma`) with centres uniform in
// [0, extent)^D, plus `noise` uniform points; order shuffled. Deterministic from `seed`.
template <int D, typename T>
std::vector<KDPoint<D, T>> blobsWithNoise(uint32_t seed, int blobs, int per_blob, double sigma, int noise,
                                          double extent) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uniform(0.0, extent);
    std::normal_distribution<double> normal(0.0, sigma);
    std::vector<KDPoint<D, T>> points;
    for (int b = 0; b < blobs; ++b) {
        double centre[D];
        for (int d = 0; d < D; ++d) centre[d] = uniform(rng);
        for (int i = 0; i < per_blob; ++i) {
            KDPoint<D, T> p;
            for (int d = 0; d < D; ++d) p.coords[d] = static_cast<T>(centre[d] + normal(rng));
            points.push_back(p);
        }
    }
    for (int i = 0; i < noise; ++i) {
        KDPoint<D, T> p;
        for (int d = 0; d < D; ++d) p.coords[d] = static_cast<T>(uniform(rng));
        points.push_back(p);
    }
    std::shuffle(points.begin(), points.end(), rng);
    return points;
}

// Squared distance computed the way the tree computes it (in T).
template <int D, typename T>
T squaredDistance(const KDPoint<D, T>& a, const KDPoint<D, T>& b) {
    T sum = T(0);
    for (int d = 0; d < D; ++d) {
        const T diff = a.coords[d] - b.coords[d];
        sum += diff * diff;
    }
    return sum;
}

// Brute-force neighbourhoods: every j with squared distance strictly below eps^2 (in T).
template <int D, typename T>
std::vector<std::vector<size_t>> bruteNeighbourhoods(const std::vector<KDPoint<D, T>>& points, double eps) {
    const T r2 = static_cast<T>(eps) * static_cast<T>(eps);
    std::vector<std::vector<size_t>> result(points.size());
    for (size_t i = 0; i < points.size(); ++i) {
        for (size_t j = 0; j < points.size(); ++j) {
            if (squaredDistance(points[i], points[j]) < r2) result[i].push_back(j);
        }
    }
    return result;
}

// Reference DBSCAN: core points joined through core neighbours; a border point is attached
// to the component(s) of the core points it neighbours. `ambiguous` tells whether some border
// point touches two components (the two library paths may then legitimately differ).
struct ReferenceClustering {
    std::set<std::set<size_t>> core_groups;           // core members of each cluster
    std::map<size_t, std::set<size_t>> border_groups;  // border point -> component ids it touches
    std::vector<long> component_of;                    // component id per core point, -1 otherwise
    bool ambiguous = false;
};

template <int D, typename T>
ReferenceClustering referenceDbscan(const std::vector<KDPoint<D, T>>& points, double eps, int min_pts) {
    const auto nb = bruteNeighbourhoods(points, eps);
    const size_t n = points.size();
    std::vector<bool> core(n);
    for (size_t i = 0; i < n; ++i) core[i] = nb[i].size() >= static_cast<size_t>(std::max(min_pts, 1));
    ReferenceClustering ref;
    ref.component_of.assign(n, -1);
    long next = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!core[i] || ref.component_of[i] >= 0) continue;
        std::vector<size_t> stack{i};
        ref.component_of[i] = next;
        std::set<size_t> group;
        while (!stack.empty()) {
            const size_t v = stack.back();
            stack.pop_back();
            group.insert(v);
            for (size_t j : nb[v]) {
                if (core[j] && ref.component_of[j] < 0) {
                    ref.component_of[j] = next;
                    stack.push_back(j);
                }
            }
        }
        ref.core_groups.insert(group);
        ++next;
    }
    for (size_t i = 0; i < n; ++i) {
        if (core[i]) continue;
        std::set<size_t> touching;
        for (size_t j : nb[i]) {
            if (core[j]) touching.insert(static_cast<size_t>(ref.component_of[j]));
        }
        if (!touching.empty()) ref.border_groups[i] = touching;
        if (touching.size() > 1) ref.ambiguous = true;
    }
    return ref;
}

inline std::set<std::set<size_t>> asSets(const std::vector<std::vector<size_t>>& clusters) {
    std::set<std::set<size_t>> result;
    for (const auto& c : clusters) result.insert(std::set<size_t>(c.begin(), c.end()));
    return result;
}

// Events of `blobs` square blobs of pixels (side `side`) plus uniform noise on a sensor,
// timestamps increasing by `dt_us`. Deterministic from `seed`.
inline std::vector<Event2D> eventBlobs(uint32_t seed, int blobs, int per_blob, int side, int noise, int width,
                                       int height, uint64_t dt_us = 1) {
    std::mt19937 rng(seed);
    std::vector<Event2D> events;
    uint64_t t = 0;
    std::uniform_int_distribution<int> cx(0, width - side - 1), cy(0, height - side - 1), off(0, side - 1),
        pol(0, 1), nx(0, width - 1), ny(0, height - 1);
    for (int b = 0; b < blobs; ++b) {
        const int x0 = cx(rng), y0 = cy(rng);
        for (int i = 0; i < per_blob; ++i) {
            events.emplace_back(static_cast<uint16_t>(x0 + off(rng)), static_cast<uint16_t>(y0 + off(rng)),
                                static_cast<uint8_t>(pol(rng)), t);
            t += dt_us;
        }
    }
    for (int i = 0; i < noise; ++i) {
        events.emplace_back(static_cast<uint16_t>(nx(rng)), static_cast<uint16_t>(ny(rng)),
                            static_cast<uint8_t>(pol(rng)), t);
        t += dt_us;
    }
    return events;
}

}  // namespace vireo::testing
