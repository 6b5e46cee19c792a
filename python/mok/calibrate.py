"""Hand-eye calibration of the line sensor from a sphere (or, as a check,
from flat plates), on numpy arrays.

The solver lives in libmok_calib_c.so (a tool library with Ceres inside,
apart from libmok.so), found next to this package, then through
``MOK_CALIB_LIBRARY``, then through the system loader.

    res = mok.calibrate_sphere(poses, points, point_pose, radius_mm=25.0,
                               initial=drawing_mount, pose_sigma_mm=0.05, pose_sigma_deg=0.01)
    res.mount        # X_tool_sensor: x, y, z (mm), qw, qx, qy, qz
    res.pose_rms_mm  # per pose: the largest is the pose to check or drop
    plates = mok.calibrate_planes(poses, pose_plate, points, point_pose, initial=drawing_mount, ...)
"""
from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass
from typing import Any
from pathlib import Path

import numpy as np
from numpy.typing import ArrayLike

from ._lib import LibraryNotFound

_c_double_p = ctypes.POINTER(ctypes.c_double)


class _Result(ctypes.Structure):
    _fields_ = [
        ("status", ctypes.c_int),
        ("mount", ctypes.c_double * 7),
        ("centre_mm", ctypes.c_double * 3),
        ("residual_rms_mm", ctypes.c_double),
        ("noise_sigma_mm", ctypes.c_double),
        ("sigma_translation_mm", ctypes.c_double * 3),
        ("sigma_rotation_deg", ctypes.c_double * 3),
        ("more_poses_needed", ctypes.c_size_t),
        ("reason", ctypes.c_char * 512),
    ]


STATUS = {0: "ok", 1: "too few views on the target", 2: "pose set leaves the mounting unconstrained",
          3: "not converged", 4: "poor fit", -1: "bad arguments"}


@dataclass
class Calibration:
    status: str
    ok: bool
    mount: np.ndarray                 # (7,) x, y, z mm, qw, qx, qy, qz
    residual_rms_mm: float
    noise_sigma_mm: float
    sigma_translation_mm: np.ndarray  # (3,) along the tool's axes
    sigma_rotation_deg: np.ndarray    # (3,) about the sensor's axes
    pose_rms_mm: np.ndarray           # (n_poses,), NaN for a pose left out
    more_poses_needed: int
    message: str                      # the refusal's reason, or advice toward the target sigma


@dataclass
class SphereCalibration(Calibration):
    centre_mm: np.ndarray             # (3,) sphere centre in the base frame


@dataclass
class PlateCalibration(Calibration):
    planes: np.ndarray                # (plates, 4) unit normal, offset mm (n . p = offset, base frame)


_lib: ctypes.CDLL | None = None


def _load() -> ctypes.CDLL:
    global _lib
    if _lib is None:
        here = Path(__file__).resolve().parent
        tried = []
        for name in (str(here / "libmok_calib_c.so"), os.environ.get("MOK_CALIB_LIBRARY"), "libmok_calib_c.so"):
            if not name:
                continue
            try:
                lib = ctypes.CDLL(name)
                break
            except OSError as e:
                tried.append(f"{name}: {e}")
        else:
            raise LibraryNotFound("libmok_calib_c could not be loaded; tried:\n  " + "\n  ".join(tried))
        lib.mok_calib_sphere.restype = ctypes.c_int
        lib.mok_calib_sphere.argtypes = [
            _c_double_p, ctypes.c_size_t, _c_double_p, ctypes.POINTER(ctypes.c_uint32), ctypes.c_size_t,
            ctypes.c_double, _c_double_p, ctypes.c_double, ctypes.c_double, ctypes.c_double, ctypes.c_double,
            _c_double_p, ctypes.POINTER(_Result)]
        lib.mok_calib_planes.restype = ctypes.c_int
        lib.mok_calib_planes.argtypes = [
            _c_double_p, ctypes.POINTER(ctypes.c_uint32), ctypes.c_size_t, _c_double_p,
            ctypes.POINTER(ctypes.c_uint32), ctypes.c_size_t, _c_double_p, ctypes.c_double, ctypes.c_double,
            ctypes.c_double, ctypes.c_double, _c_double_p, _c_double_p, ctypes.POINTER(_Result)]
        _lib = lib
    return _lib


def _arrays(poses: ArrayLike, points: ArrayLike,
            point_pose: ArrayLike) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    p = np.ascontiguousarray(poses, dtype=np.float64).reshape(-1, 7)
    q = np.ascontiguousarray(points, dtype=np.float64).reshape(-1, 2)
    owner = np.ascontiguousarray(point_pose, dtype=np.uint32).reshape(-1)
    if owner.shape[0] != q.shape[0]:
        raise ValueError("points and point_pose differ in length")
    return p, q, owner


