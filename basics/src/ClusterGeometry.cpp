// ClusterGeometry's constructors and the distance-based matcher's pairing of two runs.
#include <vireo/ClusterGeometry.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace vireo {

ClusterGeometry::ClusterGeometry(const cv::Rect_<float>& rect, size_t timestamp_)
    : x(rect.x), y(rect.y), width(rect.width), height(rect.height), timestamp(timestamp_) {}

ClusterGeometry::ClusterGeometry(const cv::Rect_<float>& rect, size_t a, size_t b, size_t timestamp_)
    : x(rect.x),
      y(rect.y),
      width(rect.width),
      height(rect.height),
      id(static_cast<int32_t>(a)),
      count(static_cast<int32_t>(b)),
      timestamp(timestamp_) {}

ClusterGeometry::ClusterGeometry(float x_, float y_, float width_, float height_, size_t timestamp_)
    : x(x_), y(y_), width(width_), height(height_), timestamp(timestamp_) {}

ClusterGeometry::ClusterGeometry(float x_, float y_, float width_, float height_, int id_, int count_,
                                 size_t timestamp_)
    : x(x_), y(y_), width(width_), height(height_), id(id_), count(count_), timestamp(timestamp_) {}

ClusterGeometry::ClusterGeometry(float x_, float y_, size_t start_time_, float width_, float height_,
                                 size_t duration_, int id_, int count_, size_t timestamp_)
    : x(x_),
      y(y_),
      start_time(start_time_),
      width(width_),
      height(height_),
      duration(duration_),
      id(id_),
      count(count_),
      timestamp(timestamp_) {}

DistanceBasedClusterMatcher::DistanceBasedClusterMatcher(float max_distance, float max_size_difference_)
    : max_distance_squared(max_distance * max_distance), max_size_difference(max_size_difference_) {}

void DistanceBasedClusterMatcher::setDetectedMatchCallback(const MatchCallback& callback) {
    match_callback = callback;
}

bool DistanceBasedClusterMatcher::tryClusterAssociation(std::unordered_set<ClusterGeometry*>& matched,
                                                        ClusterGeometry& first, ClusterGeometry& second,
                                                        int tag) {
    if (matched.count(&first) != 0) return false;
    if (matched.count(&second) != 0) return false;
    // Written as "not within" so that a NaN difference is refused as well.
    if (!(std::abs(first.width - second.width) <= max_size_difference)) return false;
    if (!(std::abs(first.height - second.height) <= max_size_difference)) return false;
    matched.insert(&first);
    matched.insert(&second);
    if (match_callback) match_callback(first, second, tag);
    return true;
}

size_t DistanceBasedClusterMatcher::matchClusters(std::vector<ClusterGeometry>& first,
                                                  std::vector<ClusterGeometry>& second, int tag) {
    constexpr size_t kMaxIndex = static_cast<size_t>(std::numeric_limits<int32_t>::max());
    if (first.size() > kMaxIndex || second.size() > kMaxIndex) {
        throw std::invalid_argument("DistanceBasedClusterMatcher: too many clusters to match");
    }
    candidates.clear();
    for (size_t i = 0; i < first.size(); ++i) {
        const cv::Point_<float> a = first[i].getCenter();
        for (size_t j = 0; j < second.size(); ++j) {
            if (&first[i] == &second[j]) continue;  // a run matched against itself
            const cv::Point_<float> b = second[j].getCenter();
            const double dx = static_cast<double>(a.x) - static_cast<double>(b.x);
            const double dy = static_cast<double>(a.y) - static_cast<double>(b.y);
            const double d2 = dx * dx + dy * dy;
            if (d2 < static_cast<double>(max_distance_squared)) {
                candidates.push_back({static_cast<int32_t>(i), static_cast<int32_t>(j), d2});
            }
        }
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& l, const Candidate& r) {
        if (l.distance_squared != r.distance_squared) return l.distance_squared < r.distance_squared;
        if (l.first_index != r.first_index) return l.first_index < r.first_index;
        return l.second_index < r.second_index;
    });
    std::unordered_set<ClusterGeometry*> matched;
    size_t accepted = 0;
    for (const Candidate& c : candidates) {
        if (tryClusterAssociation(matched, first[static_cast<size_t>(c.first_index)],
                                  second[static_cast<size_t>(c.second_index)], tag)) {
            ++accepted;
        }
    }
    return accepted;
}

}  // namespace vireo
