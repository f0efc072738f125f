// Python bindings of the clustering library: DBSCAN and KMeans on (N, 2) or (N, 3) numpy
// arrays, the DBSCAN-, KMeans- and grid-based event cluster generators fed with event arrays,
// ClusterGeometry and the distance-based matcher.
//
// The C++ classes are templates over the dimension (2 or 3) and the scalar type (float or
// double). A Python object holds one instance per combination it has been used with (the
// algorithms) or the one chosen at construction (the generators), so that its working
// buffers are reused from run to run. Points are copied once, without the GIL, into the
// vector the C++ code reads; results come back as numpy arrays, never one object per point.
// Every object serialises its own calls with a mutex, taken after the GIL is released, so
// that two Python threads sharing one object cannot run it concurrently.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <vireo/ClusterGenerators.h>
#include <vireo/ClusterGeometry.h>
#include <vireo/DBSCAN.h>
#include <vireo/GridBasedClusterGenerator.h>
#include <vireo/KMeans.h>
#include <vireo/SharedTypes.h>

#include "Bindings.h"
#include "EventArrays.h"

namespace py = pybind11;

namespace vireo {
namespace {

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
// Points: numpy (N, D) arrays to KDPoint vectors and back.

// A points argument checked and converted to a C-contiguous array of float or double.
struct PointsArray {
    py::array array;  // float32 or float64, C order, shape (N, dims)
    int dims = 0;
    bool is_double = false;
    size_t count = 0;
};

std::string shapeText(const py::array& array) {
    std::ostringstream text;
    text << '(';
    for (py::ssize_t i = 0; i < array.ndim(); ++i) text << (i ? ", " : "") << array.shape(i);
    text << (array.ndim() == 1 ? ",)" : ")");
    return text.str();
}

// float32 stays single precision and float64 double; other integer or float types (float16,
// integers) are converted to float64. Anything else is refused.
PointsArray toPointsArray(const py::handle& object, const char* what) {
    py::array array = py::array::ensure(object);
    if (!array) throw py::type_error(std::string(what) + " must be a numpy array of shape (N, 2) or (N, 3)");
    if (array.ndim() != 2 || (array.shape(1) != 2 && array.shape(1) != 3)) {
        throw py::value_error(std::string(what) + " must have shape (N, 2) or (N, 3), got " + shapeText(array));
    }
    const char kind = array.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u') {
        throw py::type_error(std::string(what) + " must hold real numbers (float32 or float64), got dtype " +
                             std::string(py::str(py::handle(array.dtype()))));
    }
    PointsArray result;
    result.dims = static_cast<int>(array.shape(1));
    result.count = static_cast<size_t>(array.shape(0));
    if (array.dtype().is(py::dtype::of<float>())) {
        result.array = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(array);
    } else {
        result.array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
        result.is_double = true;
    }
    if (!result.array) throw py::type_error(std::string(what) + " could not be converted to a float array");
    return result;
}

// Copies the rows into `points`; call without the GIL. A coordinate that is NaN or infinite
// is refused: the KD-tree's splits assume ordered coordinates.
template <int D, typename T>
void copyPoints(const PointsArray& input, std::vector<KDPoint<D, T>>& points, const char* what) {
    const T* data = static_cast<const T*>(input.array.data());
    points.resize(input.count);
    for (size_t i = 0; i < input.count; ++i) {
        for (int d = 0; d < D; ++d) {
            const T value = data[i * D + d];
            if (!std::isfinite(value)) {
                throw std::invalid_argument(std::string(what) + ": row " + std::to_string(i) +
                                            " holds a coordinate that is not finite");
            }
            points[i].coords[d] = value;
        }
    }
}

// Calls f.template operator()<D, T>() for the dimension and precision of the input.
template <typename F>
decltype(auto) dispatch(int dims, bool is_double, F&& f) {
    if (dims == 2) {
        if (is_double) return f.template operator()<2, double>();
        return f.template operator()<2, float>();
    }
    if (is_double) return f.template operator()<3, double>();
    return f.template operator()<3, float>();
}

py::array_t<int64_t> indexArray(const std::vector<size_t>& indices) {
    py::array_t<int64_t> array(static_cast<py::ssize_t>(indices.size()));
    int64_t* out = array.mutable_data();
    for (size_t i = 0; i < indices.size(); ++i) out[i] = static_cast<int64_t>(indices[i]);
    return array;
}

py::list clusterList(const std::vector<std::vector<size_t>>& clusters) {
    py::list list;
    for (const std::vector<size_t>& members : clusters) list.append(indexArray(members));
    return list;
}

// Boxes as a (clusters, 2 D) array: the minimum of every coordinate, then every extent.
template <int D, typename T>
py::array_t<T> boxArray(const std::vector<std::vector<T>>& boxes) {
    py::array_t<T> array({static_cast<py::ssize_t>(boxes.size()), static_cast<py::ssize_t>(2 * D)});
    T* out = array.mutable_data();
    for (size_t c = 0; c < boxes.size(); ++c) {
        for (int i = 0; i < 2 * D; ++i) out[c * 2 * D + i] = boxes[c][i];
    }
    return array;
}

// One label per point: the cluster index, -1 for a point in no cluster.
py::array_t<int64_t> labelArray(const std::vector<std::vector<size_t>>& clusters, size_t count) {
    py::array_t<int64_t> array(static_cast<py::ssize_t>(count));
    int64_t* out = array.mutable_data();
    std::fill(out, out + count, int64_t{-1});
    for (size_t c = 0; c < clusters.size(); ++c) {
        for (size_t index : clusters[c]) out[index] = static_cast<int64_t>(c);
    }
    return array;
}

template <int D, typename T>
py::array_t<T> pointArray(const std::vector<KDPoint<D, T>>& points) {
    py::array_t<T> array({static_cast<py::ssize_t>(points.size()), static_cast<py::ssize_t>(D)});
    T* out = array.mutable_data();
    for (size_t i = 0; i < points.size(); ++i) {
        for (int d = 0; d < D; ++d) out[i * D + d] = points[i].coords[d];
    }
    return array;
}

// An events argument as an array of the Event2D dtype. numpy drops the padding of a
// structured dtype in some operations (np.concatenate of two event arrays gives a packed
// 13-byte x, y, p, t record); such an array is converted, by one copy, rather than refused.
// Anything else is left to the dtype check of spanOf.
py::array eventArray(const py::handle& events) {
    py::array array = py::array::ensure(events);
    if (!array) throw py::type_error("events must be a numpy array of the Event2D dtype (x, y, p, t)");
    const py::dtype wanted = python::event2dDtype();
    if (!array.dtype().is(wanted) && !array.dtype().equal(wanted) && py::hasattr(array.dtype(), "names") &&
        py::object(array.dtype().attr("names")).equal(py::make_tuple("x", "y", "p", "t"))) {
        array = array.attr("astype")(wanted);
    }
    return array;
}

// ---------------------------------------------------------------------------------------
// DBSCAN and KMeans: one C++ instance per (dimension, precision), created on first use.

template <template <int, typename> class Algo>
using Instances = std::tuple<std::unique_ptr<Algo<2, float>>, std::unique_ptr<Algo<2, double>>,
                             std::unique_ptr<Algo<3, float>>, std::unique_ptr<Algo<3, double>>>;

class PyDBSCAN {
public:
    PyDBSCAN(double eps_, int min_pts_) : eps(eps_), min_pts(min_pts_) {}

