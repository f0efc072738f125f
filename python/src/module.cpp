// The `vireo` Python module: the kit's readers, cameras, simulated cameras, video export,
// clustering and calibration, with events crossing as numpy structured arrays.
#include "Bindings.h"

#include <vireo/version.h>

namespace py = pybind11;

PYBIND11_MODULE(_vireo, m) {
    m.doc() = "The Vireo event-camera kit: recordings, cameras and algorithms with events as numpy arrays.";
    m.attr("__version__") = VIREO_VERSION_STRING;

    vireo::python::bindErrors(m);
    vireo::python::bindTypes(m);
#ifdef VIREO_PY_HAS_READER
    vireo::python::bindReader(m);
#endif
#ifdef VIREO_PY_HAS_VIDEO
    vireo::python::bindVideo(m);
#endif
#ifdef VIREO_PY_HAS_CAMERA
    vireo::python::bindCamera(m);
#endif
#ifdef VIREO_PY_HAS_SIM
    vireo::python::bindSim(m);
#endif
#ifdef VIREO_PY_CLUSTERING
    bindClustering(m);
#endif
#ifdef VIREO_PY_CALIBRATION
    bindCalibration(m);
#endif
}
