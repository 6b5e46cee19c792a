#!/usr/bin/env python3
"""Plots the camera's live profile and seam point with matplotlib.

    /usr/bin/python3 examples/python/live_profile.py [ADDRESS]

Without an address it starts the simulator (mok-camsim on PATH or named by
MOK_CAMSIM). Needs matplotlib (Debian: python3-matplotlib) besides the mok
package; close the window to stop.
"""
from __future__ import annotations

import sys

import matplotlib.pyplot as plt
from matplotlib.animation import FuncAnimation

import mok


def main() -> None:
    sim = None if len(sys.argv) > 1 else mok.Simulator(rate=200)
    address = sys.argv[1] if sim is None else sim.address
    with mok.Camera(address, queue_capacity=256) as cam:
        cam.wait_params(10)
        fig, ax = plt.subplots()
        (profile,) = ax.plot([], [], lw=1)
        (seam,) = ax.plot([], [], "ro")
        ax.set_xlabel("y (mm)")
        ax.set_ylabel("z (mm)")

        def update(_frame: int):
            batch = cam.read_scans(256, timeout=0.05)  # everything since the last frame
            if len(batch):
                n = int(batch.point_count[-1])
                profile.set_data(batch.y[-1, :n], batch.z[-1, :n])
                sp = batch.seam_point[-1]
                seam.set_data([sp[1]], [sp[2]])
                ax.relim()
                ax.autoscale_view()
                ax.set_title(f"{cam.stats().scan_rate_hz:.0f} results/s, seam found: {bool(batch.seam_found[-1])}")
            return profile, seam

        anim = FuncAnimation(fig, update, interval=50, cache_frame_data=False)  # must stay referenced
        plt.show()
        anim.event_source.stop()
    if sim is not None:
        sim.stop()


if __name__ == "__main__":
    main()
