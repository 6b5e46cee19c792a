"""Callbacks under the interpreter lock, and ends that must neither hang nor
crash: raising, closing from a callback, closing during a wait, exiting."""
from __future__ import annotations

import threading

import mok
import numpy as np
import pytest
from conftest import run_python


def test_callbacks_receive_results_and_states_and_survive_raising(sim: mok.Simulator, caplog) -> None:
    states: list[mok.State] = []
    results: list[np.ndarray] = []
    got = threading.Event()
    cam = mok.Camera(sim.address)
    cam.on_state = states.append

    def on_scan(r: mok.ScanResult) -> None:
        results.append(r.z)  # a view, kept beyond the callback
        if len(results) == 2:
            cam.read_scans(1, timeout=1)  # refused: it would hold up this thread
        if len(results) == 3:
            raise RuntimeError("host bug")
        if len(results) >= 6:
            got.set()

    cam.on_scan = on_scan
    with cam:
        assert got.wait(10)
    assert cam.callback_errors == 2 and "host bug" in caplog.text and "must not" in caplog.text
    assert mok.State.CONNECTED in states
    assert all(len(z) == 1280 for z in results)


def test_close_from_inside_a_callback_and_during_a_wait(sim: mok.Simulator) -> None:
    closed = threading.Event()
    cam = mok.Camera(sim.address)

    def close_me(_r: mok.ScanResult) -> None:
        cam.close()
        closed.set()

    cam.on_scan = close_me
    cam.start()
    assert closed.wait(10)
    with pytest.raises(mok.Closed):
        cam.exposure_time

    # A pop waiting without limit ends when another thread closes.
    waiter = mok.Camera(sim.address, queue_capacity=4)
    errors = []

    def wait_forever() -> None:
        try:
            waiter.read_scans(4, timeout=None)  # pop_scans shares the wait; its C call is woken in the C tests
        except mok.Closed as e:
            errors.append(e)

    t = threading.Thread(target=wait_forever)
    t.start()  # never started: nothing arrives
    t.join(0.3)
    waiter.close()
    t.join(5)
    assert not t.is_alive() and len(errors) == 1


@pytest.mark.parametrize("ending", ["return", "sys.exit(3)", "raise SystemExit(3)"])
def test_interpreter_exit_with_a_live_camera(sim: mok.Simulator, ending: str) -> None:
    r = run_python(f"""
        import asyncio, sys, threading, mok
        cam = mok.Camera({sim.address!r}, queue_capacity=16)
        cam.on_scan = lambda r: r.z.sum()
        cam.on_state = lambda s: None
        cam.start()
        cam.wait_params(10)
        threading.Thread(target=lambda: list(cam.scans()), daemon=True).start()
        async def spin():
            async for _ in cam.ascans():
                pass
        loop = asyncio.new_event_loop()
        loop.create_task(spin())
        loop.run_until_complete(asyncio.sleep(0.2))
        print("live")
        def main():
            {ending}
        main()
        """, timeout=30)
    assert "live" in r.stdout, r.stderr
    assert r.returncode == (0 if ending == "return" else 3), r.stderr
    assert "Traceback" not in r.stderr and "Fatal" not in r.stderr
