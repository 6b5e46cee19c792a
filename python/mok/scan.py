"""Scan results as numpy views of the library's own memory, and batches of
them copied by the library into reusable buffers.

A :class:`ScanResult` owns one result handle. Its arrays are read-only views
of the handle's memory (nothing is copied); every view keeps the handle alive,
so the memory stays valid for as long as any view exists, also after the
result object or its camera is gone.
"""
from __future__ import annotations

import ctypes
import sys
import threading
from collections.abc import Callable, Sequence
from typing import Any

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
#: One result as the library copies it in a batch (mok_scan_record_t, 56 bytes).
SCAN_RECORD_DTYPE = np.dtype(
    {
        "names": ["pts", "point_offset", "point_count", "seam_point_idx", "seam_point", "seam_width", "seam_height",
                  "seam_angle", "seam_found"],
        "formats": ["<u8", "<u8", "<u4", "<u4", ("<f4", (4,)), "<f4", "<f4", "<f4", "?"],
        "offsets": [0, 8, 16, 20, 24, 40, 44, 48, 52],
        "itemsize": 56,
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

    def __init__(self, owner: _Handle, addr: int, dtype: np.dtype, shape: tuple[int, ...],
                 strides: tuple[int, ...] | None) -> None:
        self._owner = owner
        descr = dtype.descr if dtype.fields else dtype.str
        self.__array_interface__ = {
            "version": 3, "data": (addr, True), "typestr": dtype.str, "descr": descr, "shape": shape, "strides": strides
        }


def view(owner: _Handle, addr: int | None, dtype: Any, shape: tuple[int, ...],
         strides: tuple[int, ...] | None = None) -> np.ndarray:
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
    def seam_point(self) -> np.ndarray | None:
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


class ScanBatch:
    """Results taken from the queue in one call, copied into arrays the
    batch owns.

    Row ``i`` describes the i-th result in arrival order. ``y`` and ``z`` are
    ``(n, m)`` float32 with ``m`` the largest point count in the batch; rows
    of shorter profiles are NaN-padded beyond ``point_count[i]``. The other
    fields are columns of :attr:`records` (strided views, no copy).
    """

    __slots__ = ("records", "_rows")

    def __init__(self, records: np.ndarray, rows: np.ndarray) -> None:
        #: ``(n,)`` of :data:`SCAN_RECORD_DTYPE`, one per result.
        self.records = records
        self._rows = rows  # (n, m, 4) float32: x, y, z, reserved

    def __len__(self) -> int:
        return len(self.records)

    @property
    def pts(self) -> np.ndarray:
        """uint64 device time stamps."""
        return self.records["pts"]

    @property
    def point_count(self) -> np.ndarray:
        """uint32 points per result."""
        return self.records["point_count"]

    @property
    def y(self) -> np.ndarray:
        """float32 ``(n, m)`` y coordinates."""
        return self._rows[:, :, 1]

    @property
    def z(self) -> np.ndarray:
        """float32 ``(n, m)`` z coordinates."""
        return self._rows[:, :, 2]

    @property
    def seam_found(self) -> np.ndarray:
        """bool, whether the device found a seam."""
        return self.records["seam_found"]

    @property
    def seam_point(self) -> np.ndarray:
        """float32 ``(n, 4)``: x, y, z, reserved; NaN without a seam."""
        return self.records["seam_point"]

    @property
    def seam_width(self) -> np.ndarray:
        """float32 seam widths."""
        return self.records["seam_width"]

    @property
    def seam_height(self) -> np.ndarray:
        """float32 seam heights."""
        return self.records["seam_height"]

    @property
    def seam_angle(self) -> np.ndarray:
        """float32 seam angles."""
        return self.records["seam_angle"]

    def __repr__(self) -> str:
        return f"<ScanBatch {len(self)} results, {self._rows.shape[1]} points wide>"

    def copy(self) -> "ScanBatch":
        """The batch in arrays of its own size."""
        return ScanBatch(self.records.copy(), self._rows.copy())

    @staticmethod
    def empty() -> "ScanBatch":
        """A batch of no results."""
        return stack([])


def stack(handles: Sequence[int]) -> ScanBatch:
    """Copies the results behind `handles` into one batch (handles untouched)."""
    lib = _lib.load()
    n = len(handles)
    rec = np.zeros(n, SCAN_RECORD_DTYPE)
    counts = [lib.mok_scan_result_point_count(h) for h in handles]
    rows = np.full((n, max(counts, default=0), 4), np.nan, np.float32)
    sp = _lib.ScanPoint()
    sp_ref = ctypes.byref(sp)
    for i, h in enumerate(handles):
        c = counts[i]
        if c:
            ctypes.memmove(rows[i].ctypes.data, lib.mok_scan_result_points(h), c * 16)
        found = lib.mok_scan_result_seam_found(h)
        point = (sp.x, sp.y, sp.z, sp.reserved) if found and lib.mok_scan_result_seam_point(h, sp_ref) == _lib.OK \
            else (np.nan,) * 4
        rec[i] = (lib.mok_scan_result_pts(h), 0, c, lib.mok_scan_result_seam_point_idx(h), point,
                  lib.mok_scan_result_seam_width(h), lib.mok_scan_result_seam_height(h),
                  lib.mok_scan_result_seam_angle(h), found)
    rec["point_offset"][1:] = np.cumsum(counts)[:-1] if n else []
    return ScanBatch(rec, rows)


class _Slab:
    """One buffer a batch is copied into: `records` records, then room for
    `points` points."""

    __slots__ = ("buf", "records", "points", "rec_addr", "pt_addr", "_idle_refs")

    def __init__(self, records: int, points: int) -> None:
        rec_bytes = records * SCAN_RECORD_DTYPE.itemsize
        self.buf = np.empty(rec_bytes + points * 16, np.uint8)
        self.records, self.points = records, points
        self.rec_addr = self.buf.ctypes.data
        self.pt_addr = self.rec_addr + rec_bytes
        self._idle_refs = sys.getrefcount(self.buf)  # while only this slab refers to it

    def idle(self) -> bool:
        """No array of an earlier batch and no reader refers to the buffer."""
        return sys.getrefcount(self.buf) == self._idle_refs

    def batch(self, n: int, used: int) -> ScanBatch:
        """The first `n` records and `used` points as a batch of views.
        Few arrays: numpy keeps only a handful of array shapes for reuse,
        and each array beyond them costs an allocation."""
        rec_bytes = self.records * SCAN_RECORD_DTYPE.itemsize
        rec = self.buf[: n * SCAN_RECORD_DTYPE.itemsize].view(SCAN_RECORD_DTYPE)
        counts = rec["point_count"].tolist()  # a numpy reduction would allocate
        m = max(counts, default=0)
        flat = self.buf[rec_bytes: rec_bytes + used * 16].view(np.float32)
        if used == n * m:  # every profile m long: the points are the rows
            rows = flat.reshape(n, m, 4)
        else:
            rows = np.full((n, m, 4), np.nan, np.float32)
            for i, (off, c) in enumerate(zip(rec["point_offset"].tolist(), counts)):
                rows[i, :c] = flat[off * 4: (off + c) * 4].reshape(c, 4)
        return ScanBatch(rec, rows)


class BatchBuffers:
    """The buffers one camera's batches are copied into, reused so that
    reading a batch allocates nothing while the host keeps few batches.

    A batch's arrays are views of its buffer, and a buffer is reused only
    once no array of it is alive, so a batch the host keeps is never
    overwritten. A host that keeps more batches than there are such buffers
    gets each further batch copied out of a scratch buffer into arrays of
    its own size, so what it keeps costs what it holds. The point room
    grows when a batch was cut short for lack of it."""

    _LENT = 3  # the batch being read, the one the host still holds, a spare
    _FIRST_POINTS = 1 << 16

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._slabs: list[_Slab] = []  # _LENT lent, then the scratch buffer
        self._points = self._FIRST_POINTS

    def take(self, records: int, points: int = 0) -> tuple[_Slab, np.ndarray, bool]:
        """An idle buffer with room for `records` records and `points`
        points (at least the current room), a reference to its memory taken
        under the lock, which keeps it busy until the caller drops it, and
        whether its views may be handed out (else copy the batch)."""
        with self._lock:
            points = self._points = max(points, self._points)
            for i, slab in enumerate(self._slabs):
                if slab.idle():
                    if slab.records < records or slab.points < points:
                        slab = self._slabs[i] = _Slab(max(records, slab.records), points)
                    return slab, slab.buf, i < self._LENT
            slab = _Slab(records, points)
            i = len(self._slabs)
            if i <= self._LENT:
                self._slabs.append(slab)
            return slab, slab.buf, i < self._LENT

    def note(self, slab: _Slab, n: int, max_n: int, used: int, largest: int) -> None:
        """Grows the point room when a batch stopped short of `max_n` with
        less room left than its largest result needed."""
        if n < max_n and slab.points - used < largest:
            with self._lock:
                self._points = max(self._points, min(2 * slab.points, max_n * max(largest, 1)))
