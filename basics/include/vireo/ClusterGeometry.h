// The record every cluster generator reports a cluster in (a rectangle in sensor pixels, an
// optional time span, two integers for the caller and the time stamp of the run), and the
// matcher that pairs the clusters of two runs by centre distance and size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_set>
#include <vector>

#include <opencv2/core/types.hpp>

#include <vireo/basics_export.h>

namespace vireo {

struct BASICS_EXPORT ClusterGeometry {
    float x = 0.0f;            // top-left corner, pixels
    float y = 0.0f;
    uint64_t start_time = 0;   // first timestamp, microseconds; 0 without time extent
    float width = 0.0f;        // pixels
    float height = 0.0f;
    uint64_t duration = 0;     // time span, microseconds; 0 without time extent
    int32_t id = -1;           // -1 when not assigned
    int32_t count = 0;
    uint64_t timestamp = 0;    // time stamp passed to the run that produced the record

    // id -1, count 0, timestamp 0; the geometry is zero until the caller assigns it.
    ClusterGeometry() = default;
    ClusterGeometry(const cv::Rect_<float>& rect, size_t timestamp);
    // `a` becomes id and `b` count, each converted to a signed 32-bit value.
    ClusterGeometry(const cv::Rect_<float>& rect, size_t a, size_t b, size_t timestamp);
    ClusterGeometry(float x, float y, float width, float height, size_t timestamp);
    ClusterGeometry(float x, float y, float width, float height, int id, int count, size_t timestamp);
    ClusterGeometry(float x, float y, size_t start_time, float width, float height, size_t duration,
                    int id, int count, size_t timestamp);

    // (x, y, width, height).
    cv::Rect_<float> get2DBoundingBox() const { return {x, y, width, height}; }
    // width * height, square pixels.
    float getArea() const { return width * height; }
    // width / height: infinity for a zero height, NaN when both are 0.
    float getAspectRatio() const { return width / height; }
    // Centre of the rectangle, pixels.
    cv::Point_<float> getCenter() const { return {x + width * 0.5f, y + height * 0.5f}; }
};

// Pairs the clusters of two runs. Candidates are pairs whose centres lie strictly closer than
// the distance limit; they are tried in order of increasing centre distance, and a pair is
// accepted when neither cluster is already paired and their widths and their heights each
// differ by at most the size tolerance. Each accepted pair goes to the callback.
class BASICS_EXPORT DistanceBasedClusterMatcher {
public:
    using MatchCallback = std::function<void(ClusterGeometry&, ClusterGeometry&, int)>;

    // `max_distance`: centre distance limit, pixels (stored squared). `max_size_difference`:
    // largest accepted difference of widths and of heights, pixels. No checks: a negative
    // size tolerance refuses every pair.
    DistanceBasedClusterMatcher(float max_distance, float max_size_difference);
    DistanceBasedClusterMatcher(const DistanceBasedClusterMatcher&) = default;
    DistanceBasedClusterMatcher& operator=(const DistanceBasedClusterMatcher&) = default;

    // Replaces the callback with a copy of `callback` (an empty function removes it).
    void setDetectedMatchCallback(const MatchCallback& callback);

    // Pairs clusters of `first` with clusters of `second`. Candidate pairs have a squared
    // centre distance below the squared limit; they are tried by increasing distance (ties:
    // lower index in `first`, then in `second`), each cluster is paired at most once, and
    // every accepted pair (cluster of `first`, cluster of `second`) is passed to the callback
    // with `tag` unchanged. Returns the number of accepted pairs. The clusters are passed by
    // reference so that the callback may update them (for example copy an id across).
    size_t matchClusters(std::vector<ClusterGeometry>& first, std::vector<ClusterGeometry>& second,
                         int tag);

    float getMaxDistanceSquared() const { return max_distance_squared; }
    float getMaxSizeDifference() const { return max_size_difference; }

private:
    friend struct DistanceBasedClusterMatcherTestAccess;

    // The acceptance test of one candidate pair; clusters are identified by address.
    bool tryClusterAssociation(std::unordered_set<ClusterGeometry*>& matched, ClusterGeometry& first,
                               ClusterGeometry& second, int tag);

    // One candidate pair: indices into the two runs and the squared centre distance.
    struct Candidate {
        int32_t first_index;
        int32_t second_index;
        double distance_squared;
    };

    float max_distance_squared;
    float max_size_difference;
    MatchCallback match_callback;
    std::vector<Candidate> candidates;  // scratch of matchClusters, reused between calls
};

}  // namespace vireo
