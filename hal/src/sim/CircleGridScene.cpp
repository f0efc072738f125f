// CircleGrid scene: the target's geometry, the poses drawn from the seed, the rendering of
// the circles' outlines into events, and the public functions that tell a test or a tool
// what the scene shows.
//
// Rendering. For each pose the boundary of every world circle is sampled densely (four
// samples per pixel of projected outline), each sample goes through the pose, the rig pose
// and the lens, and every pixel whose centre lies within one pixel of the projected outline
// fires: the band a circle's edge sweeps when the target jitters by about a pixel. Each of
// those pixels fires once per half jitter period at a fixed offset drawn from the seed;
// which half gives the darker event depends on which side of the circle the pixel is on and
// on the jitter's direction, drawn anew for every period.
//
// The jitter also leaves the target a quarter of a pixel off its pose, diagonally, in a
// different one of four directions in each period, so four consecutive periods draw four
// bands. A single band's pixels are a lattice sample of the outline and their centroid
// misses the circle's image by up to about half a pixel; averaged over the four, by a few
// hundredths on average and rarely above 0.15 pixel.
#include "sim/CircleGridScene.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace vireo::sim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;
// Pose drawing: tilts about both image axes, roll, and how much of the view the target fills.
constexpr double kMaxTilt = 30.0 * kDegree;
constexpr double kMaxRoll = 10.0 * kDegree;
constexpr double kMinFill = 0.35, kMaxFill = 0.7;
constexpr double kViewMargin_px = 3.0;  // outlines stay this far inside, so their bands do too
constexpr int kSamplesPerCheck = 48;
constexpr int kAttemptsPerPose = 2000;
// Rendering: the jitter moves an edge by up to this much, so the pixels whose centres lie
// within it of a projected outline fire; outlines are sampled this densely to find them.
constexpr double kJitter_px = 1.0;
constexpr double kSamplesPerPixel = 4.0;
// Seeds of the scene's independent random streams, so that noise, poses and jitter do not
// repeat each other's draws.
constexpr uint64_t kPoseStream = 0x9C1ACE5EEDull;
constexpr uint64_t kNoiseStream = 0x4E015EC0FFEEull;
constexpr uint64_t kJitterStream = 0x7177E4B0Bull;

[[noreturn]] void fail(const std::string& what) {
    throw std::invalid_argument("SimulatedCameraConfig: " + what);
}

bool finite(double v) { return std::isfinite(v); }

bool finitePose(const RigidPose& pose) {
    for (size_t i = 0; i < 3; ++i) {
        if (!finite(pose.rotation[i]) || !finite(pose.translation[i])) return false;
    }
    return true;
}

void validateTarget(const CircleGridTarget& target) {
    if (target.grid_cols < 2 || target.grid_rows < 2 || target.grid_cols > 1024 || target.grid_rows > 1024) {
        fail("target.grid_cols and target.grid_rows must be within 2..1024");
    }
    if (!(target.spacing > 0) || !finite(target.spacing)) fail("target.spacing must be larger than 0");
    // The nearest neighbour is along a row (symmetric) or in the next row (asymmetric).
    const double nearest = target.asymmetric ? target.spacing * std::sqrt(0.5) : target.spacing;
    if (!(target.circle_diameter > 0) || !(target.circle_diameter < nearest)) {
        fail("target.circle_diameter must be larger than 0 and smaller than the distance between neighbouring "
             "centres (spacing, or spacing/sqrt(2) for an asymmetric grid)");
    }
}

// splitmix64 over a few words, for values that must not depend on the order they are asked for.
uint64_t hashOf(uint64_t a, uint64_t b, uint64_t c = 0, uint64_t d = 0) {
    uint64_t state = a;
    state ^= splitmix64(state) + b;
    state ^= splitmix64(state) + c;
    state ^= splitmix64(state) + d;
    return splitmix64(state);
}

double uniform(uint64_t& state, double lo, double hi) { return lo + (hi - lo) * unitInterval(state); }

double unitIntervalOf(uint64_t hash) { return static_cast<double>(hash >> 11) * 0x1.0p-53; }