def _initial(initial: ArrayLike | None) -> tuple[np.ndarray | None, Any]:
    """The drawing's mounting and its pointer (None, None without one); the
    array is returned to be kept alive beside its pointer."""
    if initial is None:
        return None, None
    init = np.ascontiguousarray(initial, dtype=np.float64).reshape(7)
    return init, init.ctypes.data_as(_c_double_p)


def _common(res: _Result, rms: np.ndarray) -> dict:
    return dict(status=STATUS.get(res.status, str(res.status)), ok=res.status == 0, mount=np.array(res.mount[:]),
                residual_rms_mm=res.residual_rms_mm, noise_sigma_mm=res.noise_sigma_mm,
                sigma_translation_mm=np.array(res.sigma_translation_mm[:]),
                sigma_rotation_deg=np.array(res.sigma_rotation_deg[:]), pose_rms_mm=rms,
                more_poses_needed=int(res.more_poses_needed), message=res.reason.decode(errors="replace"))


def calibrate_sphere(poses: ArrayLike, points: ArrayLike, point_pose: ArrayLike, radius_mm: float,
                     initial: ArrayLike | None = None, pose_sigma_mm: float = 0.0,
                     pose_sigma_deg: float = 0.0, target_sigma_mm: float = 0.0,
                     target_sigma_deg: float = 0.0) -> SphereCalibration:
    """poses: (N, 7) X_base_tool as x, y, z (mm), qw, qx, qy, qz; points: (M, 2)
    profile points (y, z) in mm; point_pose: (M,) index of each point's pose;
    initial: the drawing's mounting (7,), or None to start from the tool's
    frame and, if that fits poorly, from its other quarter turns. A refusal
    is a result with ``ok`` False and the reason in ``message``, not an
    exception."""
    p, q, owner = _arrays(poses, points, point_pose)
    _init, init_ptr = _initial(initial)
    rms = np.full(p.shape[0], np.nan)
    res = _Result()
    _load().mok_calib_sphere(
        p.ctypes.data_as(_c_double_p), p.shape[0], q.ctypes.data_as(_c_double_p),
        owner.ctypes.data_as(ctypes.POINTER(ctypes.c_uint32)), q.shape[0], float(radius_mm),
        init_ptr, float(pose_sigma_mm), float(pose_sigma_deg),
        float(target_sigma_mm), float(target_sigma_deg), rms.ctypes.data_as(_c_double_p), ctypes.byref(res))
    return SphereCalibration(centre_mm=np.array(res.centre_mm[:]), **_common(res, rms))


def calibrate_planes(poses: ArrayLike, pose_plate: ArrayLike, points: ArrayLike, point_pose: ArrayLike,
                     initial: ArrayLike | None = None, pose_sigma_mm: float = 0.0,
                     pose_sigma_deg: float = 0.0, target_sigma_mm: float = 0.0,
                     target_sigma_deg: float = 0.0) -> PlateCalibration:
    """As calibrate_sphere, from views of flat plates of unknown place: a check
    of the sphere's result. pose_plate: (N,) which plate each pose shows (0,
    1, ...); each plate needs at least 8 poses, and plates of different
    normals pin the translation that one plate leaves nearly open."""
    p, q, owner = _arrays(poses, points, point_pose)
    plate = np.ascontiguousarray(pose_plate, dtype=np.uint32).reshape(-1)
    if plate.shape[0] != p.shape[0]:
        raise ValueError("poses and pose_plate differ in length")
    _init, init_ptr = _initial(initial)
    rms = np.full(p.shape[0], np.nan)
    planes = np.zeros((int(plate.max(initial=0)) + 1, 4))
    res = _Result()
    _load().mok_calib_planes(
        p.ctypes.data_as(_c_double_p), plate.ctypes.data_as(ctypes.POINTER(ctypes.c_uint32)),
        p.shape[0], q.ctypes.data_as(_c_double_p),
        owner.ctypes.data_as(ctypes.POINTER(ctypes.c_uint32)), q.shape[0],
        init_ptr, float(pose_sigma_mm), float(pose_sigma_deg),
        float(target_sigma_mm), float(target_sigma_deg), rms.ctypes.data_as(_c_double_p),
        planes.ctypes.data_as(_c_double_p), ctypes.byref(res))
    return PlateCalibration(planes=planes, **_common(res, rms))
