"""Scan results as numpy views of the library's own memory, and batches of
them stacked into arrays.

A :class:`ScanResult` owns one result handle. Its arrays are read-only views
of the handle's memory (nothing is copied); every view keeps the handle alive,
so the memory stays valid for as long as any view exists, also after the
result object or its camera is gone.
"""
from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any, Callable, Optional, Sequence, Tuple

import numpy as np

from . import _lib

SEAM_POINT_COUNT = 8
SEGMENT_COUNT = 32

#: One profile point: x and reserved are always 0.
POINT_DTYPE = np.dtype([("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("reserved", "<f4")])
#: The seam information block (96 bytes).
SEAM_INFO_DTYPE = np.dtype(
    [("head", "u1", (8,)), ("values", "<f4", (18,)), ("tail", "u1", (8,)), ("word", "<u4"), ("reserved", "<u4")]
)
#: One segment entry (64 bytes); an absent segment is all zero.
SEGMENT_DTYPE = np.dtype(
    {
        "names": ["head", "value", "a", "b", "c", "type"],
        "formats": [("u1", (8,)), "<f4", ("<f4", (4,)), ("<f4", (4,)), ("<f4", (4,)), "<i4"],
        "offsets": [0, 8, 12, 28, 44, 60],
        "itemsize": 64,
    }
)
assert SEAM_INFO_DTYPE.itemsize == 96


class _Handle:
    """One library handle and the function that releases it; released once,
    when the last Python reference (a result or a view) goes."""

    __slots__ = ("ptr", "_free", "__weakref__")

    def __init__(self, ptr: int, free: Callable[[int], None]) -> None:
        self.ptr = ptr
        self._free = free

    def __del__(self) -> None:
        ptr, self.ptr = self.ptr, 0
        if ptr:
            self._free(ptr)


class _View:
    """Exposes `size` bytes at `addr` to numpy while holding the handle."""

    __slots__ = ("__array_interface__", "_owner")

    def __init__(self, owner: _Handle, addr: int, dtype: np.dtype, shape: Tuple[int, ...],
                 strides: Optional[Tuple[int, ...]]) -> None:
        self._owner = owner
        descr = dtype.descr if dtype.fields else dtype.str
        self.__array_interface__ = {
            "version": 3, "data": (addr, True), "typestr": dtype.str, "descr": descr, "shape": shape, "strides": strides
        }


def view(owner: _Handle, addr: Optional[int], dtype: Any, shape: Tuple[int, ...],
         strides: Optional[Tuple[int, ...]] = None) -> np.ndarray:
    """A read-only array over library memory that keeps `owner` alive."""
    dt = np.dtype(dtype)
    if not addr or 0 in shape:
        empty = np.zeros(shape, dt)
        empty.flags.writeable = False
        return empty
    return np.asarray(_View(owner, addr, dt, shape, strides))


class ScanResult:
    """One decoded scan result.

    ``points`` is an ``(n,)`` array of :data:`POINT_DTYPE`; ``y`` and ``z``
    are float32 views of its columns. All arrays view the library's memory
    and are read-only.
    """

    __slots__ = ("_h", "_cache")

    def __init__(self, handle: int) -> None:
        lib = _lib.load()
        self._h = _Handle(handle, lib.mok_scan_result_free)
        self._cache: dict = {}

    @property
    def handle(self) -> int:
        """The C handle (valid while this object or a view of it lives)."""
        return self._h.ptr

    def _get(self, name: str) -> Any:
        return getattr(_lib.load(), "mok_scan_result_" + name)(self._h.ptr)

    @property
    def point_count(self) -> int:
        """Number of profile points."""
        return int(self._get("point_count"))

    @property
    def points(self) -> np.ndarray:
        """The profile, ``(n,)`` of :data:`POINT_DTYPE`, viewing library memory."""
        if "points" not in self._cache:
            self._cache["points"] = view(self._h, self._get("points"), POINT_DTYPE, (self.point_count,))
        return self._cache["points"]

    @property
    def y(self) -> np.ndarray:
        """y coordinates of the profile (float32 view)."""
        return self.points["y"]

    @property
    def z(self) -> np.ndarray:
        """z coordinates of the profile (float32 view)."""
        return self.points["z"]

    @property
    def pts(self) -> int:
        """The device's time stamp of the result."""
        return int(self._get("pts"))

    @property
    def seam_found(self) -> bool:
        """Whether the device found a seam."""
        return bool(self._get("seam_found"))

    @property
    def seam_point_idx(self) -> int:
        """Index into :attr:`seam_points` of the seam point."""
        return int(self._get("seam_point_idx"))

    @property
    def seam_width(self) -> float:
        """Seam width."""
        return float(self._get("seam_width"))

    @property
    def seam_height(self) -> float:
        """Seam height."""
        return float(self._get("seam_height"))

    @property
    def seam_angle(self) -> float:
        """Seam angle."""
        return float(self._get("seam_angle"))

    @property
    def seam_points(self) -> np.ndarray:
        """The eight seam points, ``(8,)`` of :data:`POINT_DTYPE`."""
        return view(self._h, self._get("seam_points"), POINT_DTYPE, (SEAM_POINT_COUNT,))

    @property
    def seam_point(self) -> Optional[np.ndarray]:
        """The chosen seam point (a record of :data:`POINT_DTYPE`), or None
        when no seam was found."""
        p = _lib.ScanPoint()
        if _lib.load().mok_scan_result_seam_point(self._h.ptr, ctypes.byref(p)) != _lib.OK:
            return None
        return np.array((p.x, p.y, p.z, p.reserved), dtype=POINT_DTYPE)

    @property
    def seam_info(self) -> np.ndarray:
        """The seam information block, a 0-d record of :data:`SEAM_INFO_DTYPE`."""
        return view(self._h, self._get("seam_info"), SEAM_INFO_DTYPE, ())

    @property
    def segments(self) -> np.ndarray:
        """The 32 segment entries, ``(32,)`` of :data:`SEGMENT_DTYPE`."""
        return view(self._h, self._get("segments"), SEGMENT_DTYPE, (SEGMENT_COUNT,))

    def __repr__(self) -> str:
        return f"<ScanResult pts={self.pts} points={self.point_count} seam_found={self.seam_found}>"


@dataclass(frozen=True)
class ScanBatch:
    """Results taken from the queue in one call, stacked (copied) into arrays.

    Row ``i`` describes the i-th result in arrival order. ``y`` and ``z`` are
    ``(n, m)`` float32 with ``m`` the largest point count in the batch; rows
    of shorter profiles are NaN-padded beyond ``point_count[i]``.
    """

    pts: np.ndarray  #: uint64 device time stamps
    point_count: np.ndarray  #: uint32
    y: np.ndarray  #: float32 (n, m)
    z: np.ndarray  #: float32 (n, m)
    seam_found: np.ndarray  #: bool
    seam_point: np.ndarray  #: float32 (n, 4): x, y, z, reserved; NaN without a seam
    seam_width: np.ndarray  #: float32
    seam_height: np.ndarray  #: float32
    seam_angle: np.ndarray  #: float32

    def __len__(self) -> int:
        return len(self.pts)

    @staticmethod
    def empty() -> "ScanBatch":
        """A batch of no results."""
        return stack([])


def stack(handles: Sequence[int]) -> ScanBatch:
    """Copies the results behind `handles` into one batch (handles untouched).

    Every array of the batch is a view into one buffer, so a batch costs one
    allocation however many results it holds."""
    lib = _lib.load()
    n = len(handles)
    counts_list = [lib.mok_scan_result_point_count(h) for h in handles]
    m = max(counts_list, default=0)
    # 8-byte fields first, so every view is aligned.
    sizes = {"pts": 8 * n, "points": 16 * n * m, "seam": 16 * n, "meta": 12 * n, "counts": 4 * n, "found": n}
    buf = np.empty(sum(sizes.values()), np.uint8)
    views = {}
    off = 0
    for name, size in sizes.items():
        views[name] = buf[off:off + size]
        off += size
    pts = views["pts"].view(np.uint64)
    points = views["points"].view(np.float32).reshape(n, m, 4)
    seam = views["seam"].view(np.float32).reshape(n, 4)
    meta = views["meta"].view(np.float32).reshape(n, 3)
    counts = views["counts"].view(np.uint32)
    found = views["found"].view(np.bool_)
    seam.fill(np.nan)
    base = points.ctypes.data
    row = m * 16
    sp = _lib.ScanPoint()
    sp_ref = ctypes.byref(sp)
    for i, h in enumerate(handles):
        c = counts_list[i]
        counts[i] = c
        if c:
            ctypes.memmove(base + i * row, lib.mok_scan_result_points(h), c * 16)
        if c < m:
            points[i, c:] = np.nan
        pts[i] = lib.mok_scan_result_pts(h)
        f = found[i] = lib.mok_scan_result_seam_found(h)
        meta[i] = (lib.mok_scan_result_seam_width(h), lib.mok_scan_result_seam_height(h), lib.mok_scan_result_seam_angle(h))
        if f and lib.mok_scan_result_seam_point(h, sp_ref) == _lib.OK:
            seam[i] = (sp.x, sp.y, sp.z, sp.reserved)
    return ScanBatch(pts, counts, points[:, :, 1], points[:, :, 2], found, seam, meta[:, 0], meta[:, 1], meta[:, 2])