Point3d onCircle(const Point3d& centre, double radius, double angle) {
    return {centre.x + radius * std::cos(angle), centre.y + radius * std::sin(angle), centre.z};
}

// Whether every circle of the target, seen through `view`, lies inside the camera's image
// with the margin, in front of it and where its lens does not fold the image back.
bool insideView(const SimulatedCameraConfig& camera, const detail::Transform& view,
                const std::vector<Point3d>& world, double radius) {
    const double maxX = camera.width - 1 - kViewMargin_px, maxY = camera.height - 1 - kViewMargin_px;
    for (const auto& centre : world) {
        for (int j = 0; j < kSamplesPerCheck; ++j) {
            const Point3d q = view.apply(onCircle(centre, radius, 2.0 * kPi * j / kSamplesPerCheck));
            Point2d uv;
            if (!detail::project(camera.lens, q, uv) || !detail::radiallyMonotonic(camera.lens, q)) return false;
            if (!(uv.x >= kViewMargin_px && uv.x <= maxX && uv.y >= kViewMargin_px && uv.y <= maxY)) return false;
        }
    }
    return true;
}

// Poses drawn from `seed` that keep the target of `rig[0]` inside every camera of `rig`,
// placed for the lens and size of rig[0] (the reference view). The target's centre is put at
// a drawn pixel at the distance where it fills a drawn share of the view; tilted and rolled
// views that leave it partly outside are drawn again.
std::vector<RigidPose> drawPoses(const std::vector<const SimulatedCameraConfig*>& rig, int count, uint64_t seed) {
    const SimulatedCameraConfig& ref = *rig[0];
    const std::vector<Point3d> world = circleGridWorldCenters(ref.target);
    const double radius = ref.target.circle_diameter / 2;
    double minX = world[0].x, maxX = minX, minY = world[0].y, maxY = minY;
    for (const auto& p : world) {
        minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
    }
    const Point3d middle{(minX + maxX) / 2, (minY + maxY) / 2, 0};
    const double extentX = maxX - minX + 2 * radius, extentY = maxY - minY + 2 * radius;
    const double width = ref.width, height = ref.height;

    std::vector<detail::Transform> rigViews;
    for (const auto* camera : rig) rigViews.push_back(detail::toTransform(camera->rig_pose));

    uint64_t state = seed ^ kPoseStream;
    std::vector<RigidPose> poses;
    poses.reserve(static_cast<size_t>(count));
    for (int p = 0; p < count; ++p) {
        bool placed = false;
        for (int attempt = 0; attempt < kAttemptsPerPose && !placed; ++attempt) {
            RigidPose pose;
            pose.rotation = {uniform(state, -kMaxTilt, kMaxTilt), uniform(state, -kMaxTilt, kMaxTilt),
                             uniform(state, -kMaxRoll, kMaxRoll)};
            const double fill = uniform(state, kMinFill, kMaxFill);
            const double z = std::max(ref.lens.fx * extentX / (fill * width), ref.lens.fy * extentY / (fill * height));
            const double halfX = ref.lens.fx * extentX / (2 * z) + kViewMargin_px;
            const double halfY = ref.lens.fy * extentY / (2 * z) + kViewMargin_px;
            const double u = halfX < width - halfX ? uniform(state, halfX, width - halfX) : width / 2;
            const double v = halfY < height - halfY ? uniform(state, halfY, height - halfY) : height / 2;
            // Translation that puts the target's middle on the ray through (u, v) at depth z.
            const detail::Transform rotation = detail::toTransform(pose);
            const Point3d turned = rotation.apply(middle);
            pose.translation = {z * (u - ref.lens.cx) / ref.lens.fx - turned.x,
                                z * (v - ref.lens.cy) / ref.lens.fy - turned.y, z - turned.z};
            const detail::Transform target = detail::toTransform(pose);
            placed = true;
            for (size_t c = 0; c < rig.size() && placed; ++c) {
                placed = insideView(*rig[c], detail::compose(rigViews[c], target), world, radius);
            }
            if (placed) poses.push_back(pose);
        }
        if (!placed) {
            fail("the circle grid target cannot be placed inside the view of every camera (check the lens, "
                 "the image size and rig_pose)");
        }
    }
    return poses;
}

