// Cameras from Python: the camera manager, event cameras, their tools and parameters,
// streaming with callbacks or by polling batches, recording and statistics.
//
// Threads and the GIL: every camera call runs with the GIL released, because the camera's
// own threads take the GIL to call into Python and the calls that wait for them (stop,
// removing a callback, replacing one, getNextBatch, the last reference going) would
// otherwise deadlock against them. A Python callback runs with the GIL taken for the call
// only; an exception it raises is reported through sys.unraisablehook and swallowed, so
// the camera goes on streaming (the kit ends a stream whose callback throws).
#include "Bindings.h"
#include "CameraCallbacks.h"
#include "EventArrays.h"

#include <vireo/CameraTool.h>
#include <vireo/DvsCamera.h>
#include <vireo/DvsCameraManager.h>
#include <vireo/Logger.h>
#include <vireo/ToolInfo.h>

#include <pybind11/operators.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace vireo::python {

PythonCallable::PythonCallable(py::object callable) {
    if (!PyCallable_Check(callable.ptr())) {
        throw py::type_error("expected a callable, got " + py::repr(callable).cast<std::string>());
    }
    // The last copy of the function may go on a camera thread: the object is released with
    // the GIL taken (and leaked once the interpreter is gone, when nothing can release it).
    function = std::shared_ptr<py::object>(new py::object(std::move(callable)), [](py::object* object) {
        if (Py_IsInitialized() == 0) {
            return;
        }
        py::gil_scoped_acquire gil;
        delete object;
    });
}

DvsCamera::EventsCallback eventsCallback(PythonCallable callable) {
    return [callable](const Event2D* first, const Event2D* last) {
        callable.call("vireo camera events callback",
                      [&] { return toArray(std::span<const Event2D>(first, static_cast<std::size_t>(last - first))); });
    };
}

namespace {

// The cameras Python opened, stopped when the interpreter exits: a camera thread must not
// wait for the GIL of an interpreter that is going away.
std::mutex openedMutex;
std::vector<std::weak_ptr<DvsCamera>> openedCameras;

void rememberCamera(const std::shared_ptr<DvsCamera>& camera) {
    std::lock_guard<std::mutex> lock(openedMutex);
    std::erase_if(openedCameras, [](const std::weak_ptr<DvsCamera>& known) { return known.expired(); });
    openedCameras.push_back(camera);
}

void stopOpenedCameras() {
    py::gil_scoped_release release;
    std::vector<std::weak_ptr<DvsCamera>> cameras;
    {
        std::lock_guard<std::mutex> lock(openedMutex);
        cameras.swap(openedCameras);
    }
    for (const auto& weak : cameras) {
        if (std::shared_ptr<DvsCamera> camera = weak.lock()) {
            camera->stop();
        }
    }
}

// One Python camera object. The camera goes with the GIL released: its threads may be
// waiting for the GIL while the destructor joins them.
struct CameraHandle {
    explicit CameraHandle(std::shared_ptr<DvsCamera> c) : camera(std::move(c)) {}
    ~CameraHandle() {
        if (camera && Py_IsInitialized() != 0 && PyGILState_Check() != 0) {
            py::gil_scoped_release release;
            camera.reset();
        }
    }
    CameraHandle(const CameraHandle&) = delete;
    CameraHandle& operator=(const CameraHandle&) = delete;

    template <typename Work>
    auto run(Work&& work) {
        py::gil_scoped_release release;
        return work(*camera);
    }

    std::shared_ptr<DvsCamera> camera;
};

struct ManagerHandle {
    ManagerHandle() = default;
    ~ManagerHandle() {
        if (Py_IsInitialized() != 0 && PyGILState_Check() != 0) {
            py::gil_scoped_release release;
            manager.reset();
        }
    }
    ManagerHandle(const ManagerHandle&) = delete;
    ManagerHandle& operator=(const ManagerHandle&) = delete;

