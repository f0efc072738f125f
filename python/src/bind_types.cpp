// The event dtypes the other bindings hand out, and helpers to build event arrays in Python.
#include "Bindings.h"
#include "EventArrays.h"

namespace py = pybind11;

namespace vireo::python {

void bindTypes(py::module_& m) {
    m.attr("EVENT2D_DTYPE") = event2dDtype();
    m.attr("TRIGGER_DTYPE") = triggerDtype();
    m.def(
        "empty_events", [](std::size_t count) { return emptyArray<Event2D>(count); }, py::arg("count"),
        "empty_events(count) -> numpy.ndarray\n\n"
        "A new uninitialised array of `count` events with dtype EVENT2D_DTYPE (x, y, p, t).");
}

}  // namespace vireo::python
