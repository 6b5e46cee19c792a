"""Parameters, statistics, snapshots and video against the simulator."""
from __future__ import annotations

import threading
import time

import mok
import numpy as np
import pytest


def wait_until(pred, timeout: float = 5.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(0.01)
    return False


def test_parameters_read_back_and_writes_take_effect(cam: mok.Camera) -> None:
    assert cam.state == mok.State.CONNECTED
    assert cam.board_id == "SIMBOARD-A02" and cam.serial_number == "CSIM0001"
    assert cam.exposure_time == 1000 and cam.laser_strength == 80 and cam.laser_enabled is True
    assert isinstance(cam.cts, int) and isinstance(cam.task_id, int)
    cam.exposure_time = 1234
    cam.task_id = 3
    assert wait_until(lambda: cam.exposure_time == 1234 and cam.task_id == 3)
    cam.rts = 0  # the host's clock
    assert cam.pull_rts(5) > 0
    stats = cam.stats()
    assert stats.register_reports >= 1 and stats.connections_established == 1
    assert cam.last_error is None


def test_timings_before_start_and_flush_sends_queued_writes(sim: mok.Simulator) -> None:
    with pytest.raises(mok.InvalidArgument):
        mok.Camera(sim.address, inactivity_timeout=0.05)  # below its 0.1 s bound
    with mok.Camera(sim.address, reconnect_delay=0.05, inactivity_timeout=0.3) as c:
        c.wait_params(10)
        with pytest.raises(mok.MokError):
            c.set_timing(write_timeout=1)  # too late once started
        c.task_id = 9
        c.flush(5)  # closing right after must not drop the write
    with mok.Camera(sim.address) as c:
        c.wait_params(10)
        assert c.task_id == 9


def test_snapshot_bytes_and_array(cam: mok.Camera) -> None:
    snap = cam.snapshot(timeout=10)
    assert snap.data and isinstance(snap.format, mok.ImageFormat)
    img = snap.to_array()
    assert img.dtype == np.uint8 and img.ndim >= 2
    assert cam.recv_snapshot(0) is None


def test_video_frames_are_rgba_views(sim: mok.Simulator) -> None:
    frames: list[np.ndarray] = []
    got = threading.Event()
    with mok.Simulator(video="h264", video_fps=20, video_size="64x48", rate=10) as vsim:
        with mok.Camera(vsim.address) as cam:
            def keep(frame: mok.VideoFrame) -> None:
                assert frame.rgba is not None
                frames.append(frame.rgba)
                if len(frames) >= 2:
                    got.set()
            cam.on_frame = keep
            try:
                cam.enable_video()
            except mok.MokError as e:
                pytest.skip(f"decoder library not available: {e}")
            assert got.wait(20)
    # The views outlive the frames' camera.
    assert frames[0].shape == (12, 16, 4) and frames[0].dtype == np.uint8
    assert frames[0].base is not None and int(frames[0][..., 3].min()) == 255