size_t poseCount(const SimulatedCameraConfig& config) {
    return config.target_poses.empty() ? static_cast<size_t>(config.pose_count) : config.target_poses.size();
}

}  // namespace

void validateCircleGrid(const SimulatedCameraConfig& config) {
    if (config.width == 0 || config.height == 0 || config.width > 2048 || config.height > 2048) {
        fail("width and height must be within 1..2048");
    }
    validateTarget(config.target);
    const PinholeLens& lens = config.lens;
    if (!(lens.fx > 0) || !(lens.fy > 0) || !finite(lens.fx) || !finite(lens.fy)) {
        fail("lens.fx and lens.fy must be larger than 0");
    }
    for (double v : {lens.cx, lens.cy, lens.k1, lens.k2, lens.p1, lens.p2, lens.k3}) {
        if (!finite(v)) fail("lens.cx, lens.cy and the distortion coefficients must be finite");
    }
    for (const auto& pose : config.target_poses) {
        if (!finitePose(pose)) fail("target_poses must hold finite rotations and translations");
    }
    if (config.target_poses.empty() && (config.pose_count < 1 || config.pose_count > 100000)) {
        fail("pose_count must be within 1..100000 when target_poses is empty");
    }
    if (!finitePose(config.rig_pose)) fail("rig_pose must hold a finite rotation and translation");
    if (config.pose_period_us == 0) fail("pose_period_us must be larger than 0");
    if (config.burst_us == 0 || config.burst_us > config.pose_period_us) {
        fail("burst_us must be within 1..pose_period_us");
    }
    if (config.jitter_period_us < 2 || config.jitter_period_us > (uint64_t{1} << 32)) {
        fail("jitter_period_us must be within 2..4294967296");
    }
    if (!(config.noise_rate >= 0) || !finite(config.noise_rate)) fail("noise_rate must be 0 or larger");
}

std::vector<Point3d> circleGridWorldCenters(const CircleGridTarget& target) {
    validateTarget(target);
    std::vector<Point3d> centres;
    centres.reserve(static_cast<size_t>(target.grid_cols) * static_cast<size_t>(target.grid_rows));
    const double s = target.spacing;
    for (int j = 0; j < target.grid_rows; ++j) {
        for (int i = 0; i < target.grid_cols; ++i) {
            if (target.asymmetric) {
                centres.push_back({(2 * i + j % 2) * s / 2, j * s / 2, 0});
            } else {
                centres.push_back({i * s, j * s, 0});
            }
        }
    }
    return centres;
}

std::optional<Point2d> projectPoint(const PinholeLens& lens, const Point3d& camera_point) {
    Point2d uv;
    if (!detail::project(lens, camera_point, uv)) return std::nullopt;
    return uv;
}

std::vector<RigidPose> circleGridPoses(const SimulatedCameraConfig& config) {
    validateCircleGrid(config);
    if (!config.target_poses.empty()) return config.target_poses;
    // Drawn for the reference view, so that every camera of a rig draws the same ones.
    SimulatedCameraConfig reference = config;
    reference.rig_pose = RigidPose{};
    return drawPoses({&reference}, config.pose_count, config.seed);
}

std::vector<RigidPose> drawCircleGridPoses(const std::vector<SimulatedCameraConfig>& rig, int count) {
    if (rig.empty()) fail("drawCircleGridPoses needs at least one camera");
    if (count < 1) fail("drawCircleGridPoses needs a count of at least 1");
    std::vector<const SimulatedCameraConfig*> cameras;
    for (const auto& camera : rig) {
        validateCircleGrid(camera);
        cameras.push_back(&camera);
    }
    return drawPoses(cameras, count, rig[0].seed);
}

