"""Finding and loading libmok.so, and the C declarations the package uses.

The library is looked for next to the package, then at an explicit path or
``MOK_LIBRARY``, then through the system loader; the first that loads wins.
Every call goes through ``ctypes.CDLL``, which releases the interpreter lock
for the duration of the call, so a blocking call never stalls other threads.
"""
from __future__ import annotations

import ctypes
import os
import threading
from ctypes import (
    CFUNCTYPE,
    POINTER,
    Structure,
    c_bool,
    c_char,
    c_char_p,
    c_double,
    c_float,
    c_int32,
    c_int64,
    c_size_t,
    c_uint32,
    c_uint64,
    c_void_p,
)
from pathlib import Path

# Status codes (mok.h); the numbers never change.
OK = 0
ERR_NOT_AVAILABLE = -1
ERR_SEND_FAILED = -2
ERR_INVALID_ARGUMENT = -3
ERR_TIMEOUT = -4
ERR_OTHER = -5
ERR_CLOSED = -6
ERR_IN_CALLBACK = -7

NO_LIMIT_MS = 2**64 - 1
SCAN_QUEUE_MAX_CAPACITY = 16384


class LibraryNotFound(OSError):
    """No candidate for libmok.so could be loaded; the message lists each."""


class ScanPoint(Structure):
    _fields_ = [("x", c_float), ("y", c_float), ("z", c_float), ("reserved", c_float)]


class Stats(Structure):
    """mok_stats_t: grows only at its end, so older libraries fill a prefix."""

    _fields_ = [
        ("size", c_uint32),
        ("state", c_uint32),
        ("time_in_state_ms", c_uint64),
        ("connect_attempts", c_uint64),
        ("connections_established", c_uint64),
        ("disconnects_remote_close", c_uint64),
        ("disconnects_inactivity", c_uint64),
        ("disconnects_decode_error", c_uint64),
        ("disconnects_write_failure", c_uint64),
        ("disconnects_stop", c_uint64),
        ("bytes_received", c_uint64),
        ("bytes_sent", c_uint64),
        ("packets_received", c_uint64),
        ("packets_sent", c_uint64),
        ("register_reports", c_uint64),
        ("snapshot_images", c_uint64),
        ("scan_results", c_uint64),
        ("video_packets", c_uint64),
        ("ignored_packets", c_uint64),
        ("scan_results_rejected", c_uint64),
        ("snapshots_queued", c_uint64),
        ("snapshots_received", c_uint64),
        ("video_packets_posted", c_uint64),
        ("frames_decoded", c_uint64),
        ("frames_delivered", c_uint64),
        ("frames_dropped", c_uint64),
        ("send_refused_not_connected", c_uint64),
        ("send_refused_queue_full", c_uint64),
        ("queue_depth", c_uint64),
        ("scan_rate_hz", c_double),
        ("scan_queue_dropped", c_uint64),
        ("scan_queue_depth", c_uint64),
        ("snapshots_dropped", c_uint64),
        ("video_packets_skipped", c_uint64),
    ]


class VideoFrameInfo(Structure):
    _fields_ = [
        ("data", c_void_p * 8),
        ("linesize", c_int32 * 8),
        ("format", c_int32),
        ("padding", c_int32),
        ("pts", c_int64),
        ("opaque", c_void_p),
        ("width", c_int32),
        ("height", c_int32),
    ]


assert ctypes.sizeof(Stats) == 264 and ctypes.sizeof(VideoFrameInfo) == 128

SCAN_CB = CFUNCTYPE(None, c_void_p, c_void_p)
STATE_CB = CFUNCTYPE(None, c_uint32, c_void_p)
VIDEO_CB = CFUNCTYPE(None, c_void_p, c_void_p)