    double getEps() const { return eps; }
    int getMinPts() const { return min_pts; }

    // (clusters, boxes) of one run; see the docstring below.
    py::tuple generate(const py::handle& object, int n_jobs) {
        const PointsArray input = toPointsArray(object, "DBSCAN: points");
        const unsigned char jobs = checkedJobs(n_jobs);
        return dispatch(input.dims, input.is_double, [&]<int D, typename T>() {
            std::vector<std::vector<size_t>> clusters;
            std::vector<std::vector<T>> boxes;
            run<D, T>(input, jobs, clusters, boxes);
            return py::make_tuple(clusterList(clusters), boxArray<D, T>(boxes));
        });
    }

    py::array_t<int64_t> labels(const py::handle& object, int n_jobs) {
        const PointsArray input = toPointsArray(object, "DBSCAN: points");
        const unsigned char jobs = checkedJobs(n_jobs);
        return dispatch(input.dims, input.is_double, [&]<int D, typename T>() {
            std::vector<std::vector<size_t>> clusters;
            std::vector<std::vector<T>> boxes;
            run<D, T>(input, jobs, clusters, boxes);
            return labelArray(clusters, input.count);
        });
    }

private:
    // 0 goes through so that the kit's own check reports it; the C++ count is one byte.
    static unsigned char checkedJobs(int n_jobs) {
        if (n_jobs < 0 || n_jobs > 255) {
            throw py::value_error("DBSCAN: n_jobs must be between 1 and 255, got " + std::to_string(n_jobs));
        }
        return static_cast<unsigned char>(n_jobs);
    }

    template <int D, typename T>
    void run(const PointsArray& input, unsigned char jobs, std::vector<std::vector<size_t>>& clusters,
             std::vector<std::vector<T>>& boxes) {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex);
        auto& instance = std::get<std::unique_ptr<DBSCAN<D, T>>>(instances);
        if (!instance) instance = std::make_unique<DBSCAN<D, T>>(eps, min_pts);
        std::vector<KDPoint<D, T>>& points = std::get<std::vector<KDPoint<D, T>>>(scratch_points);
        copyPoints<D, T>(input, points, "DBSCAN: points");
        instance->generateClustersMultiThread(points, clusters, boxes, jobs);
    }

    double eps;
    int min_pts;
    std::mutex mutex;
    Instances<DBSCAN> instances;
    std::tuple<std::vector<KDPoint<2, float>>, std::vector<KDPoint<2, double>>, std::vector<KDPoint<3, float>>,
               std::vector<KDPoint<3, double>>>
        scratch_points;
};