    std::unique_ptr<DvsCameraManager> manager = std::make_unique<DvsCameraManager>();
};

// A tool and the camera it belongs to, kept alive together.
struct ToolHandle {
    std::shared_ptr<CameraTool> tool;
    std::shared_ptr<CameraHandle> owner;
};

void checkStatus(int status, const std::string& what) {
    if (status != 0) {
        throw std::runtime_error(what + " failed (the log says why)");
    }
}

std::string toolName(ToolType type) {
    switch (type) {
        case TOOL_BIASES: return "biases";
        case TOOL_TRIGGER_IN: return "trigger_in";
        case TOOL_SYNC: return "sync";
        case TOOL_ANTI_FLICKER: return "anti_flicker";
        case TOOL_EVENT_TRAIL_FILTER: return "event_trail_filter";
        case TOOL_EVENT_RATE_CONTROL: return "event_rate_control";
        case TOOL_ROI: return "roi";
        case TOOL_APS_CTRL: return "aps_ctrl";
    }
    return "tool " + std::to_string(static_cast<int>(type));
}

// The type of the tool's parameter `name`; raises KeyError naming the tool's parameters.
ParameterType parameterType(ToolHandle& handle, const std::string& name) {
    std::map<std::string, BasicParameterInfo> infos;
    {
        py::gil_scoped_release release;
        infos = handle.tool->getAllParamInfo();
    }
    auto found = infos.find(name);
    if (found == infos.end()) {
        std::string known;
        for (const auto& [key, info] : infos) {
            known += (known.empty() ? "" : ", ") + key;
        }
        throw py::key_error("the tool has no parameter \"" + name + "\" (its parameters: " + known + ")");
    }
    return found->second.type;
}

py::object getParam(ToolHandle& handle, const std::string& name) {
    const ParameterType type = parameterType(handle, name);
    auto read = [&](auto value) -> py::object {
        bool ok = false;
        {
            py::gil_scoped_release release;
            ok = handle.tool->getParam(name, value);
        }
        if (!ok) {
            throw std::runtime_error("cannot read parameter \"" + name + "\" from the device");
        }
        return py::cast(value);
    };
    switch (type) {
        case ParameterType::Enum: return read(std::string());
        case ParameterType::Bool: return read(false);
        case ParameterType::Float: return read(0.0f);
        case ParameterType::Int: return read(0);
    }
    return py::none();
}

// Writes `value` after converting it to the parameter's own type: a Python int reaches a
// float parameter when the float holds it exactly; a float never reaches an int parameter
// and a bool only a bool one, so nothing is silently truncated.
void setParam(ToolHandle& handle, const std::string& name, const py::object& value) {
    const ParameterType type = parameterType(handle, name);
    const std::string shown = py::repr(value).cast<std::string>();
    auto refuse = [&](const std::string& why) {
        throw py::value_error("parameter \"" + name + "\" (" + parameterTypeName(type) + ") refuses " + shown + ": " +
                              why);
    };
    const bool isBool = py::isinstance<py::bool_>(value);
    const bool isInt = py::isinstance<py::int_>(value) && !isBool;
    bool ok = false;
    switch (type) {
        case ParameterType::Enum: {
            if (!py::isinstance<py::str>(value)) refuse("expected a str");
            const std::string text = value.cast<std::string>();
            py::gil_scoped_release release;
            ok = handle.tool->setParam(name, text);
            break;
        }
        case ParameterType::Bool: {
            if (!isBool) refuse("expected a bool");
            const bool flag = value.cast<bool>();
            py::gil_scoped_release release;
            ok = handle.tool->setParam(name, flag);
            break;
        }
        case ParameterType::Float: {
            if (!isInt && !py::isinstance<py::float_>(value)) refuse("expected a float");
            const double number = value.cast<double>();
            if (isInt && static_cast<double>(static_cast<float>(number)) != number) refuse("not exactly a float");
            if (!std::isfinite(number)) refuse("not a finite number");
            const float single = static_cast<float>(number);
            py::gil_scoped_release release;
            ok = handle.tool->setParam(name, single);
            break;
        }
        case ParameterType::Int: {
            if (!isInt) refuse("expected an int");
            const long long number = value.cast<long long>();
            if (number < INT32_MIN || number > INT32_MAX) refuse("out of range");
            const int integer = static_cast<int>(number);
            py::gil_scoped_release release;
            ok = handle.tool->setParam(name, integer);
            break;
        }
    }
    if (!ok) {
        refuse("out of range, not among its values, or refused by the device (the log says which)");
    }
}

// The full description of one parameter, as the record of its own type.
py::object paramInfo(ToolHandle& handle, const std::string& name) {
    const ParameterType type = parameterType(handle, name);
    auto fetch = [&](auto info) -> py::object {
        bool ok = false;
        {
            py::gil_scoped_release release;
            ok = handle.tool->getParamInfo(name, info);
        }
        if (!ok) {
            throw py::key_error("no description of parameter \"" + name + "\"");
        }
        return py::cast(info);
    };
    switch (type) {
        case ParameterType::Enum: return fetch(EnumParameterInfo());
        case ParameterType::Bool: return fetch(BoolParameterInfo());
        case ParameterType::Float: return fetch(FloatParameterInfo());
        case ParameterType::Int: return fetch(IntParameterInfo());
    }
    return py::none();
}

}  // namespace

