// Python bindings of the calibration library: the locator configurations, the event and frame
// grid locators and their factory, GridLocatorUtils, the Calibrator with its per-camera
// CalibData and the JSON result file.
//
// Points cross as numpy arrays: located centres as (N, 2) float32, world points as (N, 3)
// float32, OpenCV matrices as arrays of their own element type. Locators and calibrators
// release the GIL for their work and serialise their calls with a mutex of their own.
//
// The Calibrator reports bad camera ids and missing data by a line on standard error and a
// sentinel result. From Python such a call raises vireo.calibration.CalibrationError with
// that line as its message: the binding routes what the calling thread writes to std::cerr
// during the call into a buffer of its own (other threads keep writing to the real stream)
// and raises when the call returned its sentinel. A call that succeeds passes anything it
// wrote on to standard error.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <opencv2/core/mat.hpp>

#include <vireo/lensfit.h>

#include "Bindings.h"
#include "EventArrays.h"

namespace py = pybind11;

namespace vireo {
namespace {

// ---------------------------------------------------------------------------------------
// Standard-error capture for the Calibrator's messages.

// Installed once as std::cerr's buffer. A thread inside a StderrCapture writes into that
// capture's text; every other thread writes to the original buffer, as before.
class ThreadRoutingBuffer : public std::streambuf {
public:
    explicit ThreadRoutingBuffer(std::streambuf* original_) : original(original_) {}

    static std::string*& target() {
        thread_local std::string* capture = nullptr;
        return capture;
    }

    std::streambuf* originalBuffer() const { return original; }

protected:
    int_type overflow(int_type ch) override {
        if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
        if (std::string* capture = target()) {
            capture->push_back(traits_type::to_char_type(ch));
            return ch;
        }
        return original->sputc(traits_type::to_char_type(ch));
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        if (std::string* capture = target()) {
            capture->append(text, static_cast<size_t>(count));
            return count;
        }
        return original->sputn(text, count);
    }
    int sync() override { return target() ? 0 : original->pubsync(); }

private:
    std::streambuf* original;
};

ThreadRoutingBuffer* routing_buffer = nullptr;

void installStderrRouting() {
    if (routing_buffer) return;
    // Never freed: std::cerr may be written to until the process ends.
    routing_buffer = new ThreadRoutingBuffer(std::cerr.rdbuf());
    std::cerr.rdbuf(routing_buffer);
}

class StderrCapture {
public:
    StderrCapture() : previous(ThreadRoutingBuffer::target()) { ThreadRoutingBuffer::target() = &text; }
    ~StderrCapture() { ThreadRoutingBuffer::target() = previous; }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // The captured text without its final line break.
    std::string message() const {
        std::string result = text;
        while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
        return result;
    }
    // Hands the captured text to the real standard error.
    void forward() const {
        if (!text.empty() && routing_buffer) {
            routing_buffer->originalBuffer()->sputn(text.data(), static_cast<std::streamsize>(text.size()));
            routing_buffer->originalBuffer()->pubsync();
        }
    }

private:
    std::string text;
    std::string* previous;
};

// Raised as vireo.calibration.CalibrationError.
struct CalibrationFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Releases the GIL, then takes the object's mutex; gives them back in the reverse order. A
// thread waiting for an object that another thread is running must not hold the GIL.
class GilFreeLock {
public:
    explicit GilFreeLock(std::mutex& mutex) : lock(mutex) {}

private:
    py::gil_scoped_release release;  // declared first: released before the lock is taken
    std::lock_guard<std::mutex> lock;
};

// ---------------------------------------------------------------------------------------
// Arrays: OpenCV matrices and point vectors.

int depthOf(const py::dtype& dtype) {
    const char kind = dtype.kind();
    const auto size = dtype.itemsize();
    if (kind == 'u' && size == 1) return CV_8U;
    if (kind == 'i' && size == 1) return CV_8S;
    if (kind == 'u' && size == 2) return CV_16U;
    if (kind == 'i' && size == 2) return CV_16S;
    if (kind == 'i' && size == 4) return CV_32S;
    if (kind == 'f' && size == 4) return CV_32F;
    if (kind == 'f' && size == 8) return CV_64F;
    throw py::type_error("arrays of dtype " + std::string(py::str(py::handle(dtype))) +
                         " have no OpenCV element type (use uint8, int8, uint16, int16, int32, float32 or float64)");
}

py::dtype dtypeOfDepth(int depth) {
    switch (depth) {
        case CV_8U: return py::dtype::of<uint8_t>();
        case CV_8S: return py::dtype::of<int8_t>();
        case CV_16U: return py::dtype::of<uint16_t>();
        case CV_16S: return py::dtype::of<int16_t>();
        case CV_32S: return py::dtype::of<int32_t>();
        case CV_32F: return py::dtype::of<float>();
        case CV_64F: return py::dtype::of<double>();
        default: throw std::runtime_error("a matrix of an element type numpy cannot hold (OpenCV depth " +
                                          std::to_string(depth) + ")");
    }
}

// A copy of the matrix: (rows, cols) for one channel, (rows, cols, channels) otherwise; an
// empty matrix gives a (0, 0) float64 array.
py::array matToArray(const cv::Mat& mat) {
    if (mat.empty()) return py::array_t<double>(std::vector<py::ssize_t>{0, 0});
    std::vector<py::ssize_t> shape{mat.rows, mat.cols};
    if (mat.channels() > 1) shape.push_back(mat.channels());
    py::array array(dtypeOfDepth(mat.depth()), shape);
    const size_t row_bytes = static_cast<size_t>(mat.cols) * mat.elemSize();
    auto* out = static_cast<uint8_t*>(array.mutable_data());
    for (int r = 0; r < mat.rows; ++r) std::memcpy(out + r * row_bytes, mat.ptr(r), row_bytes);
    return array;
}

// A matrix over (view) or copied from (clone) a numpy array: one dimension gives a column,
// two a one-channel matrix, three a matrix of shape[2] channels. The view needs the returned
// contiguous array kept alive, so it is handed back through `keep`.
cv::Mat arrayToMat(const py::handle& object, const char* what, py::array* keep = nullptr) {
    py::array array = py::array::ensure(object, py::array::c_style);
    if (!array) throw py::type_error(std::string(what) + " must be a numpy array");
    const int depth = depthOf(array.dtype());
    int rows = 0, cols = 1, channels = 1;
    if (array.ndim() == 1) {
        rows = static_cast<int>(array.shape(0));
    } else if (array.ndim() == 2) {
        rows = static_cast<int>(array.shape(0));
        cols = static_cast<int>(array.shape(1));
    } else if (array.ndim() == 3 && array.shape(2) >= 1 && array.shape(2) <= CV_CN_MAX) {
        rows = static_cast<int>(array.shape(0));
        cols = static_cast<int>(array.shape(1));
        channels = static_cast<int>(array.shape(2));
    } else {
        throw py::value_error(std::string(what) + " must have one, two or three dimensions");
    }
    cv::Mat view(rows, cols, CV_MAKETYPE(depth, channels), array.mutable_data());
    if (keep) {
        *keep = array;
        return view;
    }
    return view.clone();
}

// (N, 2) points as float32 (an empty sequence is no points).
std::vector<cv::Point2f> toPoints2f(const py::handle& object, const char* what) {
    auto array = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(object);
    if (!array) throw py::type_error(std::string(what) + " must be an (N, 2) array of numbers");
    if (array.size() == 0) return {};
    if (array.ndim() != 2 || array.shape(1) != 2) {
        throw py::value_error(std::string(what) + " must have shape (N, 2)");
    }
    std::vector<cv::Point2f> points(static_cast<size_t>(array.shape(0)));
    std::memcpy(static_cast<void*>(points.data()), array.data(), points.size() * sizeof(cv::Point2f));
    return points;
}

std::vector<cv::Point3f> toPoints3f(const py::handle& object, const char* what) {
    auto array = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(object);
    if (!array) throw py::type_error(std::string(what) + " must be an (N, 3) array of numbers");
    if (array.size() == 0) return {};
    if (array.ndim() != 2 || array.shape(1) != 3) {
        throw py::value_error(std::string(what) + " must have shape (N, 3)");
    }
    std::vector<cv::Point3f> points(static_cast<size_t>(array.shape(0)));
    std::memcpy(static_cast<void*>(points.data()), array.data(), points.size() * sizeof(cv::Point3f));
    return points;
}

static_assert(sizeof(cv::Point2f) == 2 * sizeof(float) && sizeof(cv::Point3f) == 3 * sizeof(float));

py::array_t<float> points2fArray(const std::vector<cv::Point2f>& points) {
    py::array_t<float> array({static_cast<py::ssize_t>(points.size()), py::ssize_t{2}});
    if (!points.empty()) std::memcpy(array.mutable_data(), points.data(), points.size() * sizeof(cv::Point2f));
    return array;
}

py::array_t<float> points3fArray(const std::vector<cv::Point3f>& points) {
    py::array_t<float> array({static_cast<py::ssize_t>(points.size()), py::ssize_t{3}});
    if (!points.empty()) std::memcpy(array.mutable_data(), points.data(), points.size() * sizeof(cv::Point3f));
    return array;
}

cv::Size toSize(const std::pair<int, int>& size) { return {size.first, size.second}; }

// The dtype of Event2DFrequency: x, y, p, t as in the event dtype, then frequency (Hz).
py::dtype frequencyEventDtype() {
    static const py::dtype* dtype = [] {
        py::dict spec;
        spec["names"] = py::make_tuple("x", "y", "p", "t", "frequency");
        spec["formats"] = py::make_tuple("<u2", "<u2", "?", "<u8", "<f4");
        spec["offsets"] = py::make_tuple(offsetof(Event2DFrequency, x), offsetof(Event2DFrequency, y),
                                         offsetof(Event2DFrequency, polarity), offsetof(Event2DFrequency, timestamp),
                                         offsetof(Event2DFrequency, frequency));
        spec["itemsize"] = sizeof(Event2DFrequency);
        return new py::dtype(py::dtype::from_args(spec));
    }();
    return *dtype;
}

// ---------------------------------------------------------------------------------------
// Locators: a wrapper per locator adds the mutex; the concrete wrappers derive from the
// two base wrappers, so the factory's result comes out as its concrete Python class.

class PyEventLocator {
public:
    explicit PyEventLocator(std::unique_ptr<GridLocatorAlgoBase<EventBased>> impl_) : impl(std::move(impl_)) {}
    virtual ~PyEventLocator() = default;