class PyKMeans {
public:
    // The C++ constructor checks the arguments; one instance is built here for that, and
    // kept for 2-D float input.
    PyKMeans(size_t k_, size_t max_iter_, double tol_) : k(k_), max_iter(max_iter_), tol(tol_) {
        std::get<std::unique_ptr<KMeans<2, float>>>(instances) = std::make_unique<KMeans<2, float>>(k, max_iter, tol);
    }

    py::tuple generate(const py::handle& object) {
        const PointsArray input = toPointsArray(object, "KMeans: points");
        return dispatch(input.dims, input.is_double, [&]<int D, typename T>() {
            std::vector<std::vector<size_t>> clusters;
            std::vector<std::vector<T>> boxes;
            run<D, T>(input, clusters, boxes);
            return py::make_tuple(clusterList(clusters), boxArray<D, T>(boxes));
        });
    }

    py::array_t<int64_t> labels(const py::handle& object) {
        const PointsArray input = toPointsArray(object, "KMeans: points");
        return dispatch(input.dims, input.is_double, [&]<int D, typename T>() {
            std::vector<std::vector<size_t>> clusters;
            std::vector<std::vector<T>> boxes;
            run<D, T>(input, clusters, boxes);
            return labelArray(clusters, input.count);
        });
    }

    // Centroids of the last run, in the precision and dimension of its points.
    py::array centroids() {
        int dims = 0;
        bool is_double = false;
        std::vector<double> flat;
        {
            GilFreeLock lock(mutex);
            dims = last_dims;
            is_double = last_double;
            if (dims != 0) {
                dispatch(dims, is_double, [&]<int D, typename T>() {
                    std::vector<KDPoint<D, T>> values;
                    std::get<std::unique_ptr<KMeans<D, T>>>(instances)->getCentroids(values);
                    for (const auto& c : values) flat.insert(flat.end(), c.coords.begin(), c.coords.end());
                });
            }
        }
        if (dims == 0) return py::array_t<float>(std::vector<py::ssize_t>{0, 2});
        py::array_t<double> array({static_cast<py::ssize_t>(flat.size() / dims), static_cast<py::ssize_t>(dims)});
        std::copy(flat.begin(), flat.end(), array.mutable_data());
        return is_double ? py::array(array) : py::array(array.attr("astype")(py::dtype::of<float>()));
    }

    py::array_t<int64_t> sizes() {
        std::vector<size_t> values;
        {
            GilFreeLock lock(mutex);
            if (last_dims != 0) {
                dispatch(last_dims, last_double, [&]<int D, typename T>() {
                    std::get<std::unique_ptr<KMeans<D, T>>>(instances)->getNumPointsPerCluster(values);
                });
            }
        }
        return indexArray(values);
    }

    bool setClusterNumber(size_t value) {
        if (value == 0) return false;
        GilFreeLock lock(mutex);
        k = value;
        std::apply([&](auto&... instance) { ((instance ? (void)instance->setClusterNumber(value) : void()), ...); },
                   instances);
        return true;
    }

    size_t getClusterNumber() const { return k; }

private:
    template <int D, typename T>
    void run(const PointsArray& input, std::vector<std::vector<size_t>>& clusters, std::vector<std::vector<T>>& boxes) {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex);
        auto& instance = std::get<std::unique_ptr<KMeans<D, T>>>(instances);
        if (!instance) instance = std::make_unique<KMeans<D, T>>(k, max_iter, tol);
        std::vector<KDPoint<D, T>> points;
        copyPoints<D, T>(input, points, "KMeans: points");
        instance->generateClusters(points, clusters, boxes);
        last_dims = D;
        last_double = std::is_same_v<T, double>;
    }

    size_t k;
    size_t max_iter;
    double tol;
    std::mutex mutex;
    Instances<KMeans> instances;
    int last_dims = 0;
    bool last_double = false;
};

// ---------------------------------------------------------------------------------------
// Event cluster generators: dimension and precision fixed at construction.

struct GeneratorKind {
    int dims = 2;
    bool is_double = false;
};

GeneratorKind generatorKind(int dimensions, const py::object& dtype, const char* name) {
    if (dimensions != 2 && dimensions != 3) {
        throw py::value_error(std::string(name) + ": dimensions must be 2 or 3, got " + std::to_string(dimensions));
    }
    const py::dtype type = py::dtype::from_args(dtype);
    GeneratorKind kind;
    kind.dims = dimensions;
    if (type.is(py::dtype::of<double>())) {
        kind.is_double = true;
    } else if (!type.is(py::dtype::of<float>())) {
        throw py::value_error(std::string(name) + ": dtype must be float32 or float64, got " +
                              std::string(py::str(py::handle(type))));
    }
    return kind;
}

py::dtype kindDtype(const GeneratorKind& kind) {
    return kind.is_double ? py::dtype::of<double>() : py::dtype::of<float>();
}

template <template <int, typename> class Gen>
using GeneratorVariant = std::variant<std::unique_ptr<Gen<2, float>>, std::unique_ptr<Gen<2, double>>,
                                      std::unique_ptr<Gen<3, float>>, std::unique_ptr<Gen<3, double>>>;

