"""mok: the laser line-scanning camera from Python, with numpy.

A pure-Python package over libmok.so (ctypes); numpy is its only dependency.

    import mok
    with mok.Camera("192.168.0.10") as cam:
        cam.wait_params()
        batch = cam.read_scans(256, timeout=1.0)   # stacked numpy arrays
        for r in cam.scans(timeout=1.0):           # numpy views, no copy
            print(r.pts, r.z.mean())

Seam tracking (robot poses + scan results -> the torch's correction):
:class:`Tracker`, see docs/tracking.md.
"""
from __future__ import annotations

from . import _lib
from ._lib import LibraryNotFound
from ._version import __version__
from .calibrate import PlateCalibration, SphereCalibration, calibrate_planes, calibrate_sphere
from .camera import DEFAULT_QUEUE_CAPACITY, Camera
from .errors import Closed, InvalidArgument, MokError, NotAvailable, SendFailed, Timeout
from .media import ImageFormat, Snapshot, VideoFrame
from .scan import POINT_DTYPE, SCAN_RECORD_DTYPE, SEAM_INFO_DTYPE, SEGMENT_DTYPE, ScanBatch, ScanResult
from .simulator import Simulator
from .stats import State, Stats
from .tracker import Correction, Pose, PoseRefusal, Tracker, TrackStatus, load_mount, save_mount
from .tracker import now_ns as track_now_ns


def load_library(path: str | None = None) -> str:
    """Loads libmok.so now (next to the package, then `path` or
    ``MOK_LIBRARY``, then the system loader) and returns its version text.
    Raises :class:`LibraryNotFound` listing every candidate tried."""
    return _lib.load(path).mok_version_str().decode()


__all__ = [
    "Camera", "State", "Stats", "DEFAULT_QUEUE_CAPACITY", "ScanResult", "ScanBatch", "POINT_DTYPE",
    "SEAM_INFO_DTYPE", "SEGMENT_DTYPE", "SCAN_RECORD_DTYPE", "Snapshot", "ImageFormat", "VideoFrame", "Simulator",
    "MokError", "NotAvailable", "SendFailed", "InvalidArgument", "Timeout", "Closed", "LibraryNotFound",
    "load_library", "__version__",
    "Tracker", "TrackStatus", "PoseRefusal", "Pose", "Correction", "load_mount", "save_mount", "track_now_ns",
    "calibrate_sphere", "SphereCalibration", "calibrate_planes", "PlateCalibration",
]