    void processEvents(const py::handle& object) {
        py::array array = py::array::ensure(object);
        if (!array) throw py::type_error("events must be a numpy array of the Event2D dtype (x, y, p, t)");
        // A packed x, y, p, t record (np.concatenate drops the padding) is converted by one copy.
        const py::dtype wanted = python::event2dDtype();
        if (!array.dtype().is(wanted) && !array.dtype().equal(wanted) && py::hasattr(array.dtype(), "names") &&
            py::object(array.dtype().attr("names")).equal(py::make_tuple("x", "y", "p", "t"))) {
            array = array.attr("astype")(wanted);
        }
        const std::span<const Event2D> events = python::spanOf<Event2D>(array);
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex);
        impl->processEvents(events.data(), events.data() + events.size());
    }

    py::object locateGrid() {
        std::vector<cv::Point2f> centers;
        bool found = false;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex);
            found = impl->locateGrid(centers);
        }
        if (!found) return py::none();
        return points2fArray(centers);
    }

    std::unique_ptr<GridLocatorAlgoBase<EventBased>> impl;
    std::mutex mutex;
};

class PyCircleGridLocator : public PyEventLocator {
public:
    using Algo = EventDBSCANCircleGridLocatorAlgo<2, float>;
    PyCircleGridLocator(int grid_cols, int grid_rows, const std::pair<int, int>& sensor_size,
                        const EventDBSCANCircleGridLocatorConfig& config)
        : PyEventLocator(std::make_unique<Algo>(grid_cols, grid_rows, toSize(sensor_size), config)) {}
    explicit PyCircleGridLocator(std::unique_ptr<GridLocatorAlgoBase<EventBased>> made)
        : PyEventLocator(std::move(made)) {}
    Algo& algo() { return static_cast<Algo&>(*impl); }
};

class PyActiveMarkerLocator : public PyEventLocator {
public:
    PyActiveMarkerLocator(int grid_cols, int grid_rows, const std::pair<int, int>& sensor_size,
                          const EventActiveMarkerGridLocatorConfig& config)
        : PyEventLocator(
              std::make_unique<EventActiveMarkerGridLocator>(grid_cols, grid_rows, toSize(sensor_size), config)) {}
    explicit PyActiveMarkerLocator(std::unique_ptr<GridLocatorAlgoBase<EventBased>> made)
        : PyEventLocator(std::move(made)) {}
    EventActiveMarkerGridLocator& algo() { return static_cast<EventActiveMarkerGridLocator&>(*impl); }

