// Python functions called from the kit's threads: the GIL is taken for each call only, and
// an exception the function raises is reported (sys.unraisablehook) instead of reaching the
// thread, which goes on.
#pragma once

#include <vireo/DvsCamera.h>

#include <pybind11/pybind11.h>

#include <memory>
#include <utility>

namespace vireo::python {

class PythonCallable {
public:
    // Raises TypeError when `callable` cannot be called.
    explicit PythonCallable(pybind11::object callable);

    // Calls the function with the argument `makeArgument()` builds, under the GIL. Nothing
    // happens once the interpreter is shutting down.
    template <typename MakeArgument>
    void call(const char* where, MakeArgument&& makeArgument) const {
        if (Py_IsInitialized() == 0 || _Py_IsFinalizing() != 0) {
            return;
        }
        pybind11::gil_scoped_acquire gil;
        try {
            (*function)(makeArgument());
        } catch (pybind11::error_already_set& error) {
            error.discard_as_unraisable(where);
        } catch (const std::exception& error) {
            PyErr_SetString(PyExc_RuntimeError, error.what());
            PyErr_WriteUnraisable(pybind11::str(where).ptr());
        }
    }

private:
    std::shared_ptr<pybind11::object> function;
};

// A camera events callback that hands each range to `callable` as a new event array.
DvsCamera::EventsCallback eventsCallback(PythonCallable callable);

}  // namespace vireo::python
