// Grid-centre ordering: outline corners from the convex hull, the origin corner and the row
// direction, the homography onto the ideal grid, and the nearest centre of every cell.
#include <vireo/GridLocatorUtils.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <vireo/KDTree.h>

namespace vireo {

namespace {

bool isFinite(const cv::Point2f& p) { return std::isfinite(p.x) && std::isfinite(p.y); }

double distanceToLine(const cv::Point2f& p, const cv::Point2f& a, const cv::Point2f& b) {
    const double ux = static_cast<double>(b.x) - a.x;
    const double uy = static_cast<double>(b.y) - a.y;
    const double length = std::sqrt(ux * ux + uy * uy);
    if (length == 0.0) return std::hypot(static_cast<double>(p.x) - a.x, static_cast<double>(p.y) - a.y);
    return std::abs((static_cast<double>(p.x) - a.x) * uy - (static_cast<double>(p.y) - a.y) * ux) / length;
}

}  // namespace

GridLocatorUtils::GridLocatorUtils(int grid_cols_, int grid_rows_, float spacing_, bool is_asymmetric_)
    : grid_cols(grid_cols_), grid_rows(grid_rows_), spacing(spacing_), is_asymmetric(is_asymmetric_) {
    if (grid_cols < 2 || grid_rows < 2) throw std::invalid_argument("Grid dimensions must be at least 2x2");
    if (!(spacing > 0.0f)) throw std::invalid_argument("Grid spacing must be greater than 0");
    if (!std::isfinite(spacing)) throw std::invalid_argument("Grid spacing must be a finite number");
}

cv::Point2f GridLocatorUtils::idealPosition(int col, int row) const {
    if (is_asymmetric) return {static_cast<float>(2 * col + row % 2) * spacing, static_cast<float>(row) * spacing};
    return {static_cast<float>(col) * spacing, static_cast<float>(row) * spacing};
}

bool GridLocatorUtils::sortGridCenters(const std::vector<cv::Point2f>& centers, std::vector<cv::Point2f>& out) {
    const size_t k = static_cast<size_t>(cornerCount());
    if (centers.size() < k) return false;
    if (!std::all_of(centers.begin(), centers.end(), isFinite)) return false;

    std::vector<cv::Point2f> hull;
    cv::convexHull(centers, hull, false, true);
    if (hull.size() < k) return false;

    std::vector<cv::Point2f> corners;
    findCorners(hull, corners);
    if (corners.size() != k) return false;

    std::vector<cv::Point2f> outside;
    if (is_asymmetric) {
        findOutsideCorners(corners, outside);
        if (outside.size() != 2) return false;
    }

    std::vector<cv::Point2f> sorted;
    getSortedCorners(hull, centers, corners, outside, sorted);
    if (sorted.size() != k) return false;

    std::vector<cv::Point2f> mapped;
    rectifyGridCenters(centers, sorted, mapped);
    if (mapped.size() != centers.size()) return false;

    return parseGridCenters(centers, mapped, out);
}

void GridLocatorUtils::findCorners(const std::vector<cv::Point2f>& hull, std::vector<cv::Point2f>& corners) {
    corners.clear();
    const int n = static_cast<int>(hull.size());
    const int k = cornerCount();
    if (n < k) return;
    // The cosine of the angle at each vertex: near 1 at a sharp corner, near -1 on a straight
    // run of the outline.
    cv::Mat cosines(n, 1, CV_32F);
    for (int i = 0; i < n; ++i) {
        const cv::Point2f& p = hull[static_cast<size_t>(i)];
        const cv::Point2f& next = hull[static_cast<size_t>((i + 1) % n)];
        const cv::Point2f& prev = hull[static_cast<size_t>((i + n - 1) % n)];
        const double ax = static_cast<double>(next.x) - p.x, ay = static_cast<double>(next.y) - p.y;
        const double bx = static_cast<double>(prev.x) - p.x, by = static_cast<double>(prev.y) - p.y;
        const double norms = std::sqrt(ax * ax + ay * ay) * std::sqrt(bx * bx + by * by);
        cosines.at<float>(i) = norms > 0.0 ? static_cast<float>((ax * bx + ay * by) / norms) : -1.0f;
    }
    cv::Mat sorted_indices;
    cv::sortIdx(cosines, sorted_indices, cv::SORT_EVERY_COLUMN | cv::SORT_DESCENDING);
    CV_Assert(sorted_indices.type() == CV_32SC1);
    CV_Assert(sorted_indices.cols == 1);
    cv::Mat sharpest;
    cv::sort(sorted_indices.rowRange(0, k), sharpest, cv::SORT_EVERY_COLUMN | cv::SORT_ASCENDING);
    for (int j = 0; j < k; ++j) corners.push_back(hull[static_cast<size_t>(sharpest.at<int>(j))]);
}

void GridLocatorUtils::findOutsideCorners(const std::vector<cv::Point2f>& corners, std::vector<cv::Point2f>& outside) {
    outside.clear();
    const int n = static_cast<int>(corners.size());
    if (n != 6) return;
    std::vector<cv::Point2f> directions(static_cast<size_t>(n));
    for (int j = 0; j < n; ++j) {
        const cv::Point2f& a = corners[static_cast<size_t>(j)];
        const cv::Point2f& b = corners[static_cast<size_t>((j + 1) % n)];
        const double dx = static_cast<double>(b.x) - a.x, dy = static_cast<double>(b.y) - a.y;
        const double length = std::sqrt(dx * dx + dy * dy);
        directions[static_cast<size_t>(j)] =
            length > 0.0 ? cv::Point2f(static_cast<float>(dx / length), static_cast<float>(dy / length))
                         : cv::Point2f(0.0f, 0.0f);
    }
    // How parallel every pair of outline edges is.
    cv::Mat parallel = cv::Mat::zeros(n, n, CV_32F);
    for (int j = 0; j < n; ++j) {
        for (int m = j + 1; m < n; ++m) {
            const float value = std::abs(directions[static_cast<size_t>(j)].dot(directions[static_cast<size_t>(m)]));
            parallel.at<float>(j, m) = value;
            parallel.at<float>(m, j) = value;
        }
    }
    cv::Point location;
    cv::minMaxLoc(parallel, nullptr, nullptr, nullptr, &location);
    int x = location.x;
    int y = location.y;
    if (std::abs(x - y) == 3) {
        // Opposite edges of the hexagon are parallel on any such target: look for the pair
        // that is parallel across one edge.
        parallel.row(x).setTo(0.0f);
        parallel.row(y).setTo(0.0f);
        parallel.col(x).setTo(0.0f);
        parallel.col(y).setTo(0.0f);
        cv::minMaxLoc(parallel, nullptr, nullptr, nullptr, &location);
        x = location.x;
        y = location.y;
    }
    int hi = std::max(x, y);
    int lo = std::min(x, y);
    if (hi - lo == 4) {
        const int wrapped = n + lo;
        lo = hi;
        hi = wrapped;
    }
    if (hi - lo == n - 4) {
        const int middle = (lo + hi) / 2;
        outside.push_back(corners[static_cast<size_t>(middle % n)]);
        outside.push_back(corners[static_cast<size_t>((middle + 1) % n)]);
    }
}

void GridLocatorUtils::getSortedCorners(const std::vector<cv::Point2f>& hull, const std::vector<cv::Point2f>& centers,
                                        const std::vector<cv::Point2f>& corners,
                                        const std::vector<cv::Point2f>& outside, std::vector<cv::Point2f>& sorted) {
    sorted.clear();
    if (corners.empty()) return;
    cv::Point2f start;
    if (!is_asymmetric) {
        start = corners.front();
        double best = std::hypot(static_cast<double>(start.x), static_cast<double>(start.y));
        for (const cv::Point2f& c : corners) {
            const double distance = std::hypot(static_cast<double>(c.x), static_cast<double>(c.y));
            if (distance < best) {
                best = distance;
                start = c;
            }
        }
    } else {
        if (outside.size() != 2) return;
        cv::Point2f mean(0.0f, 0.0f);
        for (const cv::Point2f& c : corners) mean += c;
        mean *= 1.0f / static_cast<float>(corners.size());
        const cv::Point2f u = outside[0] - mean;
        const cv::Point2f w = outside[1] - mean;
        start = (u.x * w.y - u.y * w.x > 0.0f) ? outside[1] : outside[0];
    }

    const auto start_it = std::find(hull.begin(), hull.end(), start);
    if (start_it == hull.end()) return;
    const size_t first = static_cast<size_t>(start_it - hull.begin());
    for (size_t step = 0; step < hull.size(); ++step) {
        const cv::Point2f& p = hull[(first + step) % hull.size()];
        if (std::find(corners.begin(), corners.end(), p) != corners.end()) sorted.push_back(p);
    }

    if (!is_asymmetric && sorted.size() == 4) {
        // The first outline edge must run along a row: compare how many centres lie on the
        // first and on the second edge.
        const cv::Point2f c0 = sorted[0], c1 = sorted[1], c2 = sorted[2];
        const double t = std::min(cv::norm(c0 - c1), cv::norm(c1 - c2)) / std::min(grid_cols, grid_rows) * 0.5;
        size_t count1 = 0, count2 = 0;
        for (const cv::Point2f& p : centers) {
            if (distanceToLine(p, c0, c1) < t) ++count1;
            if (distanceToLine(p, c1, c2) < t) ++count2;
        }
        const bool keep = count1 == count2 || (count1 > count2 && grid_rows <= grid_cols) ||
                          (count2 > count1 && grid_cols <= grid_rows);
        if (!keep) std::rotate(sorted.begin(), sorted.begin() + 1, sorted.end());
    }
}

void GridLocatorUtils::rectifyGridCenters(const std::vector<cv::Point2f>& centers,
                                          const std::vector<cv::Point2f>& sorted, std::vector<cv::Point2f>& mapped) {
    mapped.clear();
    std::vector<cv::Point2f> ideal;
    if (is_asymmetric) {
        ideal = {idealPosition(0, 0),
                 idealPosition(grid_cols - 1, 0),
                 idealPosition(grid_cols - 1, 1),
                 idealPosition(grid_cols - 1, grid_rows - 2),
                 idealPosition(grid_cols - 1, grid_rows - 1),
                 idealPosition(0, grid_rows - 1)};
    } else {
        ideal = {idealPosition(0, 0), idealPosition(grid_cols - 1, 0), idealPosition(grid_cols - 1, grid_rows - 1),
                 idealPosition(0, grid_rows - 1)};
    }
    if (sorted.size() != ideal.size()) return;
    const cv::Mat homography = cv::findHomography(sorted, ideal, 0);
    // Degenerate corners (for example all on one line) give no homography.
    if (homography.empty() || !cv::checkRange(homography)) return;
    cv::Mat homogeneous;
    cv::transform(centers, homogeneous, homography);
    cv::convertPointsFromHomogeneous(homogeneous, mapped);
}

bool GridLocatorUtils::parseGridCenters(const std::vector<cv::Point2f>& centers, const std::vector<cv::Point2f>& mapped,
                                        std::vector<cv::Point2f>& out) {
    std::vector<KDPoint<2, float>> points(mapped.size());
    for (size_t i = 0; i < mapped.size(); ++i) points[i].coords = {mapped[i].x, mapped[i].y};
    KDTree<2, float> tree;
    tree.build(points, 1);

    out.clear();
    out.reserve(static_cast<size_t>(grid_cols) * static_cast<size_t>(grid_rows));
    std::vector<bool> used(mapped.size(), false);
    std::vector<size_t> index(1);
    std::vector<float> squared_distance(1);
    // A cell takes its nearest centre when that lies within 1/sqrt(2) units of the ideal
    // grid; the bound is a squared distance and so scales with the square of the spacing.
    const float bound = 0.5f * spacing * spacing;
    for (int r = 0; r < grid_rows; ++r) {
        for (int c = 0; c < grid_cols; ++c) {
            const cv::Point2f cell = idealPosition(c, r);
            KDPoint<2, float> query;
            query.coords = {cell.x, cell.y};
            if (tree.knnSearchPoint(1, index, squared_distance, query) == 0) {
                out.clear();
                return false;
            }
            const size_t i = index[0];
            out.push_back(centers[i]);
            if (used[i]) {
                out.clear();
                return false;
            }
            used[i] = true;
            if (!(squared_distance[0] <= bound)) {
                out.clear();
                return false;
            }
        }
    }
    return true;
}

}  // namespace vireo