    py::array blinkingEvents() {
        std::vector<Event2DFrequency> copy;
        {
            GilFreeLock lock(mutex);
            copy = algo().getBlinkingEvents();
        }
        py::array array(frequencyEventDtype(), {static_cast<py::ssize_t>(copy.size())},
                        {static_cast<py::ssize_t>(sizeof(Event2DFrequency))});
        if (!copy.empty()) std::memcpy(array.mutable_data(), copy.data(), copy.size() * sizeof(Event2DFrequency));
        return array;
    }
};

class PyFrameLocator {
public:
    explicit PyFrameLocator(std::unique_ptr<GridLocatorAlgoBase<FrameBased>> impl_) : impl(std::move(impl_)) {}
    virtual ~PyFrameLocator() = default;

    // 8-bit grey (H, W) or colour (H, W, 3 or 4) frames, read in place.
    void processFrame(const py::handle& object) {
        py::array keep;
        py::array array = py::array::ensure(object);
        if (!array || !array.dtype().is(py::dtype::of<uint8_t>())) {
            throw py::type_error("frame must be a uint8 numpy array of shape (H, W) or (H, W, channels)");
        }
        if (array.ndim() != 2 && !(array.ndim() == 3 && (array.shape(2) == 1 || array.shape(2) == 3 ||
                                                         array.shape(2) == 4))) {
            throw py::value_error("frame must have shape (H, W), (H, W, 1), (H, W, 3) or (H, W, 4)");
        }
        const cv::Mat frame = arrayToMat(array, "frame", &keep);
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex);
        impl->processFrame(frame);
    }

    py::object locateGrid() {
        std::vector<cv::Point2f> centers;
        bool found = false;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex);
            found = impl->locateGrid(centers);
        }
        if (!found) return py::none();
        return points2fArray(centers);
    }

    std::unique_ptr<GridLocatorAlgoBase<FrameBased>> impl;
    std::mutex mutex;
};

template <typename Algo>
class PyFrameLocatorOf : public PyFrameLocator {
public:
    PyFrameLocatorOf(int grid_cols, int grid_rows, const std::pair<int, int>& sensor_size)
        : PyFrameLocator(std::make_unique<Algo>(grid_cols, grid_rows, toSize(sensor_size))) {}
    explicit PyFrameLocatorOf(std::unique_ptr<GridLocatorAlgoBase<FrameBased>> made)
        : PyFrameLocator(std::move(made)) {}
};

using PyChessboardLocator = PyFrameLocatorOf<FrameChessboardGridLocatorAlgo>;
using PySymmetricCirclesLocator = PyFrameLocatorOf<FrameCirclesSymmetricGridLocatorAlgo>;
using PyAsymmetricCirclesLocator = PyFrameLocatorOf<FrameCirclesAsymmetricGridLocatorAlgo>;

// The factory with a checked configuration: the C++ factory takes an untyped pointer, so the
// record's type is checked here against the locator type before it is passed on.
std::unique_ptr<PyEventLocator> createEventLocator(GridLocatorAlgoType type, int grid_cols, int grid_rows,
                                                   const std::pair<int, int>& sensor_size, py::object config) {
    const bool circles = type == EVENT_DBSCAN_CIRCLES_ASYMMETRIC || type == EVENT_DBSCAN_CIRCLES_SYMMETRIC;
    const bool markers = type == EVENT_ACTIVE_MARKER_ASYMMETRIC || type == EVENT_ACTIVE_MARKER_SYMMETRIC;
    void* record = nullptr;
    if (circles && !config.is_none()) {
        if (!py::isinstance<EventDBSCANCircleGridLocatorConfig>(config)) {
            throw py::type_error("GridLocator: this locator type needs an EventDBSCANCircleGridLocatorConfig");
        }
        record = config.cast<EventDBSCANCircleGridLocatorConfig*>();
    } else if (markers && !config.is_none()) {
        if (!py::isinstance<EventActiveMarkerGridLocatorConfig>(config)) {
            throw py::type_error("GridLocator: this locator type needs an EventActiveMarkerGridLocatorConfig");
        }
        record = config.cast<EventActiveMarkerGridLocatorConfig*>();
    }
    std::unique_ptr<GridLocatorAlgoBase<EventBased>> made =
        GridLocator::createEventBasedGridLocator(type, grid_cols, grid_rows, toSize(sensor_size), record);
    if (circles) return std::make_unique<PyCircleGridLocator>(std::move(made));
    return std::make_unique<PyActiveMarkerLocator>(std::move(made));
}

std::unique_ptr<PyFrameLocator> createFrameLocator(GridLocatorAlgoType type, int grid_cols, int grid_rows,
                                                   const std::pair<int, int>& sensor_size) {
    std::unique_ptr<GridLocatorAlgoBase<FrameBased>> made =
        GridLocator::createFrameBasedGridLocator(type, grid_cols, grid_rows, toSize(sensor_size), nullptr);
    switch (type) {
        case FRAME_CHESSBOARD: return std::make_unique<PyChessboardLocator>(std::move(made));
        case FRAME_CIRCLES_SYMMETRIC: return std::make_unique<PySymmetricCirclesLocator>(std::move(made));
        default: return std::make_unique<PyAsymmetricCirclesLocator>(std::move(made));
    }
}

// ---------------------------------------------------------------------------------------
// CalibData as Python values.

template <typename V, typename F>
py::dict mapToDict(const std::unordered_map<int, V>& map, F&& convert) {
    py::dict dict;
    for (const auto& [id, value] : map) dict[py::int_(id)] = convert(value);
    return dict;
}

std::unordered_map<int, cv::Mat> dictToMats(const py::dict& dict, const char* what) {
    std::unordered_map<int, cv::Mat> map;
    for (const auto& [key, value] : dict) map[key.cast<int>()] = arrayToMat(value, what);
    return map;
}

py::list matList(const std::vector<cv::Mat>& mats) {
    py::list list;
    for (const cv::Mat& mat : mats) list.append(matToArray(mat));
    return list;
}

