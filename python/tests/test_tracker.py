"""mok.Tracker: a seam scanned ahead of a moving tool, the mounting file,
and results taken from the package's own camera objects."""
from __future__ import annotations

import math

import pytest

import mok

MS = 1_000_000
# The sensor 40 mm ahead of the tool along its x; tool axes as base axes.
MOUNT = (40.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0)


def test_tracks_a_seam_ahead_of_the_moving_tool() -> None:
    with mok.Tracker(mount=MOUNT, poses_carry_robot_clock=0) as tracker:
        assert tracker.correction(t_host_ns=0).status == mok.TrackStatus.NO_POSE
        assert tracker.push_pose((0, 0, 0, 2, 0, 0, 0), t_host_rx_ns=0) == mok.PoseRefusal.BAD_POSE
        for ms in range(0, 1001):  # 100 mm/s, the seam 1.5 mm to the side, 100 mm down
            if ms % 4 == 0:
                assert tracker.push_pose((ms / 10, 0, 0, 1, 0, 0, 0), t_host_rx_ns=ms * MS) == 0
            tracker.push_seam(ms * 1000, 1.5, 100.0, t_host_rx_ns=ms * MS)
        c = tracker.correction(t_host_ns=1000 * MS)
        assert c.status == mok.TrackStatus.OK
        assert c.torch_distance_mm == pytest.approx(100.0)
        assert c.lateral_mm == pytest.approx(1.5, abs=0.01)
        assert tracker.correction(t_host_ns=2000 * MS).status == mok.TrackStatus.STALE_POSE
        assert tracker.seam_at(0.0)[0] == mok.TrackStatus.NOT_YET_SCANNED
        status, xyz = tracker.map_points(996_000, [[1.5, 100.0], [0.0, 0.0]])
        assert status == mok.TrackStatus.OK
        assert xyz[0] == pytest.approx([99.6 + 40, 1.5, 100.0])
        stats = tracker.stats()
        assert stats["poses_bad"] == 1 and stats["results_used"] == 1001


def test_mount_file_round_trip_and_refusal(tmp_path) -> None:
    path = tmp_path / "mount.json"
    mok.save_mount(path, (1, 2, 3, math.cos(0.2), math.sin(0.2), 0, 0), '{"method": "sphere"}')
    assert list(mok.load_mount(path)) == pytest.approx([1, 2, 3, math.cos(0.2), math.sin(0.2), 0, 0])
    path.write_text('{\n"format": "mok-mount/1",\n"X_tool_sensor": {"translation_mm": [0, 0, 0],\n'
                    '"quaternion_wxyz": [3, 0, 0, 0]}}\n')
    with pytest.raises(mok.MokError, match=r"mount.json:4: quaternion_wxyz has norm 3"):
        mok.load_mount(path)
    with pytest.raises(TypeError):
        mok.Tracker(no_such_setting=1)


def test_takes_results_from_the_camera(cam: mok.Camera) -> None:
    tracker = mok.Tracker()
    batch = cam.read_scans(64, timeout=5.0)
    tracker.push(batch)
    one = next(iter(cam.scans(timeout=5.0)))
    tracker.push(one)
    stats = tracker.stats()
    assert stats["results_pushed"] == len(batch) + 1
    assert stats["device_clock_resyncs"] == 1