# name: (result type, argument types)
_PROTOTYPES = {
    "mok_connect": (c_void_p, [c_char_p]),
    "mok_close": (None, [c_void_p]),
    "mok_start": (c_int32, [c_void_p]),
    "mok_stop": (c_int32, [c_void_p]),
    "mok_version_str": (c_char_p, []),
    "mok_get_exposure_time": (c_int32, [c_void_p, POINTER(c_uint32)]),
    "mok_get_laser_strength": (c_int32, [c_void_p, POINTER(c_uint32)]),
    "mok_get_task_id": (c_int32, [c_void_p, POINTER(c_uint32)]),
    "mok_get_laser_enable": (c_int32, [c_void_p, POINTER(c_int32)]),
    "mok_get_rts": (c_int32, [c_void_p, POINTER(c_uint64)]),
    "mok_get_cts": (c_int32, [c_void_p, POINTER(c_uint64)]),
    "mok_get_board_id": (c_int32, [c_void_p, POINTER(c_char), POINTER(c_uint32)]),
    "mok_get_serial_number": (c_int32, [c_void_p, POINTER(c_char), POINTER(c_uint32)]),
    "mok_get_last_error": (c_int32, [c_void_p, POINTER(c_char), POINTER(c_uint32)]),
    "mok_set_exposure_time": (c_int32, [c_void_p, c_uint32]),
    "mok_set_laser_strength": (c_int32, [c_void_p, c_uint32]),
    "mok_set_task_id": (c_int32, [c_void_p, c_uint32]),
    "mok_set_laser_enable": (c_int32, [c_void_p, c_int32]),
    "mok_set_rts": (c_int32, [c_void_p, c_uint64]),
    "mok_wait_params": (c_int32, [c_void_p, c_int32]),
    "mok_pull_rts": (c_int32, [c_void_p, c_int32, POINTER(c_uint64)]),
    "mok_get_scan_result": (c_void_p, [c_void_p]),
    "mok_scan_result_free": (None, [c_void_p]),
    "mok_scan_result_point_count": (c_uint32, [c_void_p]),
    "mok_scan_result_points": (c_void_p, [c_void_p]),
    "mok_scan_result_pts": (c_uint64, [c_void_p]),
    "mok_scan_result_seam_found": (c_bool, [c_void_p]),
    "mok_scan_result_seam_point_idx": (c_uint32, [c_void_p]),
    "mok_scan_result_seam_width": (c_float, [c_void_p]),
    "mok_scan_result_seam_height": (c_float, [c_void_p]),
    "mok_scan_result_seam_angle": (c_float, [c_void_p]),
    "mok_scan_result_seam_points": (c_void_p, [c_void_p]),
    "mok_scan_result_seam_info": (c_void_p, [c_void_p]),
    "mok_scan_result_segments": (c_void_p, [c_void_p]),
    "mok_scan_result_seam_point": (c_int32, [c_void_p, POINTER(ScanPoint)]),
    "mok_snapshot": (c_int32, [c_void_p, c_int32, c_int32, c_int32]),
    "mok_recv_snapshot_image": (c_void_p, [c_void_p, c_uint64]),
    "mok_snapshot_image_data": (c_void_p, [c_void_p]),
    "mok_snapshot_image_data_size": (c_size_t, [c_void_p]),
    "mok_snapshot_image_width": (c_uint32, [c_void_p]),
    "mok_snapshot_image_height": (c_uint32, [c_void_p]),
    "mok_snapshot_image_format": (c_int32, [c_void_p]),
    "mok_snapshot_image_free": (None, [c_void_p]),
    "mok_set_scan_cb": (None, [c_void_p, SCAN_CB, c_void_p]),
    "mok_clear_scan_cb": (None, [c_void_p]),
    "mok_set_state_cb": (None, [c_void_p, STATE_CB, c_void_p]),
    "mok_clear_state_cb": (None, [c_void_p]),
    "mok_enable_video": (c_int32, [c_void_p]),
    "mok_disable_video": (c_int32, [c_void_p]),
    "mok_set_video_cb": (None, [c_void_p, VIDEO_CB, c_void_p]),
    "mok_clear_video_cb": (None, [c_void_p]),
    "mok_video_frame_get_info": (c_int32, [c_void_p, POINTER(VideoFrameInfo)]),
    "mok_video_frame_free": (None, [c_void_p]),
    "mok_get_stats": (c_int32, [c_void_p, POINTER(Stats), c_uint32]),
    "mok_scan_queue_enable": (c_int32, [c_void_p, c_uint32]),
    "mok_scan_queue_pop": (c_int32, [c_void_p, POINTER(c_void_p), c_uint32, c_uint64, POINTER(c_uint32)]),
    "mok_set_timing": (c_int32, [c_void_p, c_uint32, c_uint32, c_uint32, c_uint32]),
    "mok_flush": (c_int32, [c_void_p, c_int32]),
    "mok_scan_queue_pop_into": (
        c_int32, [c_void_p, c_void_p, c_uint32, c_void_p, c_uint64, c_uint64, POINTER(c_uint32), POINTER(c_uint64)]
    ),
}

_lock = threading.Lock()
_loaded: ctypes.CDLL | None = None


def _candidates(path: str | None) -> list[str]:
    here = Path(__file__).resolve().parent
    names = [str(here / "libmok.so.1"), str(here / "libmok.so")]
    for explicit in (path, os.environ.get("MOK_LIBRARY")):
        if explicit:
            names.append(explicit)
    names += ["libmok.so.1", "libmok.so"]
    return names


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    for name, (restype, argtypes) in _PROTOTYPES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


def load(path: str | None = None) -> ctypes.CDLL:
    """Returns the loaded library, loading it on first use.

    ``path`` (or ``MOK_LIBRARY``) names a library file to try after the copy
    next to this package and before the system loader. Raises
    :class:`LibraryNotFound` naming every candidate and why it failed.
    """
    global _loaded
    with _lock:
        if _loaded is not None:
            return _loaded
        tried = []
        for name in _candidates(path):
            if os.sep in name and not os.path.exists(name):
                tried.append(f"{name}: no such file")
                continue
            try:
                lib = ctypes.CDLL(name)
            except OSError as e:
                tried.append(f"{name}: {e}")
                continue
            try:
                _loaded = _declare(lib)
            except AttributeError as e:
                tried.append(f"{name}: too old ({e})")
                continue
            return _loaded
        raise LibraryNotFound("libmok could not be loaded; tried:\n  " + "\n  ".join(tried))