std::vector<cv::Mat> listToMats(const py::iterable& list, const char* what) {
    std::vector<cv::Mat> mats;
    for (const py::handle& item : list) mats.push_back(arrayToMat(item, what));
    return mats;
}

// ---------------------------------------------------------------------------------------
// The Calibrator wrapper.

class PyCalibrator {
public:
    PyCalibrator(GridType grid_type, int grid_cols, int grid_rows, float spacing)
        : calibrator(grid_type, grid_cols, grid_rows, spacing) {}

    // Runs `call` without the GIL, under the mutex, with the thread's std::cerr captured;
    // raises CalibrationError with the captured message when `failed(result)` holds and a
    // message was written (a failure without a message, such as removing an absent camera,
    // returns its sentinel).
    template <typename Call, typename Failed>
    auto run(Call&& call, Failed&& failed) {
        StderrCapture capture;
        decltype(call()) result;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex);
            result = call();
        }
        const std::string message = capture.message();
        if (failed(result) && !message.empty()) throw CalibrationFailure(message);
        capture.forward();
        return result;
    }

    Calibrator calibrator;
    std::mutex mutex;
};

constexpr auto kNegative = [](double value) { return value < 0.0; };
constexpr auto kFalse = [](bool value) { return !value; };
constexpr auto kZero = [](auto value) { return value == 0; };

// Static result-file calls have no calibrator and so no mutex; only the capture.
template <typename Call>
bool runStatic(Call&& call) {
    StderrCapture capture;
    bool ok = false;
    {
        py::gil_scoped_release release;
        ok = call();
    }
    const std::string message = capture.message();
    if (!ok) throw CalibrationFailure(message.empty() ? "Calibrator: the result file call failed" : message);
    capture.forward();
    return ok;
}

py::dict camerasToDict(const Calibrator::CameraMap& cameras) {
    py::dict dict;
    for (const auto& [id, data] : cameras) dict[py::int_(id)] = py::cast(data);
    return dict;
}

Calibrator::CameraMap dictToCameras(const py::dict& dict) {
    Calibrator::CameraMap cameras;
    for (const auto& [key, value] : dict) cameras[key.cast<int>()] = value.cast<CalibData>();
    return cameras;
}

}  // namespace
}  // namespace vireo