void bindCamera(py::module_& m) {
    py::enum_<ToolType>(m, "ToolType", "The kinds of camera tool; a camera holds at most one of each.")
        .value("TOOL_BIASES", TOOL_BIASES)
        .value("TOOL_TRIGGER_IN", TOOL_TRIGGER_IN)
        .value("TOOL_SYNC", TOOL_SYNC)
        .value("TOOL_ANTI_FLICKER", TOOL_ANTI_FLICKER)
        .value("TOOL_EVENT_TRAIL_FILTER", TOOL_EVENT_TRAIL_FILTER)
        .value("TOOL_EVENT_RATE_CONTROL", TOOL_EVENT_RATE_CONTROL)
        .value("TOOL_ROI", TOOL_ROI)
        .value("TOOL_APS_CTRL", TOOL_APS_CTRL)
        .export_values();

    py::enum_<ParameterType>(m, "ParameterType", "The value type of a tool parameter.")
        .value("Enum", ParameterType::Enum)
        .value("Bool", ParameterType::Bool)
        .value("Float", ParameterType::Float)
        .value("Int", ParameterType::Int);

    py::class_<CameraDescription>(m, "CameraDescription", "What discovery knows about one connected camera.")
        .def_readonly("serial", &CameraDescription::serial)
        .def_readonly("vendor_id", &CameraDescription::vendorId)
        .def_readonly("product_id", &CameraDescription::productId)
        .def_readonly("manufacturer", &CameraDescription::manufacturer)
        .def_readonly("product_name", &CameraDescription::productName)
        .def_readonly("simulated", &CameraDescription::simulated)
        .def(py::self == py::self)
        .def("__repr__", [](const CameraDescription& d) {
            char ids[16];
            std::snprintf(ids, sizeof ids, "%04x:%04x", d.vendorId, d.productId);
            return "<vireo.CameraDescription " + d.serial + " " + ids + (d.simulated ? " simulated>" : ">");
        });

    py::class_<ToolInfo>(m, "ToolInfo", "A tool's kind, parameter names and one-line description.")
        .def_readonly("type", &ToolInfo::type)
        .def_readonly("parameters", &ToolInfo::parameters)
        .def_readonly("description", &ToolInfo::description)
        .def("__repr__", [](const ToolInfo& t) { return "<vireo.ToolInfo " + toolName(t.type) + ">"; });

    py::class_<BasicParameterInfo>(m, "BasicParameterInfo", "A parameter's name, description and value type.")
        .def_readonly("name", &BasicParameterInfo::name)
        .def_readonly("description", &BasicParameterInfo::description)
        .def_readonly("type", &BasicParameterInfo::type)
        .def("__repr__",
             [](const BasicParameterInfo& p) { return "<" + p.name + ": " + parameterTypeName(p.type) + ">"; });
    py::class_<EnumParameterInfo, BasicParameterInfo>(m, "EnumParameterInfo")
        .def_readonly("values", &EnumParameterInfo::values)
        .def_readonly("default_value", &EnumParameterInfo::default_value);
    py::class_<BoolParameterInfo, BasicParameterInfo>(m, "BoolParameterInfo")
        .def_readonly("default_value", &BoolParameterInfo::default_value);
    py::class_<FloatParameterInfo, BasicParameterInfo>(m, "FloatParameterInfo")
        .def_readonly("min", &FloatParameterInfo::min)
        .def_readonly("max", &FloatParameterInfo::max)
        .def_readonly("default_value", &FloatParameterInfo::default_value);
    py::class_<IntParameterInfo, BasicParameterInfo>(m, "IntParameterInfo")
        .def_readonly("min", &IntParameterInfo::min)
        .def_readonly("max", &IntParameterInfo::max)
        .def_readonly("default_value", &IntParameterInfo::default_value);

    py::class_<DsStatisticInfo>(m, "DsStatisticInfo",
                                "The decoder's counters, cumulative: first = events decoded, second = raw bytes decoded.")
        .def_readonly("first", &DsStatisticInfo::first)
        .def_readonly("second", &DsStatisticInfo::second)
        .def("__repr__", [](const DsStatisticInfo& s) {
            return "<vireo.DsStatisticInfo events=" + std::to_string(s.first) + " bytes=" + std::to_string(s.second) +
                   ">";
        });

    py::class_<ToolHandle>(m, "CameraTool",
                           "One group of sensor settings, read and written by parameter name. Values are read\n"
                           "from the device on every get_param.")
        .def(
            "get_tool_info", [](ToolHandle& h) { return h.tool->getToolInfo(); },
            "get_tool_info() -> ToolInfo\n\nThe tool's kind, parameter names and description.")
        .def_property_readonly(
            "type", [](ToolHandle& h) { return h.tool->getToolInfo().type; }, "The tool's ToolType.")
        .def(
            "get_all_param_info",
            [](ToolHandle& h) {
                py::dict result;
                for (const auto& [name, info] : [&] {
                         py::gil_scoped_release release;
                         return h.tool->getAllParamInfo();
                     }()) {
                    result[py::str(name)] = paramInfo(h, name);
                }
                return result;
            },
            "get_all_param_info() -> dict[str, BasicParameterInfo]\n\n"
            "Every parameter's full description (EnumParameterInfo, BoolParameterInfo, ...), by name.")
        .def("get_param_info", &paramInfo, py::arg("name"),
             "get_param_info(name) -> BasicParameterInfo\n\n"
             "The description of parameter `name` as the record of its type (ranges, values, default).\n"
             "Raises KeyError for an unknown name.")
        .def("get_param", &getParam, py::arg("name"),
             "get_param(name) -> str | bool | float | int\n\n"
             "Reads parameter `name` from the device. Raises KeyError for an unknown name, vireo.Error\n"
             "when the device cannot be read.")
        .def("set_param", &setParam, py::arg("name"), py::arg("value"),
             "set_param(name, value) -> None\n\n"
             "Writes parameter `name`. The value must be of the parameter's type (an int is accepted\n"
             "for a float parameter when exact). Raises KeyError for an unknown name and ValueError\n"
             "for a value of the wrong type, out of range or refused by the device; nothing is\n"
             "written then.")
        .def("__repr__", [](ToolHandle& h) { return "<vireo.CameraTool " + toolName(h.tool->getToolInfo().type) + ">"; });

    py::class_<CameraHandle, std::shared_ptr<CameraHandle>>(
        m, "DvsCamera",
        "An opened event camera (from DvsCameraManager.open_camera): streaming to callbacks or by\n"
        "polled batches, tools, recording and statistics. Every call releases the GIL; callbacks\n"
        "run on the camera's thread with the GIL taken for the call.")
        .def(
            "get_dvs_desc", [](CameraHandle& h) { return h.camera->getDvsDesc(); },
            "get_dvs_desc() -> CameraDescription\n\nThe camera's description as discovery reported it.")
        .def_property_readonly("serial", [](CameraHandle& h) { return h.camera->getDvsDesc().serial; })
        .def_property_readonly(
            "width", [](CameraHandle& h) { return h.run([](DvsCamera& c) { return c.getWidth(); }); },
            "Sensor width in pixels.")
        .def_property_readonly(
            "height", [](CameraHandle& h) { return h.run([](DvsCamera& c) { return c.getHeight(); }); },
            "Sensor height in pixels.")
        .def(
            "is_connected", [](CameraHandle& h) { return h.run([](DvsCamera& c) { return c.isConnected(); }); },
            "is_connected() -> bool")
        .def(
            "get_tool",
            [](const std::shared_ptr<CameraHandle>& h, ToolType type) -> std::optional<ToolHandle> {
                std::shared_ptr<CameraTool> tool = h->run([&](DvsCamera& c) { return c.getTool(type); });
                if (!tool) {
                    return std::nullopt;
                }
                return ToolHandle{std::move(tool), h};
            },
            py::arg("type"),
            "get_tool(type) -> CameraTool | None\n\nThe camera's tool of kind `type`, None when it has none.")
        .def(
            "get_tool_info",
            [](CameraHandle& h, ToolType type) { return h.run([&](DvsCamera& c) { return c.getToolInfo(type); }); },
            py::arg("type"),
            "get_tool_info(type) -> ToolInfo\n\nRaises vireo.Error \"Tool not found\" when the camera has no such tool.")
        .def(
            "get_all_tools_info",
            [](CameraHandle& h) { return h.run([](DvsCamera& c) { return c.getAllToolsInfo(); }); },
            "get_all_tools_info() -> list[ToolInfo]\n\nOne description per tool, in ToolType order.")
        .def(
            "add_events_stream_handle_callback",
            [](CameraHandle& h, py::object fn) {
                DvsCamera::EventsCallback callback = eventsCallback(PythonCallable(std::move(fn)));
                return h.run([&](DvsCamera& c) { return c.addEventsStreamHandleCallback(std::move(callback)); });
            },
            py::arg("callback"),
            "add_events_stream_handle_callback(callback) -> int\n\n"
            "Calls `callback(events)` with each decoded range as a new array of EVENT2D_DTYPE, on the\n"
            "camera's thread. Returns the callback's id. An exception raised by the callback is\n"
            "reported (sys.unraisablehook) and the stream goes on.")
        .def(
            "remove_events_stream_handle_callback",
            [](CameraHandle& h, unsigned id) {
                return h.run([&](DvsCamera& c) { return c.removeEventsStreamHandleCallback(id); });
            },
            py::arg("id"),
            "remove_events_stream_handle_callback(id) -> bool\n\n"
            "Removes the callback; returns once no call of it is in progress. False for an unknown id.")
        .def(
            "add_trigger_in_callback",
            [](CameraHandle& h, py::object fn) {
                PythonCallable callable(std::move(fn));
                DvsCamera::TriggerInCallback callback = [callable](EventTriggerIn edge) {
                    callable.call("vireo camera trigger callback", [&] {
                        return toArray(std::span<const EventTriggerIn>(&edge, 1));
                    });
                };
                return h.run([&](DvsCamera& c) { return c.addTriggerInCallback(std::move(callback)); });
            },
            py::arg("callback"),
            "add_trigger_in_callback(callback) -> int\n\n"
            "Calls `callback(edges)` with each trigger edge as an array of one TRIGGER_DTYPE record\n"
            "(p, t, id), in stream order with the events.")
        .def(
            "remove_trigger_in_callback",
            [](CameraHandle& h, unsigned id) {
                return h.run([&](DvsCamera& c) { return c.removeTriggerInCallback(id); });
            },
            py::arg("id"), "remove_trigger_in_callback(id) -> bool")
        .def(
            "set_statistic_info_callback",
            [](CameraHandle& h, py::object fn) {
                DvsCamera::StatisticCallback callback;
                if (!fn.is_none()) {
                    PythonCallable callable(std::move(fn));
                    callback = [callable](DsStatisticInfo info) {
                        callable.call("vireo camera statistics callback", [&] { return py::cast(info); });
                    };
                }
                h.run([&](DvsCamera& c) { c.setStatisticInfoCallback(std::move(callback)); });
            },
            py::arg("callback"),
            "set_statistic_info_callback(callback) -> None\n\n"
            "Calls `callback(info)` once per second while streaming with a DsStatisticInfo (events and\n"
            "raw bytes decoded so far); None removes it.")
        .def(
            "set_batch_events_num",
            [](CameraHandle& h, unsigned long long n) {
                if (n == 0) throw py::value_error("a batch holds at least one event");
                h.run([&](DvsCamera& c) { c.setBatchEventsNum(n); });
            },
            py::arg("count"), "set_batch_events_num(count) -> None\n\nBatches of exactly `count` events from now on.")
        .def(
            "set_batch_events_time",
            [](CameraHandle& h, unsigned long long us) {
                if (us == 0) throw py::value_error("a batch lasts at least one microsecond");
                h.run([&](DvsCamera& c) { c.setBatchEventsTime(us); });
            },
            py::arg("duration"),
            "set_batch_events_time(duration) -> None\n\nBatches of `duration` µs of events from now on.")
        .def(
            "get_next_batch",
            [](CameraHandle& h) -> py::object {
                std::vector<Event2D> batch;
                const bool ok = h.run([&](DvsCamera& c) { return c.getNextBatch(batch); });
                if (!ok) return py::none();
                return toArray(std::move(batch));
            },
            "get_next_batch() -> numpy.ndarray | None\n\n"
            "Waits for the next completed batch (GIL released) and returns it without a copy. None\n"
            "when no batch mode is set or the camera is not streaming, or when it stops during the wait.")
        .def(
            "start",
            [](CameraHandle& h) { checkStatus(h.run([](DvsCamera& c) { return c.start(); }), "start"); },
            "start() -> None\n\nStarts streaming (nothing changes when started). Raises vireo.Error on failure.")
        .def(
            "stop", [](CameraHandle& h) { checkStatus(h.run([](DvsCamera& c) { return c.stop(); }), "stop"); },
            "stop() -> None\n\nStops streaming and joins the camera's threads. Raises vireo.Error on failure\n"
            "(for example when called from one of the camera's callbacks).")
        .def(
            "start_recording",
            [](CameraHandle& h, const std::string& path) {
                checkStatus(h.run([&](DvsCamera& c) { return c.startRecording(path); }), "start_recording(" + path + ")");
            },
            py::arg("path"),
            "start_recording(path) -> None\n\nRecords the raw stream for the RAW file `path`, written by stop_recording.")
        .def(
            "stop_recording",
            [](CameraHandle& h) {
                checkStatus(h.run([](DvsCamera& c) { return c.stopRecording(); }), "stop_recording");
            },
            "stop_recording() -> None\n\nWrites the recording (GIL released); raises vireo.Error when it fails.")
        .def(
            "set_file_cache_time",
            [](CameraHandle& h, unsigned short seconds) { h.run([&](DvsCamera& c) { c.setFileCacheTime(seconds); }); },
            py::arg("seconds"),
            "set_file_cache_time(seconds) -> None\n\nSeconds of raw stream kept before a recording starts.")
        .def("__enter__", [](const std::shared_ptr<CameraHandle>& h) { return h; })
        .def("__exit__", [](CameraHandle& h, py::args) { h.run([](DvsCamera& c) { return c.stop(); }); })
        .def("__repr__", [](CameraHandle& h) { return "<vireo.DvsCamera " + h.camera->getDvsDesc().serial + ">"; });

    py::class_<ManagerHandle>(m, "DvsCameraManager",
                              "Finds connected cameras (simulated ones included) and opens them.")
        .def(py::init<>())
        .def(
            "update_cameras",
            [](ManagerHandle& h) {
                py::gil_scoped_release release;
                return h.manager->updateCameras();
            },
            "update_cameras() -> int\n\nDrops unplugged cameras and discovers; returns the number of devices found.")
        .def(
            "get_camera_descs",
            [](ManagerHandle& h) {
                py::gil_scoped_release release;
                return h.manager->getCameraDescs();
            },
            "get_camera_descs() -> list[CameraDescription]\n\nDiscovers, then lists the event cameras and fusion cameras.")
        .def(
            "open_camera",
            [](ManagerHandle& h, const std::string& serial) {
                std::shared_ptr<DvsCamera> camera;
                {
                    py::gil_scoped_release release;
                    camera = h.manager->openCamera(serial);
                }
                if (!camera) {
                    throw std::runtime_error("cannot open camera " + serial +
                                             ": it was not discovered (call get_camera_descs first) or it could "
                                             "not be initialised");
                }
                rememberCamera(camera);
                return std::make_shared<CameraHandle>(std::move(camera));
            },
            py::arg("serial"),
            "open_camera(serial) -> DvsCamera\n\n"
            "Opens the discovered event camera `serial`. Raises vireo.Error when it was not discovered\n"
            "or could not be initialised. Opening an opened camera gives the same camera.");

    py::module_::import("atexit").attr("register")(py::cpp_function(&stopOpenedCameras));

    m.def(
        "set_log_level",
        [](LogLevelType level) { Logger::Instance().setLogLevel(level); }, py::arg("level"),
        "set_log_level(level) -> None\n\nThe lowest level the kit's console logger writes: 0 trace ... 5 critical.");

    // A measure for the benchmark: `calls` calls of `callback` from a C++ thread through the
    // same path camera callbacks take, each with an array of `events` events. Seconds spent.
    py::module_ bench = m.def_submodule("_bench", "Measures for the benchmarks (not a stable interface).");
    bench.def(
        "callback_round_trip",
        [](py::object fn, std::size_t calls, std::size_t events) {
            DvsCamera::EventsCallback callback = eventsCallback(PythonCallable(std::move(fn)));
            std::vector<Event2D> batch(events, Event2D(1, 2, 1, 3));
            double seconds = 0;
            py::gil_scoped_release release;
            std::thread caller([&] {
                const auto begin = std::chrono::steady_clock::now();
                for (std::size_t i = 0; i < calls; ++i) {
                    callback(batch.data(), batch.data() + batch.size());
                }
                seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            });
            caller.join();
            return seconds;
        },
        py::arg("callback"), py::arg("calls"), py::arg("events"));
}

}  // namespace vireo::python
