// Test support for the CircleGrid scene: streaming a simulated camera up to a sensor time,
// an independent composition of poses (rotations through quaternions, not the library's
// Rodrigues formula), the projected outline of a circle, and the per-circle statistics of
// the events that fell on it.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include <vireo/SimulatedCamera.h>

#include <vireo/test/SimulatedCameraSupport.h>

namespace vireo::test {

// Unplugs the cameras a test plugged in, whatever happens in the test.
struct PluggedCameras {
    std::vector<std::string> serials;
    std::string plug(const sim::SimulatedCameraConfig& config) {
        serials.push_back(sim::plugCamera(config));
        return serials.back();
    }
    ~PluggedCameras() {
        for (const auto& serial : serials) sim::unplugCamera(serial);
    }
};

// A CircleGrid camera streaming as fast as it is read, without noise.
inline sim::SimulatedCameraConfig circleGridConfig(uint64_t seed = 3) {
    sim::SimulatedCameraConfig config;
    config.scene = sim::SceneType::CircleGrid;
    config.real_time = false;
    config.noise_rate = 0;
    config.seed = seed;
    return config;
}

// The decoded events of an opened camera with timestamps below `until_us` (bounded wait).
inline std::vector<Event2D> streamUntil(OpenedCamera& camera, uint64_t until_us) {
    camera.stream->start();
    startReadout(*camera.device);
    const bool reached = camera.pumpUntil([&] { return !camera.events.empty() && camera.events.back().timestamp >= until_us; });
    stopReadout(*camera.device);
    camera.stream->stop();
    if (!reached) return {};
    std::vector<Event2D> events;
    for (const auto& e : camera.events) {
        if (e.timestamp < until_us) events.push_back(e);
    }
    return events;
}

inline std::vector<Event2D> streamUntil(const sim::SimulatedCameraConfig& config, uint64_t until_us) {
    PluggedCameras plugged;
    OpenedCamera camera(plugged.plug(config));
    return streamUntil(camera, until_us);
}

inline std::vector<Event2D> eventsIn(const std::vector<Event2D>& events, uint64_t begin_us, uint64_t end_us) {
    std::vector<Event2D> out;
    for (const auto& e : events) {
        if (e.timestamp >= begin_us && e.timestamp < end_us) out.push_back(e);
    }
    return out;
}

// A rigid motion built from a Rodrigues vector through the unit quaternion of its rotation.
struct Motion {
    double r[3][3];
    double t[3];

