// The geometry behind the CircleGrid scene: rotations from Rodrigues vectors, rigid
// transforms and their composition, and the pinhole projection with OpenCV's distortion
// model. Written out here because the hardware-access layer links no vision library, and
// kept to OpenCV's formulas term for term so that a calibration with OpenCV of what the
// scene shows recovers the lens it was given.
#pragma once

#include <array>
#include <cmath>
#include <limits>

#include <vireo/SimulatedCamera.h>

namespace vireo::sim::detail {

struct Transform {
    double r[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    double t[3] = {0, 0, 0};

    Point3d apply(const Point3d& p) const {
        return {r[0][0] * p.x + r[0][1] * p.y + r[0][2] * p.z + t[0],
                r[1][0] * p.x + r[1][1] * p.y + r[1][2] * p.z + t[1],
                r[2][0] * p.x + r[2][1] * p.y + r[2][2] * p.z + t[2]};
    }
};

// The rotation matrix of a Rodrigues vector, as cv::Rodrigues computes it (a vector shorter
// than the double epsilon is the identity).
inline Transform toTransform(const RigidPose& pose) {
    Transform m;
    const auto& v = pose.rotation;
    const double theta = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (theta >= std::numeric_limits<double>::epsilon()) {
        const double kx = v[0] / theta, ky = v[1] / theta, kz = v[2] / theta;
        const double c = std::cos(theta), s = std::sin(theta), c1 = 1.0 - c;
        m.r[0][0] = c + c1 * kx * kx;
        m.r[0][1] = c1 * kx * ky - s * kz;
        m.r[0][2] = c1 * kx * kz + s * ky;
        m.r[1][0] = c1 * ky * kx + s * kz;
        m.r[1][1] = c + c1 * ky * ky;
        m.r[1][2] = c1 * ky * kz - s * kx;
        m.r[2][0] = c1 * kz * kx - s * ky;
        m.r[2][1] = c1 * kz * ky + s * kx;
        m.r[2][2] = c + c1 * kz * kz;
    }
    for (int i = 0; i < 3; ++i) m.t[i] = pose.translation[static_cast<size_t>(i)];
    return m;
}

// `outer` after `inner`: x -> outer(inner(x)).
inline Transform compose(const Transform& outer, const Transform& inner) {
    Transform m;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            m.r[i][j] = outer.r[i][0] * inner.r[0][j] + outer.r[i][1] * inner.r[1][j] + outer.r[i][2] * inner.r[2][j];
        }
        m.t[i] = outer.r[i][0] * inner.t[0] + outer.r[i][1] * inner.t[1] + outer.r[i][2] * inner.t[2] + outer.t[i];
    }
    return m;
}

// Projects a camera-frame point; false when it is not in front of the camera.
inline bool project(const PinholeLens& lens, const Point3d& p, Point2d& out) {
    if (!(p.z > 0)) return false;
    const double x = p.x / p.z, y = p.y / p.z;
    const double r2 = x * x + y * y;
    const double radial = 1.0 + r2 * (lens.k1 + r2 * (lens.k2 + r2 * lens.k3));
    const double xd = x * radial + 2.0 * lens.p1 * x * y + lens.p2 * (r2 + 2.0 * x * x);
    const double yd = y * radial + lens.p1 * (r2 + 2.0 * y * y) + 2.0 * lens.p2 * x * y;
    out = {lens.fx * xd + lens.cx, lens.fy * yd + lens.cy};
    return true;
}

// Whether the radial distortion still grows with the distance from the axis at this point
// (d/dr of r·(1 + k1 r² + k2 r⁴ + k3 r⁶) clearly positive). Beyond the fold a strong barrel
// lens maps far points back towards the centre, which no real image shows.
inline bool radiallyMonotonic(const PinholeLens& lens, const Point3d& p) {
    const double x = p.x / p.z, y = p.y / p.z;
    const double r2 = x * x + y * y;
    return 1.0 + r2 * (3.0 * lens.k1 + r2 * (5.0 * lens.k2 + r2 * 7.0 * lens.k3)) > 0.2;
}

}  // namespace vireo::sim::detail