std::vector<Point2d> circleGridProjectedCenters(const SimulatedCameraConfig& config, uint64_t showing) {
    const auto poses = circleGridPoses(config);
    const detail::Transform view = detail::compose(detail::toTransform(config.rig_pose),
                                                   detail::toTransform(poses[showing % poses.size()]));
    std::vector<Point2d> centres;
    for (const auto& w : circleGridWorldCenters(config.target)) {
        Point2d uv{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
        detail::project(config.lens, view.apply(w), uv);
        centres.push_back(uv);
    }
    return centres;
}

CircleGridPoseSpan circleGridPoseSpan(const SimulatedCameraConfig& config, uint64_t showing) {
    validateCircleGrid(config);
    CircleGridPoseSpan span;
    span.pose_index = static_cast<size_t>(showing % poseCount(config));
    span.begin_us = showing * config.pose_period_us;
    span.burst_end_us = span.begin_us + config.burst_us;
    span.end_us = span.begin_us + config.pose_period_us;
    return span;
}

CircleGridScene::CircleGridScene(const SimulatedCameraConfig& config)
    : width_(config.width), height_(config.height), lens_(config.lens), period_us_(config.pose_period_us),
      burst_us_(config.burst_us), half_jitter_us_(config.jitter_period_us / 2), seed_(config.seed),
      radius_(config.target.circle_diameter / 2) {
    const auto poses = circleGridPoses(config);  // validates the configuration
    world_ = circleGridWorldCenters(config.target);
    const detail::Transform rig = detail::toTransform(config.rig_pose);
    for (const auto& pose : poses) views_.push_back(detail::compose(rig, detail::toTransform(pose)));
    if (config.noise_rate > 0) noise_.emplace(width_, height_, config.noise_rate, config.seed ^ kNoiseStream);
    marks_.assign(static_cast<size_t>(width_) * height_, 0);
}

void CircleGridScene::buildOutline(size_t pose) {
    const detail::Transform& view = views_[pose];
    keys_.clear();
    std::vector<Point2d> centres(world_.size(), Point2d{0, 0});
    for (size_t c = 0; c < world_.size(); ++c) {
        detail::project(lens_, view.apply(world_[c]), centres[c]);
        // The outline's length in pixels, to sample it at a fixed density.
        double length = 0;
        Point2d previous{}, uv{};
        bool havePrevious = false;
        for (int j = 0; j <= 32; ++j) {
            const bool seen = detail::project(lens_, view.apply(onCircle(world_[c], radius_, 2.0 * kPi * j / 32)), uv);
            if (seen && havePrevious) length += std::hypot(uv.x - previous.x, uv.y - previous.y);
            previous = uv;
            havePrevious = seen;
        }
        const int samples = static_cast<int>(std::clamp(std::ceil(kSamplesPerPixel * length), 64.0, 262144.0));
        for (int j = 0; j < samples; ++j) {
            if (!detail::project(lens_, view.apply(onCircle(world_[c], radius_, 2.0 * kPi * j / samples)), uv)) continue;
            for (uint64_t v = 0; v < kShifts; ++v) {
                const double u = uv.x + kShift_px[v][0], w = uv.y + kShift_px[v][1];
                // Compared as doubles first: a sample far outside (or NaN) must not reach the casts.
                if (!(u > -2.0 && u < width_ + 1.0 && w > -2.0 && w < height_ + 1.0)) continue;
                const int x0 = std::max(0, static_cast<int>(std::ceil(u - kJitter_px)));
                const int x1 = std::min(width_ - 1, static_cast<int>(std::floor(u + kJitter_px)));
                const int y0 = std::max(0, static_cast<int>(std::ceil(w - kJitter_px)));
                const int y1 = std::min(height_ - 1, static_cast<int>(std::floor(w + kJitter_px)));
                for (int y = y0; y <= y1; ++y) {
                    for (int x = x0; x <= x1; ++x) {
                        const double dx = x - u, dy = y - w;
                        if (dx * dx + dy * dy > kJitter_px * kJitter_px) continue;
                        // Neighbouring samples find the same pixels: keep each pixel once per
                        // shift, for the first circle that reaches it.
                        uint8_t& mark = marks_[static_cast<size_t>(y) * width_ + static_cast<size_t>(x)];
                        if (mark & (1u << v)) continue;
                        mark = static_cast<uint8_t>(mark | (1u << v));
                        keys_.push_back((v << 62) | (static_cast<uint64_t>(y) << 40) | (static_cast<uint64_t>(x) << 20) | c);
                    }
                }
            }
        }
    }
    for (auto& outline : outlines_) outline.clear();
    for (const uint64_t key : keys_) {
        const auto y = static_cast<uint16_t>((key >> 40) & 0xFFFFF);
        const auto x = static_cast<uint16_t>((key >> 20) & 0xFFFFF);
        marks_[static_cast<size_t>(y) * width_ + x] = 0;
        const Point2d& centre = centres[key & 0xFFFFF];
        const double nx = x - centre.x, ny = y - centre.y;
        const double norm = std::hypot(nx, ny);
        const auto offset = static_cast<uint32_t>(hashOf(seed_, pose, x, y) % half_jitter_us_);
        outlines_[key >> 62].push_back({offset, x, y, norm > 0 ? static_cast<float>(nx / norm) : 0.0f,
                                        norm > 0 ? static_cast<float>(ny / norm) : 0.0f});
    }
    for (auto& outline : outlines_) {
        std::sort(outline.begin(), outline.end(), [](const OutlinePixel& a, const OutlinePixel& b) {
            if (a.offset_us != b.offset_us) return a.offset_us < b.offset_us;
            return a.y != b.y ? a.y < b.y : a.x < b.x;
        });
    }
    outlinePose_ = pose;
}

void CircleGridScene::emitOutline(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out) {
    for (uint64_t showing = begin_us / period_us_; showing * period_us_ < end_us; ++showing) {
        const uint64_t burstBegin = showing * period_us_;
        const uint64_t lo = std::max(begin_us, burstBegin);
        const uint64_t hi = std::min(end_us, burstBegin + burst_us_);
        if (lo >= hi) continue;
        const size_t pose = static_cast<size_t>(showing % views_.size());
        if (pose != outlinePose_) buildOutline(pose);

        for (uint64_t half = (lo - burstBegin) / half_jitter_us_; burstBegin + half * half_jitter_us_ < hi; ++half) {
            const uint64_t start = burstBegin + half * half_jitter_us_;
            const uint64_t from = lo > start ? lo - start : 0;
            const uint64_t to = std::min(hi - start, half_jitter_us_);
            const uint64_t period = half / 2;
            const auto& outline = outlines_[period % kShifts];
            const auto byOffset = [](const OutlinePixel& p, uint64_t t) { return p.offset_us < t; };
            const auto first = std::lower_bound(outline.begin(), outline.end(), from, byOffset);
            const auto last = std::lower_bound(first, outline.end(), to, byOffset);
            const double angle = 2.0 * kPi * unitIntervalOf(hashOf(seed_ ^ kJitterStream, showing, period));
            const auto dx = static_cast<float>(std::cos(angle)), dy = static_cast<float>(std::sin(angle));
            // Moving along (dx, dy), a dark circle covers the pixels ahead of its edge (darker)
            // and uncovers those behind it (brighter); on the way back it is the other way round.
            const bool outward = half % 2 == 0;
            for (auto p = first; p != last; ++p) {
                const bool ahead = p->nx * dx + p->ny * dy > 0;
                out.emplace_back(p->x, p->y, static_cast<uint8_t>(ahead == outward ? 0 : 1), start + p->offset_us);
            }
        }
    }
}

void CircleGridScene::generate(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out) {
    if (!noise_) {
        emitOutline(begin_us, end_us, out);
        return;
    }
    outlineEvents_.clear();
    noiseEvents_.clear();
    emitOutline(begin_us, end_us, outlineEvents_);
    noise_->generate(begin_us, end_us, noiseEvents_);
    const size_t base = out.size();
    out.resize(base + outlineEvents_.size() + noiseEvents_.size());
    std::merge(outlineEvents_.begin(), outlineEvents_.end(), noiseEvents_.begin(), noiseEvents_.end(),
               out.begin() + static_cast<std::ptrdiff_t>(base), sensorOrder);
}

}  // namespace vireo::sim
