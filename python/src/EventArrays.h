// Events as numpy structured arrays whose layout is the C++ struct's own, so a batch of
// Event2D becomes an array by one copy (from a span) or none (by taking over a vector).
//
//   Event2D:        x uint16 @0, y uint16 @2, p uint8 @4, t uint64 @8; 16 bytes
//   EventTriggerIn: p int16 @0, t uint64 @8, id int16 @16; 24 bytes
//
// The dtypes are built once by offsets, not by pybind11's field list, so that the field
// names are the short ones numpy users expect (x, y, p, t) and the padding stays where the
// compiler put it.
#pragma once

#include <vireo/SharedTypes.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace vireo::python {

namespace py = pybind11;

static_assert(sizeof(Event2D) == 16 && offsetof(Event2D, x) == 0 && offsetof(Event2D, y) == 2 &&
              offsetof(Event2D, polarity) == 4 && offsetof(Event2D, timestamp) == 8);
static_assert(sizeof(EventTriggerIn) == 24 && offsetof(EventTriggerIn, polarity) == 0 &&
              offsetof(EventTriggerIn, timestamp) == 8 && offsetof(EventTriggerIn, id) == 16);

// The structured dtype of one Event2D: fields x, y, p, t at the struct's offsets, itemsize 16.
inline py::dtype event2dDtype() {
    static const py::dtype* dtype = [] {
        py::dict spec;
        spec["names"] = py::make_tuple("x", "y", "p", "t");
        spec["formats"] = py::make_tuple("<u2", "<u2", "u1", "<u8");
        spec["offsets"] = py::make_tuple(offsetof(Event2D, x), offsetof(Event2D, y),
                                         offsetof(Event2D, polarity), offsetof(Event2D, timestamp));
        spec["itemsize"] = sizeof(Event2D);
        // Kept for the life of the process: the interpreter owns no reference to release later.
        return new py::dtype(py::dtype::from_args(spec));
    }();
    return *dtype;
}

// The structured dtype of one EventTriggerIn: fields p, t, id at the struct's offsets.
inline py::dtype triggerDtype() {
    static const py::dtype* dtype = [] {
        py::dict spec;
        spec["names"] = py::make_tuple("p", "t", "id");
        spec["formats"] = py::make_tuple("<i2", "<u8", "<i2");
        spec["offsets"] = py::make_tuple(offsetof(EventTriggerIn, polarity), offsetof(EventTriggerIn, timestamp),
                                         offsetof(EventTriggerIn, id));
        spec["itemsize"] = sizeof(EventTriggerIn);
        return new py::dtype(py::dtype::from_args(spec));
    }();
    return *dtype;
}

template <typename T>
inline py::dtype dtypeOf();
template <>
inline py::dtype dtypeOf<Event2D>() {
    return event2dDtype();
}
template <>
inline py::dtype dtypeOf<EventTriggerIn>() {
    return triggerDtype();
}

// A new one-dimensional array of `count` uninitialised elements of T's dtype.
template <typename T>
inline py::array emptyArray(std::size_t count) {
    return py::array(dtypeOf<T>(), {static_cast<py::ssize_t>(count)}, {static_cast<py::ssize_t>(sizeof(T))});
}

// The array's elements as T, after checking its dtype, dimension and contiguity.
template <typename T>
inline T* elementsOf(py::array& array) {
    if (!array.dtype().is(dtypeOf<T>()) && !array.dtype().equal(dtypeOf<T>())) {
        throw py::type_error("expected an array of dtype " + py::str(dtypeOf<T>()).cast<std::string>() +
                             ", got " + py::str(array.dtype()).cast<std::string>());
    }
    if (array.ndim() != 1) {
        throw py::value_error("expected a one-dimensional event array");
    }
    if (!(array.flags() & py::array::c_style)) {
        throw py::value_error("expected a contiguous event array (use numpy.ascontiguousarray)");
    }
    return static_cast<T*>(array.mutable_data());
}

template <typename T>
inline const T* elementsOf(const py::array& array) {
    return elementsOf<T>(const_cast<py::array&>(array));
}

// One copy: a new array holding the events of the span.
template <typename T>
inline py::array toArray(std::span<const T> events) {
    py::array array = emptyArray<T>(events.size());
    if (!events.empty()) {
        std::memcpy(array.mutable_data(), events.data(), events.size_bytes());
    }
    return array;
}

// No copy: the array takes the vector's storage over and frees it with the array.
template <typename T>
inline py::array toArray(std::vector<T>&& events) {
    if (events.empty()) {
        return emptyArray<T>(0);
    }
    auto* owner = new std::vector<T>(std::move(events));
    py::capsule release(owner, [](void* pointer) { delete static_cast<std::vector<T>*>(pointer); });
    return py::array(dtypeOf<T>(), {static_cast<py::ssize_t>(owner->size())},
                     {static_cast<py::ssize_t>(sizeof(T))}, owner->data(), release);
}

// The events of an array as a span over its memory (no copy); the array must outlive it.
template <typename T>
inline std::span<const T> spanOf(const py::array& array) {
    const T* data = elementsOf<T>(array);
    return {data, static_cast<std::size_t>(array.shape(0))};
}

}  // namespace vireo::python
