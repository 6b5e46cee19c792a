"""Hand-eye calibration of the line sensor from a sphere, on numpy arrays.

The solver lives in libmok_calib_c.so (a tool library with Ceres inside,
apart from libmok.so), found next to this package, then through
``MOK_CALIB_LIBRARY``, then through the system loader.

    res = mok.calibrate_sphere(poses, points, point_pose, radius_mm=25.0,
                               initial=drawing_mount, pose_sigma_mm=0.05, pose_sigma_deg=0.01)
    res.mount        # X_tool_sensor: x, y, z (mm), qw, qx, qy, qz
    res.pose_rms_mm  # per pose: the largest is the pose to check or drop
"""
from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass
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


STATUS = {0: "ok", 1: "too few views on the sphere", 2: "pose set leaves the mounting unconstrained",
          3: "not converged", 4: "poor fit", -1: "bad arguments"}


@dataclass
class SphereCalibration:
    status: str
    ok: bool
    mount: np.ndarray                 # (7,) x, y, z mm, qw, qx, qy, qz
    centre_mm: np.ndarray             # (3,) sphere centre in the base frame
    residual_rms_mm: float
    noise_sigma_mm: float
    sigma_translation_mm: np.ndarray  # (3,) along the tool's axes
    sigma_rotation_deg: np.ndarray    # (3,) about the sensor's axes
    pose_rms_mm: np.ndarray           # (n_poses,), NaN for a pose left out
    more_poses_needed: int
    message: str                      # the refusal's reason, or advice toward the target sigma


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
        _lib = lib
    return _lib


def calibrate_sphere(poses: ArrayLike, points: ArrayLike, point_pose: ArrayLike, radius_mm: float,
                     initial: ArrayLike | None = None, pose_sigma_mm: float = 0.0,
                     pose_sigma_deg: float = 0.0, target_sigma_mm: float = 0.0,
                     target_sigma_deg: float = 0.0) -> SphereCalibration:
    """poses: (N, 7) X_base_tool as x, y, z (mm), qw, qx, qy, qz; points: (M, 2)
    profile points (y, z) in mm; point_pose: (M,) index of each point's pose;
    initial: the drawing's mounting (7,) or None. A refusal is a result with
    ``ok`` False and the reason in ``message``, not an exception."""
    poses = np.ascontiguousarray(poses, dtype=np.float64).reshape(-1, 7)
    points = np.ascontiguousarray(points, dtype=np.float64).reshape(-1, 2)
    point_pose = np.ascontiguousarray(point_pose, dtype=np.uint32).reshape(-1)
    if point_pose.shape[0] != points.shape[0]:
        raise ValueError("points and point_pose differ in length")
    init = None if initial is None else np.ascontiguousarray(initial, dtype=np.float64).reshape(7)
    rms = np.full(poses.shape[0], np.nan)
    res = _Result()
    _load().mok_calib_sphere(
        poses.ctypes.data_as(_c_double_p), poses.shape[0], points.ctypes.data_as(_c_double_p),
        point_pose.ctypes.data_as(ctypes.POINTER(ctypes.c_uint32)), points.shape[0], float(radius_mm),
        None if init is None else init.ctypes.data_as(_c_double_p), float(pose_sigma_mm), float(pose_sigma_deg),
        float(target_sigma_mm), float(target_sigma_deg), rms.ctypes.data_as(_c_double_p), ctypes.byref(res))
    return SphereCalibration(
        status=STATUS.get(res.status, str(res.status)), ok=res.status == 0, mount=np.array(res.mount[:]),
        centre_mm=np.array(res.centre_mm[:]), residual_rms_mm=res.residual_rms_mm,
        noise_sigma_mm=res.noise_sigma_mm, sigma_translation_mm=np.array(res.sigma_translation_mm[:]),
        sigma_rotation_deg=np.array(res.sigma_rotation_deg[:]), pose_rms_mm=rms,
        more_poses_needed=int(res.more_poses_needed), message=res.reason.decode(errors="replace"))
