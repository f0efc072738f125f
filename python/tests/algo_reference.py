"""The C++ reference program of the clustering and calibration suites.

``vireo_py_reference`` (built from python/tests/reference) runs the kit's C++ DBSCAN, KMeans,
circle-grid locator and Calibrator on the same inputs as the Python bindings, so that a suite
compares the bindings with the C++ library run on its own rather than with a second call of the
same binding. It sits in build/python/reference, beside the package folder on PYTHONPATH;
VIREO_PY_REFERENCE names another copy.
"""
import os
import pathlib
import subprocess

import numpy as np
import pytest

import vireo


def reference_program():
    named = os.environ.get("VIREO_PY_REFERENCE")
    path = pathlib.Path(named) if named else (
        pathlib.Path(vireo.__file__).resolve().parent.parent / "reference" / "vireo_py_reference")
    if not path.is_file():
        pytest.skip(f"the C++ reference program is not built ({path}); build the target vireo_py_reference")
    return path


def run_reference(*args):
    result = subprocess.run([str(reference_program()), *map(str, args)], capture_output=True, text=True,
                            timeout=240)
    assert result.returncode == 0, f"vireo_py_reference {' '.join(map(str, args))} failed: {result.stderr}"
    return result


def cxx_dbscan_labels(points, eps, min_pts, n_jobs, folder):
    """Labels of the C++ DBSCAN on `points` (float32 or float64, (N, 2) or (N, 3))."""
    points = np.ascontiguousarray(points)
    source, target = folder / "points.bin", folder / "labels.bin"
    points.tofile(source)
    kind = "f64" if points.dtype == np.float64 else "f32"
    run_reference("dbscan", source, points.shape[1], kind, repr(float(eps)), min_pts, n_jobs, target)
    return np.fromfile(target, dtype=np.int64)


def cxx_kmeans(points, k, max_iter, tol, folder):
    """(labels, centroids) of the C++ KMeans on `points`."""
    points = np.ascontiguousarray(points)
    source, labels, centroids = folder / "points.bin", folder / "labels.bin", folder / "centroids.bin"
    points.tofile(source)
    kind = "f64" if points.dtype == np.float64 else "f32"
    run_reference("kmeans", source, points.shape[1], kind, k, max_iter, repr(float(tol)), labels, centroids)
    return (np.fromfile(labels, dtype=np.int64),
            np.fromfile(centroids, dtype=np.float64).reshape(k, points.shape[1]))


def partition(labels):
    """The clusters of a labelling as a set of frozensets of member indices (noise left out)."""
    groups = {}
    for index, label in enumerate(labels.tolist()):
        if label >= 0:
            groups.setdefault(label, []).append(index)
    return {frozenset(members) for members in groups.values()}
