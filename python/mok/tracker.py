"""Seam tracking: the seam in the robot's base frame and the torch's
correction, from robot poses and the camera's scan results.

A thin layer over the library's tracker (``mok_track.h``); docs/tracking.md
states the frames, clocks and statuses. Poses are ``(x_mm, y_mm, z_mm, qw,
qx, qy, qz)`` sequences (or :class:`Pose`); results are the package's own
:class:`~mok.ScanResult` and :class:`~mok.ScanBatch`.

    tracker = mok.Tracker(mount=mok.load_mount("mount.json"))
    tracker.push_pose(pose, t_robot_us)          # from the robot, any thread
    tracker.push(result)                         # from the camera
    c = tracker.correction()
    if c.status == mok.TrackStatus.OK:
        print(c.lateral_mm, c.vertical_mm)
"""
from __future__ import annotations

import ctypes
import enum
import threading
from ctypes import (
    POINTER,
    Structure,
    c_char,
    c_char_p,
    c_double,
    c_int32,
    c_int64,
    c_size_t,
    c_uint32,
    c_uint64,
    c_void_p,
)
from typing import Any, Dict, Iterable, Optional, Sequence, Tuple, Union

import numpy as np

from . import _lib
from .errors import MokError, check
from .scan import ScanBatch, ScanResult


class Pose(Structure):
    """mok_pose_t: position in mm, unit quaternion (w, x, y, z)."""

    _fields_ = [(n, c_double) for n in ("x_mm", "y_mm", "z_mm", "qw", "qx", "qy", "qz")]

    def __iter__(self):
        return iter(tuple(getattr(self, n) for n, _ in self._fields_))

    def __repr__(self) -> str:
        return "Pose(%s)" % ", ".join("%s=%g" % (n, getattr(self, n)) for n, _ in self._fields_)


PoseLike = Union[Pose, Sequence[float], np.ndarray]


class _Config(Structure):
    _fields_ = [
        ("size", c_uint32), ("pose_capacity", c_uint32), ("pose_max_age_ns", c_int64),
        ("extrapolation_limit_ns", c_int64), ("pose_timeout_ns", c_int64), ("future_tolerance_ns", c_int64),
        ("robot_latency_ns", c_int64), ("device_latency_ns", c_int64), ("poses_carry_robot_clock", c_int32),
        ("require_seam_found", c_int32), ("width_min", c_double), ("width_max", c_double),
        ("height_min", c_double), ("height_max", c_double), ("angle_min", c_double), ("angle_max", c_double),
        ("outlier_window", c_uint32), ("pending_capacity", c_uint32), ("outlier_k", c_double),
        ("outlier_min_mm", c_double), ("smoothing_window_mm", c_double), ("path_resolution_mm", c_double),
        ("path_memory_mm", c_double), ("direction_window_mm", c_double), ("pending_max_wait_ns", c_int64),
        ("clock_window_ns", c_int64), ("clock_resync_ns", c_int64),
    ]


class Correction(Structure):
    """mok_correction_t; fields the status does not support are NaN."""

    _fields_ = [
        ("status", c_int32), ("reserved", c_uint32), ("t_pose_ns", c_int64), ("torch_distance_mm", c_double),
        ("scanned_to_mm", c_double), ("seam_base_mm", c_double * 3), ("base_mm", c_double * 3),
        ("tool_mm", c_double * 3), ("lateral_mm", c_double), ("vertical_mm", c_double),
    ]

    def __repr__(self) -> str:
        return (f"Correction({TrackStatus(self.status).name}, torch at {self.torch_distance_mm:.3f} mm, "
                f"lateral {self.lateral_mm:.3f} mm, vertical {self.vertical_mm:.3f} mm)")


