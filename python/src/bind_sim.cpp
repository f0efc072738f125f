// vireo.sim: simulated cameras, plugged in from Python with their scene settings and then
// found by the camera manager like USB devices; what a calibration scene shows.
#include "Bindings.h"

#include <vireo/SimulatedCamera.h>

#include <pybind11/stl.h>

#include <string>
#include <vector>

namespace py = pybind11;

namespace vireo::python {
namespace {

using namespace vireo::sim;

// Sets the configuration's attributes named by the keyword arguments; an unknown name is a
// TypeError, as for a function's unknown keyword.
void applySettings(py::object config, const py::kwargs& settings) {
    for (const auto& [key, value] : settings) {
        const std::string name = py::str(key).cast<std::string>();
        if (!py::hasattr(config, name.c_str()) || name.starts_with("_")) {
            throw py::type_error("unknown simulated camera setting \"" + name + "\"");
        }
        config.attr(name.c_str()) = value;
    }
}

std::string repr3(const std::array<double, 3>& v) {
    return "(" + std::to_string(v[0]) + ", " + std::to_string(v[1]) + ", " + std::to_string(v[2]) + ")";
}

}  // namespace

void bindSim(py::module_& m) {
    py::module_ sim = m.def_submodule(
        "sim",
        "Simulated cameras: plug_camera(...) plugs one in (scene settings as keywords or a\n"
        "SimulatedCameraConfig); DvsCameraManager then finds and opens it like a USB camera.");

    py::enum_<SceneType>(sim, "SceneType", "What a simulated camera shows.")
        .value("Random", SceneType::Random, "uniformly random pixels at event_rate events/s")
        .value("MovingEdge", SceneType::MovingEdge, "a vertical edge sweeping at edge_speed pixels/s")
        .value("BlinkingGrid", SceneType::BlinkingGrid, "a grid of markers blinking at blink_frequency_hz")
        .value("Replay", SceneType::Replay, "the RAW file replay_path, looped")
        .value("CircleGrid", SceneType::CircleGrid, "a circle-grid calibration target at target_poses");

    py::class_<Point2d>(sim, "Point2d")
        .def(py::init([](double x, double y) { return Point2d{x, y}; }), py::arg("x") = 0.0, py::arg("y") = 0.0)
        .def_readwrite("x", &Point2d::x)
        .def_readwrite("y", &Point2d::y)
        .def("__repr__", [](const Point2d& p) { return "Point2d(" + std::to_string(p.x) + ", " + std::to_string(p.y) + ")"; });
    py::class_<Point3d>(sim, "Point3d")
        .def(py::init([](double x, double y, double z) { return Point3d{x, y, z}; }), py::arg("x") = 0.0,
             py::arg("y") = 0.0, py::arg("z") = 0.0)
        .def_readwrite("x", &Point3d::x)
        .def_readwrite("y", &Point3d::y)
        .def_readwrite("z", &Point3d::z);
    py::class_<RigidPose>(sim, "RigidPose", "rvec (Rodrigues, radians) and tvec (world units), as OpenCV writes a pose.")
        .def(py::init([](std::array<double, 3> rotation, std::array<double, 3> translation) {
                 return RigidPose{rotation, translation};
             }),
             py::arg("rotation") = std::array<double, 3>{}, py::arg("translation") = std::array<double, 3>{})
        .def_readwrite("rotation", &RigidPose::rotation)
        .def_readwrite("translation", &RigidPose::translation)
        .def("__repr__", [](const RigidPose& p) {
            return "RigidPose(rotation=" + repr3(p.rotation) + ", translation=" + repr3(p.translation) + ")";
        });
    py::class_<PinholeLens>(sim, "PinholeLens", "A pinhole camera with OpenCV's distortion (k1, k2, p1, p2, k3).")
        .def(py::init<>())
        .def_readwrite("fx", &PinholeLens::fx)
        .def_readwrite("fy", &PinholeLens::fy)
        .def_readwrite("cx", &PinholeLens::cx)
        .def_readwrite("cy", &PinholeLens::cy)
        .def_readwrite("k1", &PinholeLens::k1)
        .def_readwrite("k2", &PinholeLens::k2)
        .def_readwrite("p1", &PinholeLens::p1)
        .def_readwrite("p2", &PinholeLens::p2)
        .def_readwrite("k3", &PinholeLens::k3);
    py::class_<CircleGridTarget>(sim, "CircleGridTarget", "A planar grid of circles, centres numbered row by row.")
        .def(py::init<>())
        .def_readwrite("grid_cols", &CircleGridTarget::grid_cols)
        .def_readwrite("grid_rows", &CircleGridTarget::grid_rows)
        .def_readwrite("asymmetric", &CircleGridTarget::asymmetric)
        .def_readwrite("spacing", &CircleGridTarget::spacing)
        .def_readwrite("circle_diameter", &CircleGridTarget::circle_diameter);
    py::class_<BlinkingMarkerTarget>(sim, "BlinkingMarkerTarget", "The BlinkingGrid scene as a calibration target.")
        .def(py::init<>())
        .def_readwrite("as_target", &BlinkingMarkerTarget::as_target)
        .def_readwrite("spot_sigma_px", &BlinkingMarkerTarget::spot_sigma_px)
        .def_readwrite("flicker_size_px", &BlinkingMarkerTarget::flicker_size_px)
        .def_readwrite("flicker_rate_hz", &BlinkingMarkerTarget::flicker_rate_hz)
        .def_readwrite("moving_edge", &BlinkingMarkerTarget::moving_edge)
        .def_readwrite("edge_width_px", &BlinkingMarkerTarget::edge_width_px)
        .def_readwrite("other_light_hz", &BlinkingMarkerTarget::other_light_hz);

    py::class_<SimulatedCameraConfig>(sim, "SimulatedCameraConfig",
                                      "Everything a simulated camera is plugged in with; SimulatedCameraConfig(**settings).")
        .def(py::init([](const py::kwargs& settings) {
            SimulatedCameraConfig config;
            py::object wrapped = py::cast(config);
            applySettings(wrapped, settings);
            return wrapped.cast<SimulatedCameraConfig>();
        }))
        .def_readwrite("vendor_id", &SimulatedCameraConfig::vendor_id)
        .def_readwrite("product_id", &SimulatedCameraConfig::product_id)
        .def_readwrite("serial", &SimulatedCameraConfig::serial)
        .def_readwrite("scene", &SimulatedCameraConfig::scene)
        .def_readwrite("event_rate", &SimulatedCameraConfig::event_rate)
        .def_readwrite("replay_path", &SimulatedCameraConfig::replay_path)
        .def_readwrite("real_time", &SimulatedCameraConfig::real_time)
        .def_readwrite("trigger_period_us", &SimulatedCameraConfig::trigger_period_us)
        .def_readwrite("seed", &SimulatedCameraConfig::seed)
        .def_readwrite("edge_speed", &SimulatedCameraConfig::edge_speed)
        .def_readwrite("blink_frequency_hz", &SimulatedCameraConfig::blink_frequency_hz)
        .def_readwrite("grid_cols", &SimulatedCameraConfig::grid_cols)
        .def_readwrite("grid_rows", &SimulatedCameraConfig::grid_rows)
        .def_readwrite("markers", &SimulatedCameraConfig::markers)
        .def_readwrite("target", &SimulatedCameraConfig::target)
        .def_readwrite("lens", &SimulatedCameraConfig::lens)
        .def_readwrite("target_poses", &SimulatedCameraConfig::target_poses)
        .def_readwrite("pose_count", &SimulatedCameraConfig::pose_count)
        .def_readwrite("rig_pose", &SimulatedCameraConfig::rig_pose)
        .def_readwrite("pose_period_us", &SimulatedCameraConfig::pose_period_us)
        .def_readwrite("burst_us", &SimulatedCameraConfig::burst_us)
        .def_readwrite("jitter_period_us", &SimulatedCameraConfig::jitter_period_us)
        .def_readwrite("noise_rate", &SimulatedCameraConfig::noise_rate)
        .def_readwrite("width", &SimulatedCameraConfig::width)
        .def_readwrite("height", &SimulatedCameraConfig::height)
        .def_readwrite("skip_pauses", &SimulatedCameraConfig::skip_pauses)
        .def_readwrite("frame_width", &SimulatedCameraConfig::frame_width)
        .def_readwrite("frame_height", &SimulatedCameraConfig::frame_height)
        .def_readwrite("frame_rate_hz", &SimulatedCameraConfig::frame_rate_hz)
        .def_readwrite("exposure_us", &SimulatedCameraConfig::exposure_us);

    sim.def(
        "plug_camera",
        [](std::optional<SimulatedCameraConfig> given, const py::kwargs& settings) {
            py::object wrapped = py::cast(given.value_or(SimulatedCameraConfig{}));
            applySettings(wrapped, settings);
            const SimulatedCameraConfig config = wrapped.cast<SimulatedCameraConfig>();
            py::gil_scoped_release release;
            return plugCamera(config);
        },
        py::arg("config") = py::none(),
        "plug_camera(config=None, **settings) -> str\n\n"
        "Plugs a simulated camera in and returns its serial. `settings` override the fields of\n"
        "`config` (a SimulatedCameraConfig; the defaults when None), e.g.\n"
        "plug_camera(scene=SceneType.MovingEdge, real_time=False). Raises ValueError for a\n"
        "configuration that cannot stream, TypeError for an unknown setting.");
    sim.def(
        "unplug_camera",
        [](const std::string& serial) {
            py::gil_scoped_release release;
            return unplugCamera(serial);
        },
        py::arg("serial"),
        "unplug_camera(serial) -> bool\n\nUnplugs the camera (its streams end); False for an unknown serial.");
    sim.def("plugged_cameras", &pluggedCameras, "plugged_cameras() -> list[str]\n\nSerials of the simulated cameras plugged in.");
    sim.def("readout_running", &readoutRunning, py::arg("serial"),
            "readout_running(serial) -> bool | None\n\nWhether the device streams; None for an unknown serial.");
    sim.def("dropped_buffers", &droppedBuffers, py::arg("serial"),
            "dropped_buffers(serial) -> int | None\n\nBuffers dropped because the host fell behind a real-time device.");
    sim.def("register_value", &registerValue, py::arg("serial"), py::arg("address"),
            "register_value(serial, address) -> int | None\n\nThe device's current value of one register.");

    sim.def("circle_grid_world_centers", &circleGridWorldCenters, py::arg("target"),
            "circle_grid_world_centers(target) -> list[Point3d]\n\nThe target's circle centres, numbering order.");
    sim.def("project_point", &projectPoint, py::arg("lens"), py::arg("camera_point"),
            "project_point(lens, camera_point) -> Point2d | None\n\nThe pixel of a point in front of the camera.");
    sim.def("circle_grid_poses", &circleGridPoses, py::arg("config"),
            "circle_grid_poses(config) -> list[RigidPose]\n\nThe poses a CircleGrid camera shows, in order.");
    sim.def("draw_circle_grid_poses", &drawCircleGridPoses, py::arg("rig"), py::arg("count"),
            "draw_circle_grid_poses(rig, count) -> list[RigidPose]\n\nPoses keeping the target inside every view of the rig.");
    sim.def("circle_grid_projected_centers", &circleGridProjectedCenters, py::arg("config"), py::arg("showing"),
            "circle_grid_projected_centers(config, showing) -> list[Point2d]\n\n"
            "The true pixel positions of the centres at the `showing`-th pose shown.");
    py::class_<CircleGridPoseSpan>(sim, "CircleGridPoseSpan", "When one pose is in the stream, sensor µs.")
        .def_readonly("pose_index", &CircleGridPoseSpan::pose_index)
        .def_readonly("begin_us", &CircleGridPoseSpan::begin_us)
        .def_readonly("burst_end_us", &CircleGridPoseSpan::burst_end_us)
        .def_readonly("end_us", &CircleGridPoseSpan::end_us);
    sim.def("circle_grid_pose_span", &circleGridPoseSpan, py::arg("config"), py::arg("showing"),
            "circle_grid_pose_span(config, showing) -> CircleGridPoseSpan");
}

}  // namespace vireo::python