// Shared part of the DBSCAN- and KMeans-based generators.
template <template <int, typename> class Gen>
class PyEventGenerator {
public:
    void addEvents(const py::handle& events) {
        const py::array array = eventArray(events);
        const std::span<const Event2D> span = python::spanOf<Event2D>(array);
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex);
        visit([&](auto& generator) { generator.addEvents(span.data(), span.data() + span.size()); });
    }

    std::vector<ClusterGeometry> generateClusters(size_t timestamp) {
        std::vector<ClusterGeometry> clusters;
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex);
        visit([&](auto& generator) { generator.generateClusters(timestamp, clusters); });
        return clusters;
    }

    void reset() {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex);
        visit([&](auto& generator) { generator.reset(); });
    }

    void setMaxCapacity(size_t max_capacity) {
        GilFreeLock lock(mutex);
        visit([&](auto& generator) { generator.setMaxCapacity(max_capacity); });
    }

    // One (members, D) array per cluster of the last run.
    py::list clusterPoints(bool unscale) {
        py::list list;
        std::visit(
            [&]<int D, typename T>(std::unique_ptr<Gen<D, T>>& generator) {
                std::vector<std::vector<KDPoint<D, T>>> points;
                {
                    py::gil_scoped_release release;
                    std::lock_guard<std::mutex> lock(mutex);
                    generator->getClusterPoints(points, unscale);
                }
                for (const auto& cluster : points) list.append(pointArray<D, T>(cluster));
            },
            generator_variant);
        return list;
    }

    int sensorWidth() {
        int value = 0;
        visit([&](auto& generator) { value = generator.getSensorWidth(); });
        return value;
    }
    int sensorHeight() {
        int value = 0;
        visit([&](auto& generator) { value = generator.getSensorHeight(); });
        return value;
    }
    int dimensions() const { return kind.dims; }
    py::dtype dtype() const { return kindDtype(kind); }

protected:
    template <typename F>
    void visit(F&& f) {
        std::visit([&](auto& generator) { f(*generator); }, generator_variant);
    }

    GeneratorKind kind;
    std::mutex mutex;
    GeneratorVariant<Gen> generator_variant;
};

class PyDBSCANGenerator : public PyEventGenerator<DBSCANBasedClusterGenerator> {
public:
    PyDBSCANGenerator(int sensor_width, int sensor_height, double eps, int min_pts, int n_jobs, float scale_width,
                      float scale_height, float scale_time, EventFilterType filter_type,
                      std::optional<size_t> max_capacity, int dimensions, const py::object& dtype) {
        kind = generatorKind(dimensions, dtype, "DBSCANBasedClusterGenerator");
        const size_t capacity = max_capacity.value_or(std::numeric_limits<size_t>::max());
        dispatch(kind.dims, kind.is_double, [&]<int D, typename T>() {
            generator_variant = std::make_unique<DBSCANBasedClusterGenerator<D, T>>(
                sensor_width, sensor_height, scale_width, scale_height, scale_time, filter_type, capacity, eps,
                min_pts, n_jobs);
        });
    }
};

class PyKMeansGenerator : public PyEventGenerator<KMeansBasedClusterGenerator> {
public:
    PyKMeansGenerator(int sensor_width, int sensor_height, size_t k_clusters, size_t max_iter, double tol,
                      float scale_width, float scale_height, float scale_time, EventFilterType filter_type,
                      std::optional<size_t> max_capacity, int dimensions, const py::object& dtype) {
        kind = generatorKind(dimensions, dtype, "KMeansBasedClusterGenerator");
        const size_t capacity = max_capacity.value_or(std::numeric_limits<size_t>::max());
        dispatch(kind.dims, kind.is_double, [&]<int D, typename T>() {
            generator_variant = std::make_unique<KMeansBasedClusterGenerator<D, T>>(
                sensor_width, sensor_height, scale_width, scale_height, scale_time, filter_type, capacity,
                k_clusters, max_iter, tol);
        });
    }

    void setClusterNumber(size_t k) {
        GilFreeLock lock(mutex);
        visit([&](auto& generator) { generator.setClusterNumber(k); });
    }

    py::array_t<int64_t> clusterSizes() {
        std::vector<size_t> sizes;
        {
            GilFreeLock lock(mutex);
            visit([&](auto& generator) { generator.getClusterSizes(sizes); });
        }
        return indexArray(sizes);
    }

    py::array clusterCentroids() {
        return std::visit(
            [&]<int D, typename T>(std::unique_ptr<KMeansBasedClusterGenerator<D, T>>& generator) -> py::array {
                std::vector<KDPoint<D, T>> centroids;
                {
                    GilFreeLock lock(mutex);
                    generator->getClusterCentroids(centroids);
                }
                return pointArray<D, T>(centroids);
            },
            generator_variant);
    }
};

