// The pieces of the `vireo` Python module. Each bind* function adds its classes and functions
// to the module (or to a submodule it creates) and is called once from module.cpp.
#pragma once

#include <pybind11/pybind11.h>

namespace vireo::python {

// The exception types and their translation from the kit's C++ exceptions.
void bindErrors(pybind11::module_& m);
// The event dtypes and the small value types shared by the other bindings.
void bindTypes(pybind11::module_& m);
// RawFileReader through the reader factory, its windows iterator, cut and export.
void bindReader(pybind11::module_& m);
// The event-data-to-video converter.
void bindVideo(pybind11::module_& m);
// The camera manager, cameras, their tools, callbacks and recording.
void bindCamera(pybind11::module_& m);
// Simulated cameras and their scenes, in the submodule vireo.sim.
void bindSim(pybind11::module_& m);

}  // namespace vireo::python

// Clustering and calibration: defined in bind_clustering.cpp and bind_calibration.cpp.
void bindClustering(pybind11::module_& m);
void bindCalibration(pybind11::module_& m);
