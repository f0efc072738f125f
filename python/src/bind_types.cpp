// The event dtypes the other bindings hand out, and helpers to build event arrays in Python.
#include "Bindings.h"
#include "EventArrays.h"

namespace py = pybind11;

namespace vireo::python {

void bindTypes(py::module_& m) {
    py::enum_<LogLevelType>(m, "LogLevelType", "The kit's logger levels, from the most to the least verbose.")
        .value("LOG_TRACE", LOG_TRACE)
        .value("LOG_DEBUG", LOG_DEBUG)
        .value("LOG_INFO", LOG_INFO)
        .value("LOG_WARN", LOG_WARN)
        .value("LOG_ERROR", LOG_ERROR)
        .value("LOG_CRITICAL", LOG_CRITICAL)
        .export_values();
    m.attr("EVENT2D_DTYPE") = event2dDtype();
    m.attr("TRIGGER_DTYPE") = triggerDtype();
    m.def(
        "empty_events", [](std::size_t count) { return emptyArray<Event2D>(count); }, py::arg("count"),
        "empty_events(count) -> numpy.ndarray\n\n"
        "A new uninitialised array of `count` events with dtype EVENT2D_DTYPE (x, y, p, t).");
}

}  // namespace vireo::python