// The grid generator is not a template; it is wrapped only to serialise its calls.
class PyGridGenerator {
public:
    PyGridGenerator(int sensor_width, int sensor_height, int cell_width, int cell_height, int max_size, int min_size,
                    EventFilterType filter_type, bool flag, uint16_t activation_threshold)
        : generator(sensor_width, sensor_height, cell_width, cell_height, max_size, min_size, filter_type, flag,
                    activation_threshold) {}

    void addEvents(const py::handle& events) {
        const py::array array = eventArray(events);
        const std::span<const Event2D> span = python::spanOf<Event2D>(array);
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex);
        generator.addEvents(span.data(), span.data() + span.size());
    }

    std::vector<ClusterGeometry> generateClusters(size_t timestamp) {
        std::vector<ClusterGeometry> clusters;
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex);
        generator.generateClusters(timestamp, clusters);
        return clusters;
    }

    void reset() {
        GilFreeLock lock(mutex);
        generator.reset();
    }

    // A (height, width) uint8 copy of the activity map.
    py::array_t<uint8_t> activeMap() {
        cv::Mat copy;
        {
            GilFreeLock lock(mutex);
            cv::Mat map;
            generator.getActiveMap(map);
            copy = map.clone();
        }
        py::array_t<uint8_t> array({static_cast<py::ssize_t>(copy.rows), static_cast<py::ssize_t>(copy.cols)});
        if (!copy.empty()) std::memcpy(array.mutable_data(), copy.data, copy.total());
        return array;
    }

    GridBasedClusterGenerator generator;
    std::mutex mutex;
};

// ---------------------------------------------------------------------------------------
// The matcher: the Python callback sees the caller's own ClusterGeometry objects.

class PyMatcher {
public:
    PyMatcher(float max_distance, float max_size_difference) : matcher(max_distance, max_size_difference) {}

    void setCallback(py::object callback) {
        if (!callback.is_none() && !PyCallable_Check(callback.ptr())) {
            throw py::type_error("DistanceBasedClusterMatcher: the match callback must be callable or None");
        }
        python_callback = std::move(callback);
    }

    // The clusters are copied in; after each accepted pair the callback gets the Python
    // objects of both lists, and whatever it changed in them is copied back so that the
    // matcher sees it, as the C++ callback's references would. Each call runs a copy of the
    // matcher with its own callback: the callback may let another Python thread in, which
    // may call this matcher too, and an exception from the callback leaves nothing behind.
    size_t match(py::list first, py::list second, int tag) {
        std::vector<ClusterGeometry> a = first.cast<std::vector<ClusterGeometry>>();
        std::vector<ClusterGeometry> b = second.cast<std::vector<ClusterGeometry>>();
        DistanceBasedClusterMatcher run = matcher;
        if (!python_callback.is_none()) {
            py::object callback = python_callback;
            run.setDetectedMatchCallback([&, callback](ClusterGeometry& x, ClusterGeometry& y, int t) {
                const size_t i = static_cast<size_t>(&x - a.data());
                const size_t j = static_cast<size_t>(&y - b.data());
                py::object px = first[i], py_ = second[j];
                callback(px, py_, t);
                x = px.cast<ClusterGeometry>();
                y = py_.cast<ClusterGeometry>();
            });
        }
        return run.matchClusters(a, b, tag);
    }

    DistanceBasedClusterMatcher matcher;
    py::object python_callback = py::none();
};

std::string geometryRepr(const ClusterGeometry& g) {
    std::ostringstream text;
    text << "ClusterGeometry(x=" << g.x << ", y=" << g.y << ", width=" << g.width << ", height=" << g.height
         << ", start_time=" << g.start_time << ", duration=" << g.duration << ", id=" << g.id
         << ", count=" << g.count << ", timestamp=" << g.timestamp << ")";
    return text.str();
}

constexpr const char* kPointsDoc =
    "points: numpy array of shape (N, 2) or (N, 3); float32 runs in single precision, float64 (and any "
    "integer type, converted) in double. Coordinates must be finite.";

}  // namespace
}  // namespace vireo

