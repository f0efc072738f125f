// The module's exception types. The kit's C++ exceptions keep their messages and become the
// Python exception a user would expect of them: std::invalid_argument is ValueError,
// std::out_of_range IndexError, any other std::exception vireo.Error.
#include "Bindings.h"

#include <stdexcept>

namespace py = pybind11;

namespace vireo::python {

void bindErrors(py::module_& m) {
    static py::exception<std::runtime_error> error(m, "Error", PyExc_RuntimeError);
    error.doc() = "A failure reported by the kit (a subclass of RuntimeError); the message is the kit's own.";
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) {
                std::rethrow_exception(thrown);
            }
        } catch (const py::builtin_exception&) {
            throw;  // pybind11's own types (value_error, type_error, ...) keep their meaning
        } catch (const py::error_already_set&) {
            throw;
        } catch (const std::invalid_argument& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const std::out_of_range& e) {
            PyErr_SetString(PyExc_IndexError, e.what());
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            PyErr_SetString(error.ptr(), e.what());
        }
    });
}

}  // namespace vireo::python
