"""mok.calibrate_sphere on arrays: a sphere seen from tilted poses gives the
mounting back; a set of shifts only is refused with a reason."""
import os

import numpy as np
import pytest

import mok

pytestmark = pytest.mark.skipif(not os.environ.get("MOK_CALIB_LIBRARY"), reason="libmok_calib_c.so not built")

RADIUS = 25.0
CENTRE = np.array([900.0, 50.0, 150.0])


def rot(axis, deg):
    a = np.radians(deg) * np.asarray(axis, float) / np.linalg.norm(axis)
    k = np.array([[0, -a[2], a[1]], [a[2], 0, -a[0]], [-a[1], a[0], 0]])
    t = np.linalg.norm(a)
    return np.eye(3) if t == 0 else np.eye(3) + np.sin(t) / t * k + (1 - np.cos(t)) / t**2 * k @ k


def quat(r):
    # The largest of w, x, y, z first, so a half turn stays exact.
    d = np.array([np.trace(r), r[0, 0], r[1, 1], r[2, 2]])
    i = int(np.argmax(d))
    if i == 0:
        w = np.sqrt(1 + d[0]) / 2
        return np.array([w, (r[2, 1] - r[1, 2]) / (4 * w), (r[0, 2] - r[2, 0]) / (4 * w),
                         (r[1, 0] - r[0, 1]) / (4 * w)])
    j, k = (i % 3) + 1, ((i + 1) % 3) + 1
    q = np.zeros(4)
    q[i] = np.sqrt(max(1e-12, 1 + 2 * r[i - 1, i - 1] - np.trace(r))) / 2
    q[0] = (r[k - 1, j - 1] - r[j - 1, k - 1]) / (4 * q[i])
    q[j] = (r[j - 1, i - 1] + r[i - 1, j - 1]) / (4 * q[i])
    q[k] = (r[k - 1, i - 1] + r[i - 1, k - 1]) / (4 * q[i])
    return q


def views(tilts):
    r_ts, t_ts = rot([0, 1, 0], 20), np.array([60.0, 0.0, -40.0])
    poses, points, owner = [], [], []
    for i, (axis, deg, cut, lateral) in enumerate(tilts):
        r_bs = rot(axis, deg) @ rot([1, 0, 0], 180)
        t_bs = CENTRE - r_bs @ np.array([cut, lateral, 150.0])
        r_bt = r_bs @ r_ts.T
        poses.append(np.r_[t_bs - r_bt @ t_ts, quat(r_bt)])
        c = r_bs.T @ (CENTRE - t_bs)
        y = np.linspace(-30, 30, 200)
        d2 = RADIUS**2 - c[0] ** 2 - (y - c[1]) ** 2
        y, z = y[d2 > 50], c[2] - np.sqrt(d2[d2 > 50])
        points.append(np.c_[y, z])
        owner += [i] * len(y)
    truth = np.r_[t_ts, quat(r_ts)]
    return np.array(poses), np.vstack(points), np.array(owner), truth


def test_tilted_views_give_the_mounting_back():
    rng = np.random.default_rng(1)
    tilts = [([np.cos(a), np.sin(a), 0], 25 * (k % 3 != 0), 10 * np.sin(2.3 * k), 12 * np.sin(2.9 * k))
             for k, a in enumerate(rng.uniform(0, 2 * np.pi, 10))]
    poses, points, owner, truth = views(tilts)
    res = mok.calibrate_sphere(poses, points, owner, RADIUS, initial=truth + [1, -1, 1, 0, 0.01, 0, 0])
    assert res.ok, res.message
    assert np.abs(res.mount[:3] - truth[:3]).max() < 1e-4
    assert np.abs(res.centre_mm - CENTRE).max() < 1e-4
    assert res.pose_rms_mm.shape == (10,)

    res = mok.calibrate_sphere(poses, points, owner, RADIUS)  # no drawing
    assert res.ok, res.message
    assert np.abs(res.mount[:3] - truth[:3]).max() < 1e-4


def test_shifts_only_are_refused_with_a_reason():
    poses, points, owner, truth = views([([1, 0, 0], 0, 10 * np.sin(k), 10 * np.cos(k)) for k in range(8)])
    res = mok.calibrate_sphere(poses, points, owner, RADIUS, initial=truth)
    assert not res.ok and "unconstrained" in res.message


def plate_views(normals, per_plate):
    """Each plate through CENTRE, shown from per_plate tilted and rolled poses."""
    r_ts, t_ts = rot([0, 1, 0], 20), np.array([60.0, 0.0, -40.0])
    poses, plate, points, owner = [], [], [], []
    for p, n in enumerate(np.asarray(normals, float) / np.linalg.norm(normals, axis=1)[:, None]):
        z0 = -n
        x0 = np.cross(z0, [0, 1, 0] if abs(z0[1]) < 0.9 else [1, 0, 0])
        x0 /= np.linalg.norm(x0)
        r0 = np.c_[x0, np.cross(z0, x0), z0]
        for k in range(per_plate):
            a = 2.4 * k
            r_bs = rot(np.cos(a) * x0 + np.sin(a) * np.cross(z0, x0), 10 + 15 * (k % 3) / 2) @ r0 @ rot(
                [0, 0, 1], 70 * np.sin(1.7 * k + 0.5))
            t_bs = CENTRE - r_bs @ np.array([5 * np.sin(k), 10 * np.sin(2.9 * k), 150.0 + 20 * np.cos(1.3 * k)])
            y = np.linspace(-30, 30, 100)
            z = (n @ CENTRE - n @ t_bs - (n @ r_bs[:, 1]) * y) / (n @ r_bs[:, 2])
            r_bt = r_bs @ r_ts.T
            poses.append(np.r_[t_bs - r_bt @ t_ts, quat(r_bt)])
            plate.append(p)
            points.append(np.c_[y, z])
            owner += [len(poses) - 1] * len(y)
    return np.array(poses), np.array(plate), np.vstack(points), np.array(owner), np.r_[t_ts, quat(r_ts)]


def test_plates_give_the_mounting_back_and_too_few_views_on_one_are_refused():
    normals = [[0, 0, 1], [-1, 0, 1], [0, -1, 1]]
    poses, plate, points, owner, truth = plate_views(normals, 8)
    res = mok.calibrate_planes(poses, plate, points, owner, initial=truth + [1, -1, 1, 0, 0.01, 0, 0])
    assert res.ok, res.message
    assert np.abs(res.mount[:3] - truth[:3]).max() < 1e-3
    assert res.planes.shape == (3, 4) and res.pose_rms_mm.shape == (24,)
    assert abs(abs(res.planes[0, 2]) - 1) < 1e-6

    keep = np.r_[np.arange(16), 16 + np.arange(4)]  # the third plate from 4 poses only
    res = mok.calibrate_planes(poses[keep], plate[keep], points[np.isin(owner, keep)],
                               np.searchsorted(keep, owner[np.isin(owner, keep)]), initial=truth)
    assert not res.ok and "plate 3" in res.message