void bindClustering(py::module_& parent) {
    using namespace vireo;
    using namespace pybind11::literals;

    py::module_ m = parent.def_submodule(
        "clustering", "DBSCAN and KMeans on numpy point arrays, the event cluster generators and the matcher.");

    if (!py::detail::get_type_info(typeid(EventFilterType))) {
        py::enum_<EventFilterType>(m, "EventFilterType", "Which events a cluster generator keeps, by polarity.")
            .value("POLARITY_FREE", POLARITY_FREE, "keep all events")
            .value("POSITIVE_FREE", POSITIVE_FREE, "drop polarity-1 events")
            .value("NEGATIVE_FREE", NEGATIVE_FREE, "drop polarity-0 events")
            .value("POLARITY_SEPARATE", POLARITY_SEPARATE, "count polarities apart (grid generator only)")
            .export_values();
    }

    py::class_<PyDBSCAN>(m, "DBSCAN",
                         "Density clustering (C++ vireo::DBSCAN<D, T>). A point is core when at least min_pts "
                         "points (itself included) lie strictly closer than eps.")
        .def(py::init<double, int>(), "eps"_a, "min_pts"_a,
             "DBSCAN(eps, min_pts): eps is the neighbourhood radius in point units, min_pts the smallest "
             "neighbourhood of a core point (below 1 counts as 1).")
        .def_property_readonly("eps", &PyDBSCAN::getEps, "Neighbourhood radius (getEps).")
        .def_property_readonly("min_pts", &PyDBSCAN::getMinPts, "Smallest core neighbourhood (getMinPts).")
        .def("generate_clusters_multi_thread", &PyDBSCAN::generate, "points"_a, "n_jobs"_a = 1,
             (std::string("Clusters the points (generateClustersMultiThread) and returns (clusters, boxes): "
                          "clusters is a list of int64 arrays of member indices, boxes a (clusters, 2 D) array "
                          "of the minimum of every coordinate followed by every extent. Noise points are in no "
                          "cluster. n_jobs 1 runs the single-threaded path (clusters in order of their first "
                          "core point), 2..255 the parallel one; 0 raises RuntimeError. The GIL is released "
                          "during the run. ") +
              kPointsDoc)
                 .c_str())
        .def("fit_labels", &PyDBSCAN::labels, "points"_a, "n_jobs"_a = 1,
             (std::string("Runs generate_clusters_multi_thread and returns one int64 label per point: the "
                          "index of its cluster in that list, -1 for noise. ") +
              kPointsDoc)
                 .c_str());

    py::class_<PyKMeans>(m, "KMeans",
                         "KMeans clustering (C++ vireo::KMeans<D, T>): farthest-point seeds from a random first "
                         "pick, then Lloyd's iteration until the total squared distance changes by less than tol "
                         "or max_iter iterations ran.")
        .def(py::init<size_t, size_t, double>(), "k"_a, "max_iter"_a = 100, "tol"_a = 1e-4,
             "KMeans(k, max_iter=100, tol=1e-4). Raises RuntimeError for k, max_iter or tol not above 0.")
        .def("generate_clusters", &PyKMeans::generate, "points"_a,
             (std::string("One run (generateClusters); returns (clusters, boxes) as DBSCAN does, k clusters "
                          "with ascending members. Fewer than k points gives ([], empty boxes). The GIL is "
                          "released during the run. ") +
              kPointsDoc)
                 .c_str())
        .def("fit_labels", &PyKMeans::labels, "points"_a,
             (std::string("Runs generate_clusters and returns one int64 cluster index per point (-1 for all "
                          "when there were fewer than k points). ") +
              kPointsDoc)
                 .c_str())
        .def("get_centroids", &PyKMeans::centroids,
             "Centroids of the last run as a (k, D) array of its precision (getCentroids); empty before a run.")
        .def("get_num_points_per_cluster", &PyKMeans::sizes,
             "Members per cluster in the last run's last assignment step (getNumPointsPerCluster).")
        .def("set_cluster_number", &PyKMeans::setClusterNumber, "k"_a,
             "Number of clusters for the next run (setClusterNumber); 0 returns False and changes nothing.")
        .def_property_readonly("cluster_number", &PyKMeans::getClusterNumber,
                               "Number of clusters (getClusterNumber).");

    py::class_<ClusterGeometry>(m, "ClusterGeometry",
                                "A cluster as the generators report it: rectangle in sensor pixels, optional time "
                                "span in microseconds, id, count and the run's timestamp.")
        .def(py::init([](float x, float y, float width, float height, int id, int count, size_t timestamp,
                         size_t start_time, size_t duration) {
                 return ClusterGeometry(x, y, start_time, width, height, duration, id, count, timestamp);
             }),
             "x"_a = 0.0f, "y"_a = 0.0f, "width"_a = 0.0f, "height"_a = 0.0f, "id"_a = -1, "count"_a = 0,
             "timestamp"_a = 0, "start_time"_a = 0, "duration"_a = 0,
             "ClusterGeometry(x=0, y=0, width=0, height=0, id=-1, count=0, timestamp=0, start_time=0, duration=0).")
        .def_readwrite("x", &ClusterGeometry::x, "Left edge, pixels.")
        .def_readwrite("y", &ClusterGeometry::y, "Top edge, pixels.")
        .def_readwrite("width", &ClusterGeometry::width, "Width, pixels.")
        .def_readwrite("height", &ClusterGeometry::height, "Height, pixels.")
        .def_readwrite("start_time", &ClusterGeometry::start_time, "First timestamp, µs (0 without time extent).")
        .def_readwrite("duration", &ClusterGeometry::duration, "Time span, µs (0 without time extent).")
        .def_readwrite("id", &ClusterGeometry::id, "Identifier, -1 when not assigned.")
        .def_readwrite("count", &ClusterGeometry::count, "Counter for the caller.")
        .def_readwrite("timestamp", &ClusterGeometry::timestamp, "Timestamp passed to the run, µs.")
        .def(
            "get_2d_bounding_box",
            [](const ClusterGeometry& g) { return py::make_tuple(g.x, g.y, g.width, g.height); },
            "(x, y, width, height) (get2DBoundingBox).")
        .def("get_area", &ClusterGeometry::getArea, "width * height, square pixels (getArea).")
        .def("get_aspect_ratio", &ClusterGeometry::getAspectRatio,
             "width / height: inf for a zero height, nan when both are 0 (getAspectRatio).")
        .def(
            "get_center",
            [](const ClusterGeometry& g) {
                const cv::Point_<float> c = g.getCenter();
                return py::make_tuple(c.x, c.y);
            },
            "Centre (x, y) of the rectangle, pixels (getCenter).")
        .def("__repr__", &geometryRepr);

    py::class_<PyMatcher>(m, "DistanceBasedClusterMatcher",
                          "Pairs the clusters of two runs by increasing centre distance, each at most once, when "
                          "their widths and heights differ by at most the size tolerance.")
        .def(py::init<float, float>(), "max_distance"_a, "max_size_difference"_a,
             "DistanceBasedClusterMatcher(max_distance, max_size_difference), both in pixels.")
        .def("set_detected_match_callback", &PyMatcher::setCallback, "callback"_a,
             "callback(first: ClusterGeometry, second: ClusterGeometry, tag: int), called for every accepted "
             "pair with the objects of the lists given to match_clusters (changes to them are kept); None "
             "removes it (setDetectedMatchCallback).")
        .def("match_clusters", &PyMatcher::match, "first"_a, "second"_a, "tag"_a = 0,
             "Pairs clusters of the list `first` with clusters of `second`; returns the number of accepted pairs "
             "(matchClusters).")
        .def_property_readonly(
            "max_distance_squared", [](const PyMatcher& p) { return p.matcher.getMaxDistanceSquared(); },
            "Squared centre-distance limit, square pixels.")
        .def_property_readonly(
            "max_size_difference", [](const PyMatcher& p) { return p.matcher.getMaxSizeDifference(); },
            "Largest accepted difference of widths and of heights, pixels.");

    const char* events_doc =
        "Filters and scales the events of a numpy Event2D array (x, y, p, t) and queues them for the next "
        "run (addEvents). The GIL is released while they are taken in.";
    const char* points_doc =
        "Member points of the last run: one (members, D) array per cluster (getClusterPoints); unscale "
        "divides by the scales (pixels, µs), otherwise point units.";

    py::class_<PyDBSCANGenerator>(m, "DBSCANBasedClusterGenerator",
                                  "Density clusters of the scaled events (C++ DBSCANBasedClusterGenerator<D, T>). "
                                  "Points are (x * scale_width, y * scale_height[, t * scale_time]).")
        .def(py::init<int, int, double, int, int, float, float, float, EventFilterType, std::optional<size_t>, int,
                      py::object>(),
             "sensor_width"_a, "sensor_height"_a, "eps"_a, "min_pts"_a, "n_jobs"_a = 1, py::kw_only(),
             "scale_width"_a = 1.0f, "scale_height"_a = 1.0f, "scale_time"_a = 1.0f,
             "filter_type"_a = POLARITY_FREE, "max_capacity"_a = py::none(), "dimensions"_a = 2,
             "dtype"_a = py::dtype::of<float>(),
             "DBSCANBasedClusterGenerator(sensor_width, sensor_height, eps, min_pts, n_jobs=1, *, scale_width=1, "
             "scale_height=1, scale_time=1, filter_type=POLARITY_FREE, max_capacity=None, dimensions=2, "
             "dtype=float32). n_jobs: -1 all hardware threads, 0 automatic. max_capacity None: no limit. "
             "Raises RuntimeError with the kit's message for a bad value.")
        .def("add_events", &PyDBSCANGenerator::addEvents, "events"_a, events_doc)
        .def("generate_clusters", &PyDBSCANGenerator::generateClusters, "timestamp"_a = 0,
             "Clusters the points queued since the last run; returns a list of ClusterGeometry "
             "(generateClusters). The GIL is released during the run.")
        .def("reset", &PyDBSCANGenerator::reset, "Discards the last run's points and members (reset).")
        .def("set_max_capacity", &PyDBSCANGenerator::setMaxCapacity, "max_capacity"_a,
             "Most points per run from the next run on (setMaxCapacity).")
        .def("get_cluster_points", &PyDBSCANGenerator::clusterPoints, "unscale"_a = false, points_doc)
        .def_property_readonly("sensor_width", &PyDBSCANGenerator::sensorWidth, "Sensor width, pixels.")
        .def_property_readonly("sensor_height", &PyDBSCANGenerator::sensorHeight, "Sensor height, pixels.")
        .def_property_readonly("dimensions", &PyDBSCANGenerator::dimensions, "2 or 3.")
        .def_property_readonly("dtype", &PyDBSCANGenerator::dtype, "float32 or float64.");

    py::class_<PyKMeansGenerator>(m, "KMeansBasedClusterGenerator",
                                  "A fixed number of clusters of the scaled events (C++ "
                                  "KMeansBasedClusterGenerator<D, T>).")
        .def(py::init<int, int, size_t, size_t, double, float, float, float, EventFilterType, std::optional<size_t>,
                      int, py::object>(),
             "sensor_width"_a, "sensor_height"_a, "k_clusters"_a, "max_iter"_a = 100, "tol"_a = 1e-4,
             py::kw_only(), "scale_width"_a = 1.0f, "scale_height"_a = 1.0f, "scale_time"_a = 1.0f,
             "filter_type"_a = POLARITY_FREE, "max_capacity"_a = py::none(), "dimensions"_a = 2,
             "dtype"_a = py::dtype::of<float>(),
             "KMeansBasedClusterGenerator(sensor_width, sensor_height, k_clusters, max_iter=100, tol=1e-4, *, "
             "scale_width=1, scale_height=1, scale_time=1, filter_type=POLARITY_FREE, max_capacity=None, "
             "dimensions=2, dtype=float32). Raises RuntimeError with the kit's message for a bad value.")
        .def("add_events", &PyKMeansGenerator::addEvents, "events"_a, events_doc)
        .def("generate_clusters", &PyKMeansGenerator::generateClusters, "timestamp"_a = 0,
             "Clusters the queued points into k clusters (none when fewer than k points); returns a list of "
             "ClusterGeometry (generateClusters). The GIL is released during the run.")
        .def("reset", &PyKMeansGenerator::reset, "Discards the last run's points and members (reset).")
        .def("set_max_capacity", &PyKMeansGenerator::setMaxCapacity, "max_capacity"_a,
             "Most points per run from the next run on (setMaxCapacity).")
        .def("set_cluster_number", &PyKMeansGenerator::setClusterNumber, "k"_a,
             "Number of clusters from the next run on; 0 is ignored (setClusterNumber).")
        .def("get_cluster_sizes", &PyKMeansGenerator::clusterSizes, "Members per cluster of the last run.")
        .def("get_cluster_centroids", &PyKMeansGenerator::clusterCentroids,
             "Centroids of the last run as a (k, D) array in point units (getClusterCentroids).")
        .def("get_cluster_points", &PyKMeansGenerator::clusterPoints, "unscale"_a = false, points_doc)
        .def_property_readonly("sensor_width", &PyKMeansGenerator::sensorWidth, "Sensor width, pixels.")
        .def_property_readonly("sensor_height", &PyKMeansGenerator::sensorHeight, "Sensor height, pixels.")
        .def_property_readonly("dimensions", &PyKMeansGenerator::dimensions, "2 or 3.")
        .def_property_readonly("dtype", &PyKMeansGenerator::dtype, "float32 or float64.");

    py::class_<PyGridGenerator>(m, "GridBasedClusterGenerator",
                                "Counts events per rectangular cell and reports 4-connected groups of active cells "
                                "whose size lies within limits (C++ GridBasedClusterGenerator).")
        .def(py::init<int, int, int, int, int, int, EventFilterType, bool, uint16_t>(), "sensor_width"_a,
             "sensor_height"_a, "cell_width"_a, "cell_height"_a, "max_size"_a, "min_size"_a,
             "filter_type"_a = POLARITY_FREE, "flag"_a = false, "activation_threshold"_a = 1,
             "GridBasedClusterGenerator(sensor_width, sensor_height, cell_width, cell_height, max_size, min_size, "
             "filter_type=POLARITY_FREE, flag=False, activation_threshold=1). flag counts distinct pixels instead "
             "of events. Raises ValueError \"Invalid cell size or sensor size\".")
        .def("add_events", &PyGridGenerator::addEvents, "events"_a,
             "Counts the events of a numpy Event2D array in their cells (addEvents).")
        .def("generate_clusters", &PyGridGenerator::generateClusters, "timestamp"_a = 0,
             "Reports the groups of active cells as a list of ClusterGeometry, then clears the grid "
             "(generateClusters).")
        .def("reset", &PyGridGenerator::reset, "Zeroes the activity map and the counters (reset).")
        .def("get_active_map", &PyGridGenerator::activeMap,
             "A (sensor_height, sensor_width) uint8 copy of the activity map (getActiveMap): bit 0 polarity 0, "
             "bit 1 polarity 1.")
        .def_property_readonly(
            "cell_rows", [](PyGridGenerator& g) { return g.generator.getCellRows(); }, "Number of cell rows.")
        .def_property_readonly(
            "cell_cols", [](PyGridGenerator& g) { return g.generator.getCellCols(); }, "Number of cell columns.")
        .def(
            "is_cell_active",
            [](PyGridGenerator& g, int row, int col) {
                GilFreeLock lock(g.mutex);
                return g.generator.isCellActive(row, col);
            },
            "row"_a, "col"_a, "Whether cell (row, col) is active; False outside the grid (isCellActive).")
        .def(
            "get_cell_count",
            [](PyGridGenerator& g, int row, int col, int polarity) {
                GilFreeLock lock(g.mutex);
                return g.generator.getCellCount(row, col, polarity);
            },
            "row"_a, "col"_a, "polarity"_a = 0,
            "Counter of cell (row, col) for the polarity (used only with POLARITY_SEPARATE); 0 outside the grid "
            "(getCellCount).");
}