    explicit Motion(const sim::RigidPose& pose) {
        const auto& v = pose.rotation;
        const double angle = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        double w = 1, x = 0, y = 0, z = 0;
        if (angle > 0) {
            const double s = std::sin(angle / 2) / angle;
            w = std::cos(angle / 2), x = v[0] * s, y = v[1] * s, z = v[2] * s;
        }
        const double m[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                                {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                                {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) r[i][j] = m[i][j];
            t[i] = pose.translation[static_cast<size_t>(i)];
        }
    }

    sim::Point3d operator()(const sim::Point3d& p) const {
        return {r[0][0] * p.x + r[0][1] * p.y + r[0][2] * p.z + t[0], r[1][0] * p.x + r[1][1] * p.y + r[1][2] * p.z + t[1],
                r[2][0] * p.x + r[2][1] * p.y + r[2][2] * p.z + t[2]};
    }
};

// A world point of the target in the coordinates of the camera `config` describes, at `pose`.
inline sim::Point3d inCamera(const sim::SimulatedCameraConfig& config, const sim::RigidPose& pose, const sim::Point3d& world) {
    return Motion(config.rig_pose)(Motion(pose)(world));
}

// Image points of the boundary of circle `index` at `pose` (samples through the lens).
inline std::vector<sim::Point2d> projectedOutline(const sim::SimulatedCameraConfig& config, const sim::RigidPose& pose,
                                                  size_t index, int samples = 180) {
    const auto centre = sim::circleGridWorldCenters(config.target)[index];
    const double radius = config.target.circle_diameter / 2;
    std::vector<sim::Point2d> outline;
    for (int k = 0; k < samples; ++k) {
        const double a = 2 * std::numbers::pi * k / samples;
        const auto uv = sim::projectPoint(config.lens, inCamera(config, pose, {centre.x + radius * std::cos(a), centre.y + radius * std::sin(a), 0}));
        if (uv) outline.push_back(*uv);
    }
    return outline;
}

// Distance from p to the closed polyline through `outline`, a dense sampling of a smooth
// curve: the nearest point lies on a segment next to the nearest vertex.
inline double distanceToOutline(const sim::Point2d& p, const std::vector<sim::Point2d>& outline) {
    const size_t n = outline.size();
    size_t nearest = 0;
    double nearest2 = std::numeric_limits<double>::infinity();
    for (size_t k = 0; k < n; ++k) {
        const double dx = p.x - outline[k].x, dy = p.y - outline[k].y;
        if (dx * dx + dy * dy < nearest2) nearest2 = dx * dx + dy * dy, nearest = k;
    }
    double best2 = nearest2;
    for (size_t k = nearest + n - 2; k <= nearest + n + 1; ++k) {
        const auto& a = outline[k % n];
        const auto& b = outline[(k + 1) % n];
        const double ux = b.x - a.x, uy = b.y - a.y;
        const double length2 = ux * ux + uy * uy;
        const double s = length2 > 0 ? std::clamp(((p.x - a.x) * ux + (p.y - a.y) * uy) / length2, 0.0, 1.0) : 0.0;
        const double dx = p.x - a.x - s * ux, dy = p.y - a.y - s * uy;
        best2 = std::min(best2, dx * dx + dy * dy);
    }
    return std::sqrt(best2);
}

// Events of one burst, split by the circle whose true centre is nearest. Events farther
// than `band_px` from that circle's projected outline are counted as off it (and as outside
// every circle when they are not even within its outline plus the band).
struct CircleEvents {
    std::vector<sim::Point2d> centres;  // true projected centres
    std::vector<double> maxRadius;
    std::vector<double> sumX, sumY;
    std::vector<size_t> count, positive;
    size_t outside = 0;       // events at no circle
    size_t offOutline = 0;    // events at a circle but off its outline
    double farthest_px = 0;   // largest distance to its outline of an event kept

    CircleEvents(const sim::SimulatedCameraConfig& config, uint64_t showing, const std::vector<Event2D>& events,
                 double band_px = 1.4) {
        centres = sim::circleGridProjectedCenters(config, showing);
        const auto pose = sim::circleGridPoses(config)[sim::circleGridPoseSpan(config, showing).pose_index];
        const size_t n = centres.size();
        std::vector<std::vector<sim::Point2d>> outlines(n);
        maxRadius.assign(n, 0);
        sumX.assign(n, 0), sumY.assign(n, 0);
        count.assign(n, 0), positive.assign(n, 0);
        for (size_t c = 0; c < n; ++c) {
            outlines[c] = projectedOutline(config, pose, c);
            for (const auto& p : outlines[c]) {
                maxRadius[c] = std::max(maxRadius[c], std::hypot(p.x - centres[c].x, p.y - centres[c].y));
            }
        }
        for (const auto& e : events) {
            size_t best = 0;
            double bestDistance = std::numeric_limits<double>::infinity();
            for (size_t c = 0; c < n; ++c) {
                const double dx = e.x - centres[c].x, dy = e.y - centres[c].y;
                if (dx * dx + dy * dy < bestDistance) bestDistance = dx * dx + dy * dy, best = c;
            }
            if (std::sqrt(bestDistance) > maxRadius[best] + band_px) {
                ++outside;
                continue;
            }
            const double d = distanceToOutline({static_cast<double>(e.x), static_cast<double>(e.y)}, outlines[best]);
            if (d > band_px) {
                ++offOutline;
                continue;
            }
            farthest_px = std::max(farthest_px, d);
            sumX[best] += e.x, sumY[best] += e.y;
            ++count[best];
            positive[best] += e.polarity;
        }
    }

    // Distance from the centroid of circle c's events to its true centre, in pixels.
    double centroidError(size_t c) const {
        if (count[c] == 0) return std::numeric_limits<double>::infinity();
        return std::hypot(sumX[c] / static_cast<double>(count[c]) - centres[c].x,
                          sumY[c] / static_cast<double>(count[c]) - centres[c].y);
    }
};

}  // namespace vireo::test
