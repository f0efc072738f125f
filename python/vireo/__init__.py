"""The Vireo event-camera kit from Python.

Recordings, cameras, simulated cameras, video export, clustering and calibration, with events
as numpy structured arrays of dtype ``EVENT2D_DTYPE`` (fields x, y, p, t; 16 bytes each).
"""
import sys as _sys

from . import _vireo
from ._vireo import *  # noqa: F401,F403
from ._vireo import __doc__ as _native_doc, __version__  # noqa: F401

# The submodules are made by the extension; registering them lets `import vireo.sim` work.
for _name in ("sim", "clustering", "calibration"):
    if hasattr(_vireo, _name):
        globals()[_name] = getattr(_vireo, _name)
        _sys.modules[__name__ + "." + _name] = getattr(_vireo, _name)
del _name