_STATS_FIELDS = [
    ("size", c_uint32), ("reserved", c_uint32),
    *[(n, c_uint64) for n in (
        "results_pushed", "results_used", "results_not_found", "results_gated", "results_outliers",
        "results_stale", "results_dropped", "results_pending", "poses_accepted", "poses_bad", "poses_future",
        "poses_past", "poses_duplicate", "datagrams_refused", "poses_held", "queries", "queries_stale",
        "queries_no_pose")],
    ("device_offset_ns", c_int64), ("device_drift_ppm", c_double), ("device_clock_resyncs", c_uint64),
    ("robot_offset_ns", c_int64), ("robot_drift_ppm", c_double), ("robot_clock_resyncs", c_uint64),
    ("tool_distance_mm", c_double), ("scanned_to_mm", c_double),
]


class _Stats(Structure):
    _fields_ = _STATS_FIELDS


class TrackStatus(enum.IntEnum):
    """MOK_TRACK_* statuses (the numbers never change)."""

    OK = 0
    NOT_YET_SCANNED = 1
    GAP = 2
    STALE_POSE = 3
    NO_POSE = 4
    WAITING = 5
    NO_CLOCK = 6


class PoseRefusal(enum.IntEnum):
    """Why a pose was not taken (MOK_TRACK_ERR_*); every refusal is counted."""

    BAD_POSE = -20
    FUTURE = -21
    PAST = -22
    DUPLICATE = -23
    BAD_DATAGRAM = -24


_P = POINTER
_PROTOTYPES = {
    "mok_track_now_ns": (c_int64, []),
    "mok_track_mount_load": (c_int32, [c_char_p, _P(Pose), _P(c_char), c_size_t]),
    "mok_track_mount_save": (c_int32, [c_char_p, _P(Pose), c_char_p, _P(c_char), c_size_t]),
    "mok_tracker_config_init": (None, [_P(_Config)]),
    "mok_tracker_create": (c_void_p, [_P(_Config)]),
    "mok_tracker_free": (None, [c_void_p]),
    "mok_tracker_set_mount": (c_int32, [c_void_p, _P(Pose)]),
    "mok_tracker_reset": (c_int32, [c_void_p]),
    "mok_tracker_push_pose": (c_int32, [c_void_p, _P(Pose), c_int64, c_int64]),
    "mok_tracker_push_pose_datagram": (c_int32, [c_void_p, c_char_p, c_size_t, c_int64, c_void_p]),
    "mok_tracker_push_result": (c_int32, [c_void_p, c_void_p, c_int64]),
    "mok_tracker_push_record": (c_int32, [c_void_p, c_void_p, c_int64]),
    "mok_tracker_push_seam": (
        c_int32, [c_void_p, c_uint64, c_int64, c_int32, c_double, c_double, c_double, c_double, c_double]),
    "mok_tracker_correction": (c_int32, [c_void_p, _P(Pose), c_int64, _P(Correction)]),
    "mok_tracker_seam_at": (c_int32, [c_void_p, c_double, _P(c_double)]),
    "mok_tracker_map_points": (c_int32, [c_void_p, c_uint64, c_void_p, c_uint32, c_void_p]),
    "mok_tracker_get_stats": (c_int32, [c_void_p, _P(_Stats), c_uint32]),
}
_declared: Optional[ctypes.CDLL] = None
_declare_lock = threading.Lock()


def _api() -> ctypes.CDLL:
    global _declared
    with _declare_lock:
        if _declared is None:
            lib = _lib.load()
            for name, (restype, argtypes) in _PROTOTYPES.items():
                fn = getattr(lib, name)
                fn.restype, fn.argtypes = restype, argtypes
            _declared = lib
        return _declared


def _pose(p: PoseLike) -> Pose:
    if isinstance(p, Pose):
        return p
    values = [float(v) for v in p]
    if len(values) != 7:
        raise ValueError("a pose is (x_mm, y_mm, z_mm, qw, qx, qy, qz)")
    return Pose(*values)


def _pose_answer(what: str, rc: int) -> int:
    # Refusals are answers (counted by the tracker); anything else failed.
    if rc < 0 and rc not in PoseRefusal._value2member_map_:
        check(what, rc)
    return PoseRefusal(rc) if rc < 0 else rc


