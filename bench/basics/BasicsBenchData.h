// Event-like benchmark data for the clustering library: Gaussian blobs plus 10 % uniform
// noise, with the point density kept the same at every size (the area or volume grows with
// the point count), deterministic from a fixed seed. The comparison script reads the very same
// points from the files `bench_basics --dump-points=DIR` writes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <vireo/KDTree.h>
#include <vireo/SharedTypes.h>

namespace vireo::bench {

// DBSCAN parameters matched to the data's density: about 30 neighbours at a blob centre and
// fewer than one for noise.
inline double benchEps(int dims) { return dims == 2 ? 1.5 : 3.0; }
inline int benchMinPts() { return 10; }
inline size_t benchK() { return 16; }

// Coordinates, D per point, row after row.
inline std::vector<float> benchCoordinates(int dims, size_t n) {
    std::mt19937 rng(20240611u + static_cast<uint32_t>(n) + static_cast<uint32_t>(dims));
    const size_t per_blob = 1800;
    const size_t noise = n / 10;
    const size_t blob_points = n - noise;
    // Side of the square (cube) that keeps the noise density fixed.
    const double side = dims == 2 ? std::sqrt(2.0 * static_cast<double>(n))
                                  : std::cbrt(20.0 * static_cast<double>(n));
    const double sigma = 8.0;
    std::uniform_real_distribution<double> uniform(0.0, side);
    std::normal_distribution<double> normal(0.0, sigma);
    std::vector<float> coords;
    coords.reserve(n * static_cast<size_t>(dims));
    double centre[3] = {0, 0, 0};
    for (size_t i = 0; i < blob_points; ++i) {
        if (i % per_blob == 0) {
            for (int d = 0; d < dims; ++d) centre[d] = uniform(rng);
        }
        for (int d = 0; d < dims; ++d) coords.push_back(static_cast<float>(centre[d] + normal(rng)));
    }
    for (size_t i = 0; i < noise; ++i) {
        for (int d = 0; d < dims; ++d) coords.push_back(static_cast<float>(uniform(rng)));
    }
    // Interleave blobs and noise as a sensor would: shuffle whole points.
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<float> shuffled(coords.size());
    for (size_t i = 0; i < n; ++i) {
        for (int d = 0; d < dims; ++d) {
            shuffled[i * static_cast<size_t>(dims) + static_cast<size_t>(d)] =
                coords[order[i] * static_cast<size_t>(dims) + static_cast<size_t>(d)];
        }
    }
    return shuffled;
}

template <int D, typename T>
std::vector<KDPoint<D, T>> benchPoints(size_t n) {
    const std::vector<float> coords = benchCoordinates(D, n);
    std::vector<KDPoint<D, T>> points(n);
    for (size_t i = 0; i < n; ++i) {
        for (int d = 0; d < D; ++d) points[i].coords[d] = static_cast<T>(coords[i * D + static_cast<size_t>(d)]);
    }
    return points;
}

// Events on a 1280 x 720 sensor: blobs of activity (squares of 24 pixels) plus 10 % noise,
// one microsecond apart.
inline std::vector<Event2D> benchEvents(size_t n) {
    std::mt19937 rng(777u + static_cast<uint32_t>(n));
    std::uniform_int_distribution<int> bx(0, 1280 - 25), by(0, 720 - 25), off(0, 23), pol(0, 1), nx(0, 1279),
        ny(0, 719);
    std::vector<Event2D> events;
    events.reserve(n);
    const size_t noise = n / 10;
    const size_t per_blob = 2000;
    int x0 = 0, y0 = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i < n - noise) {
            if (i % per_blob == 0) {
                x0 = bx(rng);
                y0 = by(rng);
            }
            events.emplace_back(static_cast<uint16_t>(x0 + off(rng)), static_cast<uint16_t>(y0 + off(rng)),
                                static_cast<uint8_t>(pol(rng)), i);
        } else {
            events.emplace_back(static_cast<uint16_t>(nx(rng)), static_cast<uint16_t>(ny(rng)),
                                static_cast<uint8_t>(pol(rng)), i);
        }
    }
    std::shuffle(events.begin(), events.end(), rng);
    for (size_t i = 0; i < n; ++i) events[i].timestamp = i;
    return events;
}

}  // namespace vireo::bench