void bindCalibration(py::module_& parent) {
    using namespace vireo;
    using namespace pybind11::literals;

    installStderrRouting();

    py::module_ m = parent.def_submodule(
        "calibration",
        "Grid locators for events and frames, grid-centre ordering and the Calibrator with its JSON result file.");

    py::object base_error = py::hasattr(parent, "Error") ? py::object(parent.attr("Error"))
                                                          : py::reinterpret_borrow<py::object>(PyExc_RuntimeError);
    py::register_exception<CalibrationFailure>(m, "CalibrationError", base_error);
    m.attr("CalibrationError").attr("__doc__") =
        "A Calibrator call that failed (unknown camera, missing or unusable data, unreadable result file); "
        "the message is the Calibrator's own.";

    py::enum_<GridType>(m, "GridType", "Layout of a calibration target's world points.")
        .value("SYMMETRIC_GRID", SYMMETRIC_GRID, "rectangular lattice: centre (c, r) at (c, r) * spacing")
        .value("ASYMMETRIC_GRID", ASYMMETRIC_GRID,
               "circle grid with odd rows shifted by half a pitch: (c + (r mod 2) / 2, r / 2) * spacing")
        .export_values();

    py::enum_<GridLocatorAlgoType>(m, "GridLocatorAlgoType", "The grid-locator algorithms of the factory.")
        .value("FRAME_CIRCLES_SYMMETRIC", FRAME_CIRCLES_SYMMETRIC)
        .value("FRAME_CIRCLES_ASYMMETRIC", FRAME_CIRCLES_ASYMMETRIC)
        .value("FRAME_CHESSBOARD", FRAME_CHESSBOARD)
        .value("EVENT_DBSCAN_CIRCLES_ASYMMETRIC", EVENT_DBSCAN_CIRCLES_ASYMMETRIC)
        .value("EVENT_DBSCAN_CIRCLES_SYMMETRIC", EVENT_DBSCAN_CIRCLES_SYMMETRIC)
        .value("EVENT_ACTIVE_MARKER_ASYMMETRIC", EVENT_ACTIVE_MARKER_ASYMMETRIC)
        .value("EVENT_ACTIVE_MARKER_SYMMETRIC", EVENT_ACTIVE_MARKER_SYMMETRIC)
        .export_values();

    m.attr("FREQUENCY_EVENT_DTYPE") = frequencyEventDtype();

    // --- configurations
    using CircleConfig = EventDBSCANCircleGridLocatorConfig;
    py::class_<CircleConfig>(m, "EventDBSCANCircleGridLocatorConfig",
                             "Configuration of the event circle-grid locator; the constructor checks the values.")
        .def(py::init<float, float, float, float, int, uint64_t, int, float, bool>(), "scale_width"_a = 1.0f,
             "scale_height"_a = 1.0f, "scale_time"_a = 1.0f, "eps"_a = 15.0f, "min_pts"_a = 10,
             "max_capacity"_a = std::numeric_limits<uint64_t>::max(), "n_jobs"_a = 0, "fit_error_threshold"_a = 1.0f,
             "is_asymmetric"_a = false,
             "Raises ValueError with the kit's message for a scale, eps, min_pts or fit_error_threshold not above 0 "
             "or an n_jobs below -1.")
        .def_readwrite("scale_width", &CircleConfig::scale_width, "Factor on event x before clustering.")
        .def_readwrite("scale_height", &CircleConfig::scale_height, "Factor on event y before clustering.")
        .def_readwrite("scale_time", &CircleConfig::scale_time, "Factor on the timestamp (3-D variants only).")
        .def_readwrite("eps", &CircleConfig::eps, "DBSCAN radius, scaled units.")
        .def_readwrite("min_pts", &CircleConfig::min_pts, "DBSCAN minimum points of a dense neighbourhood.")
        .def_readwrite("max_capacity", &CircleConfig::max_capacity, "Most points clustered per locate_grid.")
        .def_readwrite("n_jobs", &CircleConfig::n_jobs, "DBSCAN threads: -1 all cores, 0 from the point count.")
        .def_readwrite("fit_error_threshold", &CircleConfig::fit_error_threshold,
                       "Largest accepted mean ellipse-fit error, pixels.")
        .def_readwrite("is_asymmetric", &CircleConfig::is_asymmetric, "The target is an asymmetric circle grid.");

    using MarkerConfig = EventActiveMarkerGridLocatorConfig;
    py::class_<MarkerConfig>(m, "EventActiveMarkerGridLocatorConfig",
                             "Configuration of the active-marker locator; the constructor checks the values.")
        .def(py::init<float, float, float, uint16_t, float, float, uint64_t, uint64_t, uint64_t, double, bool>(),
             "scale_width"_a = 1.0f, "scale_height"_a = 1.0f, "scale_time"_a = 1.0f, "num_periods_threshold"_a = 5,
             "min_freq"_a = 0.0f, "max_freq"_a = 100.0f, "time_diff_tolerance"_a = 1000,
             "max_capacity"_a = std::numeric_limits<uint64_t>::max(), "max_iter"_a = 100, "tol"_a = 0.0001,
             "is_asymmetric"_a = false, "Raises ValueError with the kit's message for a value out of range.")
        .def_readwrite("scale_width", &MarkerConfig::scale_width, "Factor on event x before clustering.")
        .def_readwrite("scale_height", &MarkerConfig::scale_height, "Factor on event y.")
        .def_readwrite("scale_time", &MarkerConfig::scale_time, "Factor on the timestamp.")
        .def_readwrite("num_periods_threshold", &MarkerConfig::num_periods_threshold,
                       "Periods a pixel must blink before it counts.")
        .def_readwrite("min_freq", &MarkerConfig::min_freq, "Lower blinking-frequency bound, Hz.")
        .def_readwrite("max_freq", &MarkerConfig::max_freq, "Upper blinking-frequency bound, Hz.")
        .def_readwrite("time_diff_tolerance", &MarkerConfig::time_diff_tolerance, "Period tolerance, µs.")
        .def_readwrite("max_capacity", &MarkerConfig::max_capacity, "Most points clustered per run.")
        .def_readwrite("max_iter", &MarkerConfig::max_iter, "KMeans iteration limit.")
        .def_readwrite("tol", &MarkerConfig::tol, "KMeans convergence tolerance.")
        .def_readwrite("is_asymmetric", &MarkerConfig::is_asymmetric, "The target is an asymmetric grid.");

    // --- event locators
    const char* process_events_doc =
        "Feeds the events of a numpy Event2D array (processEvents); the GIL is released meanwhile.";
    const char* locate_doc =
        "Searches the grid (locateGrid): the grid_cols x grid_rows centres as a (N, 2) float32 array, row by "
        "row, or None when no complete grid was found. The GIL is released meanwhile.";

    py::class_<PyEventLocator>(m, "EventBasedGridLocator",
                               "Base of the locators fed with events: process_events, then locate_grid.")
        .def("process_events", &PyEventLocator::processEvents, "events"_a, process_events_doc)
        .def("locate_grid", &PyEventLocator::locateGrid, locate_doc)
        .def_property_readonly(
            "grid_cols", [](PyEventLocator& l) { return l.impl->getGridCols(); }, "Circles or markers per row.")
        .def_property_readonly(
            "grid_rows", [](PyEventLocator& l) { return l.impl->getGridRows(); }, "Rows.")
        .def_property_readonly(
            "sensor_size",
            [](PyEventLocator& l) {
                const cv::Size& size = l.impl->getSensorSize();
                return py::make_tuple(size.width, size.height);
            },
            "(width, height) in pixels.");

    py::class_<PyCircleGridLocator, PyEventLocator>(
        m, "EventDBSCANCircleGridLocatorAlgo",
        "Circle-grid locator on events (C++ EventDBSCANCircleGridLocatorAlgo<2, float>): DBSCAN clusters, "
        "ellipse fits and OpenCV's circle-grid detector.")
        .def(py::init<int, int, const std::pair<int, int>&, const CircleConfig&>(), "grid_cols"_a, "grid_rows"_a,
             "sensor_size"_a, "config"_a = CircleConfig(),
             "EventDBSCANCircleGridLocatorAlgo(grid_cols, grid_rows, sensor_size=(width, height), config). Raises "
             "ValueError for a grid below 2 x 2, RuntimeError for the cluster generator's checks.")
        .def(
            "get_current_time",
            [](PyCircleGridLocator& l) {
                GilFreeLock lock(l.mutex);
                return l.algo().getCurrentTime();
            },
            "Timestamp (µs) of the last event fed; 0 before any (getCurrentTime).")
        .def(
            "get_config",
            [](PyCircleGridLocator& l) {
                GilFreeLock lock(l.mutex);
                return l.algo().getConfig();
            },
            "A copy of the locator's configuration (getConfig).");

    py::class_<PyActiveMarkerLocator, PyEventLocator>(
        m, "EventActiveMarkerGridLocator",
        "Locator of a grid of blinking lights on events: blinking-frequency detection, KMeans on the blinking "
        "events and grid-centre ordering.")
        .def(py::init<int, int, const std::pair<int, int>&, const MarkerConfig&>(), "grid_cols"_a, "grid_rows"_a,
             "sensor_size"_a, "config"_a = MarkerConfig(),
             "EventActiveMarkerGridLocator(grid_cols, grid_rows, sensor_size=(width, height), config). Raises what "
             "its parts raise (KMeans' RuntimeError, the orderer's ValueError).")
        .def(
            "get_current_time",
            [](PyActiveMarkerLocator& l) {
                GilFreeLock lock(l.mutex);
                return l.algo().getCurrentTime();
            },
            "Timestamp (µs) of the last event fed; 0 before any (getCurrentTime).")
        .def(
            "get_config",
            [](PyActiveMarkerLocator& l) {
                GilFreeLock lock(l.mutex);
                return l.algo().getConfig();
            },
            "A copy of the locator's configuration (getConfig).")
        .def("get_blinking_events", &PyActiveMarkerLocator::blinkingEvents,
             "The blinking events the detector kept from the last feed, as an array of FREQUENCY_EVENT_DTYPE "
             "(getBlinkingEvents).");

    // --- frame locators
    py::class_<PyFrameLocator>(m, "FrameBasedGridLocator",
                               "Base of the locators fed with frames: process_frame, then locate_grid.")
        .def("process_frame", &PyFrameLocator::processFrame, "frame"_a,
             "Feeds one 8-bit frame, grey (H, W) or colour (H, W, 3), read in place (processFrame); the GIL is "
             "released meanwhile.")
        .def("locate_grid", &PyFrameLocator::locateGrid,
             "The centres found in the last frame as a (N, 2) float32 array, or None (locateGrid). Repeatable.")
        .def_property_readonly(
            "grid_cols", [](PyFrameLocator& l) { return l.impl->getGridCols(); },
            "Circles or inner corners per row.")
        .def_property_readonly(
            "grid_rows", [](PyFrameLocator& l) { return l.impl->getGridRows(); }, "Rows.")
        .def_property_readonly(
            "sensor_size",
            [](PyFrameLocator& l) {
                const cv::Size& size = l.impl->getSensorSize();
                return py::make_tuple(size.width, size.height);
            },
            "(width, height) in pixels (stored, not used).");

    py::class_<PyChessboardLocator, PyFrameLocator>(m, "FrameChessboardGridLocatorAlgo",
                                                    "OpenCV's chessboard detector on each frame.")
        .def(py::init<int, int, const std::pair<int, int>&>(), "grid_cols"_a, "grid_rows"_a,
             "sensor_size"_a = std::pair<int, int>(0, 0),
             "FrameChessboardGridLocatorAlgo(grid_cols, grid_rows, sensor_size): inner corners per row and rows.");
    py::class_<PySymmetricCirclesLocator, PyFrameLocator>(m, "FrameCirclesSymmetricGridLocatorAlgo",
                                                          "OpenCV's symmetric circle-grid detector on each frame.")
        .def(py::init<int, int, const std::pair<int, int>&>(), "grid_cols"_a, "grid_rows"_a,
             "sensor_size"_a = std::pair<int, int>(0, 0),
             "FrameCirclesSymmetricGridLocatorAlgo(grid_cols, grid_rows, sensor_size).");
    py::class_<PyAsymmetricCirclesLocator, PyFrameLocator>(m, "FrameCirclesAsymmetricGridLocatorAlgo",
                                                           "OpenCV's asymmetric circle-grid detector on each frame.")
        .def(py::init<int, int, const std::pair<int, int>&>(), "grid_cols"_a, "grid_rows"_a,
             "sensor_size"_a = std::pair<int, int>(0, 0),
             "FrameCirclesAsymmetricGridLocatorAlgo(grid_cols, grid_rows, sensor_size).");

    py::class_<GridLocator>(m, "GridLocator", "The locator factory.")
        .def_static("create_event_based_grid_locator", &createEventLocator, "type"_a, "grid_cols"_a, "grid_rows"_a,
                    "sensor_size"_a, "config"_a,
                    "An event-fed locator for type 3 to 6 (createEventBasedGridLocator); config must be an "
                    "EventDBSCANCircleGridLocatorConfig for the circle types and an "
                    "EventActiveMarkerGridLocatorConfig for the marker types (TypeError otherwise); its "
                    "is_asymmetric is set from the type. Raises ValueError for a frame type or a missing config.")
        .def_static("create_frame_based_grid_locator", &createFrameLocator, "type"_a, "grid_cols"_a,
                    "grid_rows"_a, "sensor_size"_a = std::pair<int, int>(0, 0),
                    "A frame-fed locator for type 0, 1 or 2 (createFrameBasedGridLocator); ValueError otherwise.");

    // --- grid-centre ordering
    py::class_<GridLocatorUtils>(m, "GridLocatorUtils",
                                 "Picks grid_cols x grid_rows of a set of detected centres in row-major grid order.")
        .def(py::init<int, int, float, bool>(), "grid_cols"_a, "grid_rows"_a, "spacing"_a = 1.0f,
             "is_asymmetric"_a = false,
             "GridLocatorUtils(grid_cols, grid_rows, spacing=1, is_asymmetric=False). Raises ValueError \"Grid "
             "dimensions must be at least 2x2\" or for a spacing that is not a finite number above 0.")
        .def(
            "sort_grid_centers",
            [](GridLocatorUtils& utils, const py::handle& centers) -> py::object {
                const std::vector<cv::Point2f> points = toPoints2f(centers, "centers");
                for (const cv::Point2f& p : points) {
                    if (!std::isfinite(p.x) || !std::isfinite(p.y)) {
                        throw py::value_error("GridLocatorUtils: centers must be finite");
                    }
                }
                std::vector<cv::Point2f> out;
                if (!utils.sortGridCenters(points, out)) return py::none();
                return points2fArray(out);
            },
            "centers"_a,
            "Orders an (N, 2) array of detected centres (sortGridCenters): the grid_cols x grid_rows chosen "
            "centres row by row as a float32 array, or None when no grid can be read from them.")
        .def_property_readonly("grid_cols", &GridLocatorUtils::getGridCols, "Centres per row.")
        .def_property_readonly("grid_rows", &GridLocatorUtils::getGridRows, "Rows.")
        .def_property_readonly("spacing", &GridLocatorUtils::getSpacing, "Unit of the ideal grid.")
        .def_property_readonly("is_asymmetric", &GridLocatorUtils::isAsymmetric, "Asymmetric circle grid.");

    // --- per-camera data
    py::class_<CalibData>(m, "CalibData",
                          "What the Calibrator keeps per camera; every attribute reads and writes a copy.")
        .def(py::init<>(), "An empty record: no serial, a 0 x 0 frame size, nothing calibrated.")
        .def_readwrite("camera_serial", &CalibData::camera_serial, "The serial given to add_camera.")
        .def_property(
            "frame_size", [](const CalibData& d) { return py::make_tuple(d.frame_size.width, d.frame_size.height); },
            [](CalibData& d, const std::pair<int, int>& size) { d.frame_size = toSize(size); },
            "Image size (width, height), pixels.")
        .def_property(
            "grid_points",
            [](const CalibData& d) {
                py::list list;
                for (const auto& frame : d.grid_points) list.append(points2fArray(frame));
                return list;
            },
            [](CalibData& d, const py::iterable& frames) {
                d.grid_points.clear();
                for (const py::handle& frame : frames) d.grid_points.push_back(toPoints2f(frame, "grid_points"));
            },
            "Per stored frame an (N, 2) float32 array in world-point order.")
        .def_property(
            "camera_matrix", [](const CalibData& d) { return matToArray(d.camera_matrix); },
            [](CalibData& d, const py::handle& a) { d.camera_matrix = arrayToMat(a, "camera_matrix"); },
            "3 x 3 float64 once calibrated.")
        .def_property(
            "dist_coeffs", [](const CalibData& d) { return matToArray(d.dist_coeffs); },
            [](CalibData& d, const py::handle& a) { d.dist_coeffs = arrayToMat(a, "dist_coeffs"); },
            "Distortion coefficients as OpenCV gives them.")
        .def_readwrite("is_calibrated", &CalibData::is_calibrated, "Whether the intrinsics are computed.")
        .def_property(
            "translation_vectors", [](const CalibData& d) { return matList(d.translation_vectors); },
            [](CalibData& d, const py::iterable& l) { d.translation_vectors = listToMats(l, "translation_vectors"); },
            "Per frame of the last calibration, 3 x 1.")
        .def_property(
            "rotation_vectors", [](const CalibData& d) { return matList(d.rotation_vectors); },
            [](CalibData& d, const py::iterable& l) { d.rotation_vectors = listToMats(l, "rotation_vectors"); },
            "Per frame of the last calibration, Rodrigues vectors 3 x 1.")
        .def_property(
            "rotation", [](const CalibData& d) { return mapToDict(d.rotation, matToArray); },
            [](CalibData& d, const py::dict& m_) { d.rotation = dictToMats(m_, "rotation"); },
            "Stereo rotation towards each other camera id, 3 x 3.")
        .def_property(
            "translation", [](const CalibData& d) { return mapToDict(d.translation, matToArray); },
            [](CalibData& d, const py::dict& m_) { d.translation = dictToMats(m_, "translation"); },
            "Stereo translation towards each other camera id, 3 x 1.")
        .def_readwrite("affine_scale", &CalibData::affine_scale, "Affine scale towards each other camera id.")
        .def_property(
            "affine_rotation", [](const CalibData& d) { return mapToDict(d.affine_rotation, matToArray); },
            [](CalibData& d, const py::dict& m_) { d.affine_rotation = dictToMats(m_, "affine_rotation"); },
            "Affine rotation towards each other camera id, 2 x 2.")
        .def_property(
            "affine_translation", [](const CalibData& d) { return mapToDict(d.affine_translation, matToArray); },
            [](CalibData& d, const py::dict& m_) { d.affine_translation = dictToMats(m_, "affine_translation"); },
            "Affine translation towards each other camera id, 2 x 1.")
        .def_readwrite("frame_ids", &CalibData::frame_ids, "The caller's number of each stored frame.");

    // --- calibrator
    py::class_<PyCalibrator>(m, "Calibrator",
                             "Intrinsic, stereo and affine calibration from located grid points, with a JSON result "
                             "file. Calls that the C++ Calibrator refuses with a message raise CalibrationError "
                             "with that message.")
        .def(py::init<GridType, int, int, float>(), "grid_type"_a, "grid_cols"_a, "grid_rows"_a, "spacing"_a,
             "Calibrator(grid_type, grid_cols, grid_rows, spacing). Raises ValueError for a spacing that is not a "
             "finite number above 0 or a grid below 2 x 2.")
        .def_static(
            "get_grid_world_points",
            [](GridType type, int cols, int rows, float spacing) {
                std::vector<cv::Point3f> points;
                Calibrator::getGridWorldPoints(type, cols, rows, spacing, points);
                return points3fArray(points);
            },
            "grid_type"_a, "grid_cols"_a, "grid_rows"_a, "spacing"_a,
            "The target's centres as a (grid_cols * grid_rows, 3) float32 array, row by row, z = 0 "
            "(getGridWorldPoints).")
        .def(
            "add_camera",
            [](PyCalibrator& c, const std::pair<int, int>& size, const std::string& serial) {
                return c.run([&] { return c.calibrator.addCamera(toSize(size), serial); },
                             [](int id) { return id < 0; });
            },
            "frame_size"_a, "serial"_a = "", "Adds a camera with the image size (width, height); returns its id.")
        .def(
            "remove_camera",
            [](PyCalibrator& c, int id) {
                return c.run([&] { return c.calibrator.removeCamera(id); }, kFalse);
            },
            "id"_a, "Removes a camera; False when there is none (removeCamera).")
        .def(
            "clear", [](PyCalibrator& c, int id) { return c.run([&] { return c.calibrator.clear(id); }, kFalse); },
            "id"_a, "Drops a camera's frames, calibration and pair results (clear).")
        .def(
            "insert_grid_points",
            [](PyCalibrator& c, int id, int frame_id, const py::handle& points) {
                const std::vector<cv::Point2f> grid = toPoints2f(points, "grid_points");
                return c.run([&] { return c.calibrator.insertGridPoints(id, frame_id, grid); }, kFalse);
            },
            "id"_a, "frame_id"_a, "grid_points"_a,
            "Stores one frame's located centres, an (N, 2) array in world-point order, under the caller's frame "
            "number (insertGridPoints). CalibrationError for a wrong point count or non-finite points.")
        .def(
            "get_grid_pattern_count",
            [](PyCalibrator& c, int id) {
                return c.run([&] { return c.calibrator.getGridPatternCount(id); }, kZero);
            },
            "id"_a, "Number of stored frames (getGridPatternCount).")
        .def(
            "calibrate",
            [](PyCalibrator& c, int id) { return c.run([&] { return c.calibrator.calibrate(id); }, kNegative); },
            "id"_a, "Intrinsic calibration on every stored frame; returns the RMS reprojection error, pixels "
                    "(calibrate). The GIL is released meanwhile.")
        .def(
            "refined_calibrate",
            [](PyCalibrator& c, int id) {
                return c.run([&] { return c.calibrator.refinedCalibrate(id); }, kNegative);
            },
            "id"_a,
            "Drops frames whose error exceeds the mean by more than two standard deviations and re-calibrates; "
            "returns the new RMS, pixels (refinedCalibrate).")
        .def(
            "calibrate_stereo",
            [](PyCalibrator& c, int a, int b) {
                return c.run([&] { return c.calibrator.calibrateStereo(a, b); }, kNegative);
            },
            "id_a"_a, "id_b"_a,
            "Rigid transform from camera a to camera b over their common frames; returns the RMS, pixels "
            "(calibrateStereo).")
        .def(
            "calibrate_affine",
            [](PyCalibrator& c, int a, int b) {
                return c.run([&] { return c.calibrator.calibrateAffine(a, b); }, kNegative);
            },
            "id_a"_a, "id_b"_a,
            "Similarity x_b = s R x_a + T between the image planes; returns the RMS distance, pixels "
            "(calibrateAffine).")
        .def(
            "get_common_frame_count",
            [](PyCalibrator& c, int a, int b) {
                return c.run([&] { return c.calibrator.getCommonFrameCount(a, b); }, kZero);
            },
            "id_a"_a, "id_b"_a, "Number of frame pairs with equal frame numbers (getCommonFrameCount).")
        .def(
            "get_intrinsics",
            [](PyCalibrator& c, int id) {
                cv::Mat k, d;
                c.run([&] { return c.calibrator.getIntrinsics(id, k, d); }, kFalse);
                return py::make_tuple(matToArray(k), matToArray(d));
            },
            "id"_a, "(camera_matrix, dist_coeffs) as float64 arrays; calibrates on demand (getIntrinsics).")
        .def(
            "get_extrinsics",
            [](PyCalibrator& c, int a, int b) {
                cv::Mat r, t;
                c.run([&] { return c.calibrator.getExtrinsics(a, b, r, t); }, kFalse);
                return py::make_tuple(matToArray(r), matToArray(t));
            },
            "id_a"_a, "id_b"_a, "(rotation 3 x 3, translation 3 x 1) from camera a to camera b (getExtrinsics).")
        .def(
            "get_affine_matrix",
            [](PyCalibrator& c, int a, int b) {
                cv::Mat r, t;
                double scale = 0.0;
                c.run([&] { return c.calibrator.getAffineMatrix(a, b, r, t, scale); }, kFalse);
                return py::make_tuple(matToArray(r), matToArray(t), scale);
            },
            "id_a"_a, "id_b"_a, "(rotation 2 x 2, translation 2 x 1, scale) of the affine pair (getAffineMatrix).")
        .def(
            "get_affine_matrix_2x3",
            [](PyCalibrator& c, int a, int b) {
                cv::Mat matrix;
                c.run([&] { return c.calibrator.getAffineMatrix(a, b, matrix); }, kFalse);
                return matToArray(matrix);
            },
            "id_a"_a, "id_b"_a, "The affine pair result as one 2 x 3 float32 matrix [s R | T] (getAffineMatrix).")
        .def(
            "get_reprojection_error",
            [](PyCalibrator& c, int id) {
                return c.run([&] { return c.calibrator.getReprojectionError(id); },
                             [](double e) { return e == 0.0; });
            },
            "id"_a, "RMS point error (pixels) over the frames of the last calibration (getReprojectionError).")
        .def_static(
            "get_pose_reprojection_error",
            [](const py::handle& world, const py::handle& rvec, const py::handle& tvec, const py::handle& k,
               const py::handle& d, const py::handle& image) {
                const std::vector<cv::Point3f> w = toPoints3f(world, "world_points");
                const std::vector<cv::Point2f> i = toPoints2f(image, "image_points");
                if (w.size() != i.size()) {
                    throw py::value_error("world_points and image_points must have the same number of points");
                }
                const cv::Mat r = arrayToMat(rvec, "rvec"), t = arrayToMat(tvec, "tvec");
                const cv::Mat km = arrayToMat(k, "camera_matrix"), dm = arrayToMat(d, "dist_coeffs");
                py::gil_scoped_release release;
                return Calibrator::getReprojectionError(w, r, t, km, dm, i);
            },
            "world_points"_a, "rvec"_a, "tvec"_a, "camera_matrix"_a, "dist_coeffs"_a, "image_points"_a,
            "L2 norm of the differences between image_points and the projection of world_points with the pose "
            "and intrinsics, pixels (the static getReprojectionError).")
        .def(
            "save_calibration_result_to_json",
            [](PyCalibrator& c, const std::string& path) {
                return c.run([&] { return c.calibrator.saveCalibrationResultToJson(path); }, kFalse);
            },
            "path"_a, "Writes every calibrated camera to the JSON result file (saveCalibrationResultToJson).")
        .def(
            "load_calibration_result_from_json",
            [](PyCalibrator& c, const std::string& path) {
                const bool ok = c.run([&] { return c.calibrator.loadCalibrationResultFromJson(path); }, kFalse);
                if (!ok) throw CalibrationFailure("Calibrator: could not load " + path);
                return ok;
            },
            "path"_a,
            "Replaces the cameras with those of the result file (loadCalibrationResultFromJson); on failure the "
            "calibrator is unchanged and CalibrationError is raised.")
        .def_static(
            "save_camera_map_to_json",
            [](const py::dict& cameras, const std::string& path) {
                const Calibrator::CameraMap map = dictToCameras(cameras);
                return runStatic([&] { return Calibrator::saveCalibrationResultToJson(map, path); });
            },
            "cameras"_a, "path"_a,
            "Writes a {id: CalibData} dict as a result file (the static saveCalibrationResultToJson).")
        .def_static(
            "load_camera_map_from_json",
            [](const std::string& path) {
                Calibrator::CameraMap map;
                runStatic([&] { return Calibrator::loadCalibrationResultFromJson(map, path); });
                return camerasToDict(map);
            },
            "path"_a, "Reads a result file into a {id: CalibData} dict (the static loadCalibrationResultFromJson).")
        .def(
            "get_cameras",
            [](PyCalibrator& c) {
                Calibrator::CameraMap copy;
                {
                    py::gil_scoped_release release;
                    std::lock_guard<std::mutex> lock(c.mutex);
                    copy = c.calibrator.getCameras();
                }
                return camerasToDict(copy);
            },
            "Every camera by id as a {id: CalibData} dict of copies (getCameras).")
        .def_property_readonly(
            "grid_cols", [](PyCalibrator& c) { return c.calibrator.getGridCols(); }, "Centres per row.")
        .def_property_readonly(
            "grid_rows", [](PyCalibrator& c) { return c.calibrator.getGridRows(); }, "Rows.")
        .def_property_readonly(
            "spacing", [](PyCalibrator& c) { return c.calibrator.getSpacing(); }, "Distance between neighbours.")
        .def_property_readonly(
            "grid_type", [](PyCalibrator& c) { return c.calibrator.getGridType(); }, "The target layout.")
        .def(
            "get_world_points", [](PyCalibrator& c) { return points3fArray(c.calibrator.getWorldPoints()); },
            "The target's world points as a (N, 3) float32 array (getWorldPoints).");
}
