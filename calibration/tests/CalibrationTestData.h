// Synthetic calibration data for the Lensfit tests: a pinhole camera with known intrinsics
// and distortion, calibration targets laid out by the kit's grid convention (written out
// here on their own, not taken from the Calibrator), deterministic view poses, frames
// rendered with OpenCV at those poses, and event windows on the projected circle outlines.
// Everything is generated from a seed.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <vireo/SharedTypes.h>

namespace vireo::test {

struct PinholeCamera {
    cv::Matx33d camera_matrix;
    cv::Mat dist_coeffs;  // k1, k2, p1, p2, k3
    cv::Size size;
};

// The camera every ground-truth test is measured against.
inline PinholeCamera groundTruthCamera() {
    PinholeCamera camera;
    camera.camera_matrix = cv::Matx33d(905.0, 0.0, 641.3, 0.0, 903.0, 362.7, 0.0, 0.0, 1.0);
    camera.dist_coeffs = (cv::Mat_<double>(1, 5) << -0.12, 0.05, 0.0005, -0.0003, 0.0);
    camera.size = cv::Size(1280, 720);
    return camera;
}

enum class TargetKind { Chessboard, SymmetricCircles, AsymmetricCircles };

// `cols` centres (or inner corners) per row, `rows` rows, `spacing` between neighbours along a
// row (the square size of a chessboard), `radius` of the circles; millimetres.
struct Target {
    TargetKind kind;
    int cols;
    int rows;
    double spacing;
    double radius;
};

inline Target chessboardTarget() { return {TargetKind::Chessboard, 9, 6, 30.0, 0.0}; }
inline Target symmetricCirclesTarget() { return {TargetKind::SymmetricCircles, 7, 5, 40.0, 10.0}; }
inline Target asymmetricCirclesTarget() { return {TargetKind::AsymmetricCircles, 4, 11, 60.0, 9.0}; }

// Centre (c, r) of the target, index r * cols + c. Symmetric: (c, r) * spacing. Asymmetric:
// rows half a pitch apart, odd rows shifted by half a pitch along the row.
inline cv::Point3f targetCentre(const Target& target, int c, int r) {
    if (target.kind == TargetKind::AsymmetricCircles) {
        return {static_cast<float>((c + 0.5 * (r % 2)) * target.spacing), static_cast<float>(r * target.spacing / 2.0),
                0.0f};
    }
    return {static_cast<float>(c * target.spacing), static_cast<float>(r * target.spacing), 0.0f};
}

inline std::vector<cv::Point3f> targetCentres(const Target& target) {
    std::vector<cv::Point3f> centres;
    for (int r = 0; r < target.rows; ++r) {
        for (int c = 0; c < target.cols; ++c) centres.push_back(targetCentre(target, c, r));
    }
    return centres;
}

struct Pose {
    cv::Vec3d rvec;  // world (target) to camera, Rodrigues
    cv::Vec3d tvec;  // millimetres
};

inline std::vector<cv::Point2f> project(const std::vector<cv::Point3f>& points, const Pose& pose,
                                        const PinholeCamera& camera) {
    std::vector<cv::Point2f> image;
    cv::projectPoints(points, pose.rvec, pose.tvec, camera.camera_matrix, camera.dist_coeffs, image);
    return image;
}

// The outline of the target's features in world coordinates: every circle, or for a
// chessboard the squares and the white margin around them.
inline std::vector<cv::Point3f> circleOutline(const cv::Point3f& centre, double radius, int samples) {
    std::vector<cv::Point3f> outline;
    for (int k = 0; k < samples; ++k) {
        const double a = 2.0 * CV_PI * k / samples;
        outline.emplace_back(static_cast<float>(centre.x + radius * std::cos(a)),
                             static_cast<float>(centre.y + radius * std::sin(a)), 0.0f);
    }
    return outline;
}

inline std::vector<cv::Point3f> rectangleOutline(double x0, double y0, double x1, double y1, int samples_per_side) {
    std::vector<cv::Point3f> outline;
    const double xs[4] = {x0, x1, x1, x0}, ys[4] = {y0, y0, y1, y1};
    for (int side = 0; side < 4; ++side) {
        for (int k = 0; k < samples_per_side; ++k) {
            const double t = static_cast<double>(k) / samples_per_side;
            outline.emplace_back(static_cast<float>(xs[side] + t * (xs[(side + 1) % 4] - xs[side])),
                                 static_cast<float>(ys[side] + t * (ys[(side + 1) % 4] - ys[side])), 0.0f);
        }
    }
    return outline;
}

// World-space corners of the area the target covers, margin included.
inline std::vector<cv::Point3f> targetExtent(const Target& target) {
    const std::vector<cv::Point3f> centres = targetCentres(target);
    float x0 = 1e9f, y0 = 1e9f, x1 = -1e9f, y1 = -1e9f;
    for (const cv::Point3f& p : centres) {
        x0 = std::min(x0, p.x), y0 = std::min(y0, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
    }
    const auto margin = static_cast<float>(target.kind == TargetKind::Chessboard ? 1.6 * target.spacing
                                                                                 : 2.0 * target.radius);
    return {{x0 - margin, y0 - margin, 0}, {x1 + margin, y0 - margin, 0}, {x1 + margin, y1 + margin, 0},
            {x0 - margin, y1 + margin, 0}};
}

// `count` poses in which the whole target is in view, 10 % inside the image border, tilted by
// up to `max_tilt_deg` about both image axes and turned by up to 15 degrees, at 550 to 850 mm.
inline std::vector<Pose> viewPoses(const Target& target, const PinholeCamera& camera, int count, unsigned seed,
                                   double max_tilt_deg = 35.0) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const std::vector<cv::Point3f> extent = targetExtent(target);
    const cv::Point3d middle((extent[0].x + extent[2].x) / 2.0, (extent[0].y + extent[2].y) / 2.0, 0.0);
    const double deg = CV_PI / 180.0;
    std::vector<Pose> poses;
    while (static_cast<int>(poses.size()) < count) {
        const cv::Vec3d angles(unit(rng) * max_tilt_deg * deg, unit(rng) * max_tilt_deg * deg, unit(rng) * 15.0 * deg);
        const cv::Matx33d rx(1, 0, 0, 0, std::cos(angles[0]), -std::sin(angles[0]), 0, std::sin(angles[0]),
                             std::cos(angles[0]));
        const cv::Matx33d ry(std::cos(angles[1]), 0, std::sin(angles[1]), 0, 1, 0, -std::sin(angles[1]), 0,
                             std::cos(angles[1]));
        const cv::Matx33d rz(std::cos(angles[2]), -std::sin(angles[2]), 0, std::sin(angles[2]), std::cos(angles[2]), 0,
                             0, 0, 1);
        const cv::Matx33d rotation = rx * ry * rz;
        const double z = 700.0 + 150.0 * unit(rng);
        const cv::Vec3d offset(unit(rng) * 0.18 * z, unit(rng) * 0.1 * z, z);
        Pose pose;
        cv::Rodrigues(rotation, pose.rvec);
        pose.tvec = offset - rotation * cv::Vec3d(middle.x, middle.y, 0.0);
        bool inside = true;
        for (const cv::Point2f& p : project(extent, pose, camera)) {
            inside = inside && p.x > 0.1f * camera.size.width && p.x < 0.9f * camera.size.width &&
                     p.y > 0.1f * camera.size.height && p.y < 0.9f * camera.size.height;
        }
        if (inside) poses.push_back(pose);
    }
    return poses;
}

// The pose of the same target seen by a second camera whose frame is reached from the
// first camera's by x2 = rotation * x1 + translation.
inline Pose poseInSecondCamera(const Pose& pose, const cv::Matx33d& rotation, const cv::Vec3d& translation) {
    cv::Matx33d r1;
    cv::Rodrigues(pose.rvec, r1);
    Pose second;
    cv::Rodrigues(rotation * r1, second.rvec);
    second.tvec = rotation * pose.tvec + translation;
    return second;
}

// Frames are drawn 8 times larger without anti-aliasing and averaged down, over the area
// the target covers: OpenCV's anti-aliased polygons move chessboard corners by about a pixel.
constexpr int kSupersampling = 8;

inline void fillProjected(cv::Mat& big, const cv::Point2f& origin, const std::vector<cv::Point3f>& outline,
                          const Pose& pose, const PinholeCamera& camera) {
    constexpr int kShift = 4;
    // Pixel i of the frame averages big pixels [8i, 8i + 8), whose middle is 8i + 3.5.
    const double centre = (kSupersampling - 1) / 2.0;
    std::vector<cv::Point> polygon;
    for (const cv::Point2f& p : project(outline, pose, camera)) {
        polygon.emplace_back(cvRound(((p.x - origin.x) * kSupersampling + centre) * (1 << kShift)),
                             cvRound(((p.y - origin.y) * kSupersampling + centre) * (1 << kShift)));
    }
    cv::fillPoly(big, std::vector<std::vector<cv::Point>>{polygon}, cv::Scalar(0), cv::LINE_8, kShift);
}

// An 8-bit grey frame of the target at `pose`: black circles or squares on white.
inline cv::Mat renderTarget(const Target& target, const Pose& pose, const PinholeCamera& camera) {
    cv::Mat image(camera.size, CV_8UC1, cv::Scalar(255));
    const cv::Rect area = (cv::boundingRect(project(targetExtent(target), pose, camera)) + cv::Size(4, 4) -
                           cv::Point(2, 2)) &
                          cv::Rect(cv::Point(0, 0), camera.size);
    if (area.empty()) return image;
    cv::Mat big(area.height * kSupersampling, area.width * kSupersampling, CV_8UC1, cv::Scalar(255));
    const cv::Point2f origin(static_cast<float>(area.x), static_cast<float>(area.y));
    if (target.kind == TargetKind::Chessboard) {
        const double s = target.spacing;
        for (int j = -1; j < target.rows; ++j) {
            for (int i = -1; i < target.cols; ++i) {
                if (((i + j) & 1) != 0) continue;
                fillProjected(big, origin, rectangleOutline(i * s, j * s, (i + 1) * s, (j + 1) * s, 16), pose, camera);
            }
        }
    } else {
        for (const cv::Point3f& centre : targetCentres(target)) {
            fillProjected(big, origin, circleOutline(centre, target.radius, 128), pose, camera);
        }
    }
    cv::Mat small;
    cv::resize(big, small, area.size(), 0, 0, cv::INTER_AREA);
    small.copyTo(image(area));
    return image;
}

// One event window of `duration_us` from `start_us`: `per_circle` events on every projected
// circle outline (Gaussian position noise of `sigma` pixels, rounded to pixels, random
// polarity) and `noise` events anywhere on the sensor, in time order.
inline std::vector<Event2D> circleOutlineEvents(const Target& target, const Pose& pose, const PinholeCamera& camera,
                                                int per_circle, int noise, double sigma, unsigned seed,
                                                uint64_t start_us = 0, uint64_t duration_us = 100000) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> angle(0.0, 2.0 * CV_PI);
    std::normal_distribution<double> jitter(0.0, sigma);
    std::uniform_int_distribution<uint64_t> when(start_us, start_us + duration_us - 1);
    std::uniform_int_distribution<int> polarity(0, 1);
    std::vector<Event2D> events;
    std::vector<cv::Point3f> outline;
    for (const cv::Point3f& centre : targetCentres(target)) {
        outline.clear();
        for (int k = 0; k < per_circle; ++k) {
            const double a = angle(rng);
            outline.emplace_back(static_cast<float>(centre.x + target.radius * std::cos(a)),
                                 static_cast<float>(centre.y + target.radius * std::sin(a)), 0.0f);
        }
        for (const cv::Point2f& p : project(outline, pose, camera)) {
            const long x = std::lround(p.x + jitter(rng));
            const long y = std::lround(p.y + jitter(rng));
            if (x < 0 || y < 0 || x >= camera.size.width || y >= camera.size.height) continue;
            events.emplace_back(static_cast<uint16_t>(x), static_cast<uint16_t>(y),
                                static_cast<uint8_t>(polarity(rng)), when(rng));
        }
    }
    std::uniform_int_distribution<int> column(0, camera.size.width - 1), row(0, camera.size.height - 1);
    for (int k = 0; k < noise; ++k) {
        events.emplace_back(static_cast<uint16_t>(column(rng)), static_cast<uint16_t>(row(rng)),
                            static_cast<uint8_t>(polarity(rng)), when(rng));
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const Event2D& a, const Event2D& b) { return a.timestamp < b.timestamp; });
    return events;
}

// Largest distance between corresponding points; the second form also accepts the whole
// list reversed (a target whose layout looks the same turned by half a turn).
inline double maxDistance(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b) {
    if (a.size() != b.size()) return 1e9;
    double worst = 0.0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, static_cast<double>(cv::norm(a[i] - b[i])));
    return worst;
}

inline double maxDistanceUpToHalfTurn(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b) {
    std::vector<cv::Point2f> reversed(b.rbegin(), b.rend());
    return std::min(maxDistance(a, b), maxDistance(a, reversed));
}

}  // namespace vireo::test