def now_ns() -> int:
    """The host's steady clock in ns: the time base of every ``t_host_ns``."""
    return int(_api().mok_track_now_ns())


def load_mount(path: str) -> Pose:
    """Reads a mounting file (X_tool_sensor); raises :class:`MokError` with
    ``PATH:LINE: reason`` when it is refused."""
    out, err = Pose(), ctypes.create_string_buffer(512)
    rc = _api().mok_track_mount_load(str(path).encode(), ctypes.byref(out), err, len(err))
    check("mok_track_mount_load", rc, err.value.decode(errors="replace"))
    return out


def save_mount(path: str, X_tool_sensor: PoseLike, calibration_json: Optional[str] = None) -> None:
    """Writes a mounting file; ``calibration_json`` (a JSON object) is kept in it."""
    err = ctypes.create_string_buffer(512)
    rc = _api().mok_track_mount_save(str(path).encode(), ctypes.byref(_pose(X_tool_sensor)),
                                     calibration_json.encode() if calibration_json else None, err, len(err))
    check("mok_track_mount_save", rc, err.value.decode(errors="replace"))


class Tracker:
    """One tracker. ``mount`` is X_tool_sensor; keyword settings override
    the defaults by their C names (``robot_latency_ns=20_000_000``,
    ``poses_carry_robot_clock=0``, ...). Methods may be called from any
    thread. Receive times default to :func:`now_ns` at the call."""

    def __init__(self, mount: Optional[PoseLike] = None, **settings: Any) -> None:
        self._h: Optional[int] = None
        self._lib = _api()
        config = _Config()
        self._lib.mok_tracker_config_init(ctypes.byref(config))
        for name, value in settings.items():
            if name == "size" or name not in dict(_Config._fields_):
                raise TypeError(f"unknown tracker setting {name!r}")
            setattr(config, name, value)
        self._h = self._lib.mok_tracker_create(ctypes.byref(config))
        if not self._h:
            raise ValueError("tracker settings out of range")
        if mount is not None:
            self.set_mount(mount)

    def close(self) -> None:
        """Releases the tracker; later calls raise."""
        h, self._h = self._h, None
        if h:
            self._lib.mok_tracker_free(h)

    def __del__(self) -> None:
        self.close()

    def __enter__(self) -> "Tracker":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def _handle(self) -> int:
        if not self._h:
            raise MokError("tracker", _lib.ERR_INVALID_ARGUMENT, "closed")
        return self._h

    def set_mount(self, X_tool_sensor: PoseLike) -> None:
        rc = self._lib.mok_tracker_set_mount(self._handle(), ctypes.byref(_pose(X_tool_sensor)))
        if rc == PoseRefusal.BAD_POSE:
            raise ValueError("the mounting is not a pose (non-finite or not a unit quaternion)")
        check("mok_tracker_set_mount", rc)

    def reset(self) -> None:
        """Forgets poses, results, path and clocks: a new seam starts."""
        check("mok_tracker_reset", self._lib.mok_tracker_reset(self._handle()))

    def push_pose(self, X_base_tool: PoseLike, t_robot_us: int = 0, t_host_rx_ns: Optional[int] = None) -> int:
        """0 when taken, else a :class:`PoseRefusal` value."""
        rx = now_ns() if t_host_rx_ns is None else t_host_rx_ns
        rc = self._lib.mok_tracker_push_pose(self._handle(), ctypes.byref(_pose(X_base_tool)), t_robot_us, rx)
        return _pose_answer("mok_tracker_push_pose", rc)

    def push_pose_datagram(self, data: bytes, t_host_rx_ns: Optional[int] = None) -> int:
        """Decodes one robot datagram and pushes its pose; 0 or a refusal."""
        rx = now_ns() if t_host_rx_ns is None else t_host_rx_ns
        rc = self._lib.mok_tracker_push_pose_datagram(self._handle(), bytes(data), len(data), rx, None)
        return _pose_answer("mok_tracker_push_pose_datagram", rc)

    def push(self, results: Union[ScanResult, ScanBatch, Iterable[ScanResult]],
             t_host_rx_ns: Optional[int] = None) -> None:
        """Takes a result, a batch (one receive time for all) or results."""
        h, rx = self._handle(), now_ns() if t_host_rx_ns is None else t_host_rx_ns
        if isinstance(results, ScanBatch):
            records = np.ascontiguousarray(results.records)
            base = records.ctypes.data
            for i in range(len(records)):
                check("mok_tracker_push_record",
                      self._lib.mok_tracker_push_record(h, base + i * records.itemsize, rx))
            return
        for r in [results] if isinstance(results, ScanResult) else results:
            check("mok_tracker_push_result", self._lib.mok_tracker_push_result(h, r.handle, rx))

    def push_seam(self, t_device_us: int, y: float, z: float, found: bool = True, width: float = 0.0,
                  height: float = 0.0, angle: float = 0.0, t_host_rx_ns: Optional[int] = None) -> None:
        """Takes one result's fields without a camera."""
        rx = now_ns() if t_host_rx_ns is None else t_host_rx_ns
        check("mok_tracker_push_seam", self._lib.mok_tracker_push_seam(
            self._handle(), t_device_us, rx, 1 if found else 0, y, z, width, height, angle))

    def correction(self, X_base_tool: Optional[PoseLike] = None, t_host_ns: Optional[int] = None) -> Correction:
        """The correction for the newest pose (or for ``X_base_tool``); read ``.status`` first."""
        out = Correction()
        pose = ctypes.byref(_pose(X_base_tool)) if X_base_tool is not None else None
        rc = self._lib.mok_tracker_correction(self._handle(), pose, now_ns() if t_host_ns is None else t_host_ns,
                                              ctypes.byref(out))
        if rc == PoseRefusal.BAD_POSE:
            raise ValueError("X_base_tool is not a pose")
        check("mok_tracker_correction", min(rc, 0))
        return out

    def seam_at(self, distance_mm: float) -> Tuple[TrackStatus, Optional[np.ndarray]]:
        """The smoothed seam point (base frame) at a path distance."""
        p = (c_double * 3)()
        rc = self._lib.mok_tracker_seam_at(self._handle(), distance_mm, p)
        check("mok_tracker_seam_at", min(rc, 0))
        return TrackStatus(rc), np.array(p[:]) if rc == TrackStatus.OK else None

    def map_points(self, t_device_us: int, points: np.ndarray) -> Tuple[TrackStatus, Optional[np.ndarray]]:
        """Maps a profile taken at ``t_device_us`` into the base frame: ``points`` is
        a :data:`~mok.POINT_DTYPE` array or an ``(n, 2)`` array of (y, z); the answer
        ``(n, 3)``. WAITING means the poses have not reached that time yet."""
        pts = np.asarray(points)
        if pts.dtype.names is None:
            yz = np.asarray(pts, dtype=np.float32).reshape(-1, 2)
            pts = np.zeros(len(yz), dtype=[("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("r", "<f4")])
            pts["y"], pts["z"] = yz[:, 0], yz[:, 1]
        pts = np.ascontiguousarray(pts)
        out = np.empty((len(pts), 3))
        rc = self._lib.mok_tracker_map_points(self._handle(), t_device_us, pts.ctypes.data if len(pts) else None,
                                              len(pts), out.ctypes.data)
        check("mok_tracker_map_points", min(rc, 0))
        return TrackStatus(rc), out if rc == TrackStatus.OK else None

    def stats(self) -> Dict[str, Union[int, float]]:
        """The tracker's counters, clock offsets and drifts."""
        s = _Stats()
        rc = self._lib.mok_tracker_get_stats(self._handle(), ctypes.byref(s), ctypes.sizeof(s))
        check("mok_tracker_get_stats", rc)
        return {n: getattr(s, n) for n, _ in _STATS_FIELDS if n not in ("size", "reserved")}
