"""Finding the library and the failures a host can meet without a camera."""
from __future__ import annotations

import mok
import pytest
from conftest import run_python


def test_missing_library_names_every_candidate() -> None:
    r = run_python("""
        import mok
        try:
            mok.load_library("/nonexistent/libmok.so")
        except mok.LibraryNotFound as e:
            print(e)
        """, MOK_LIBRARY="", LD_LIBRARY_PATH="/nonexistent")
    assert r.returncode == 0, r.stderr
    for name in ("mok/libmok.so.1", "/nonexistent/libmok.so: no such file", "libmok.so.1:"):
        assert name in r.stdout


def test_rejected_address_and_unreachable_camera() -> None:
    with pytest.raises(mok.MokError):
        mok.Camera("")
    # A port nobody listens on: the failure text and state reach Python.
    with mok.Camera("127.0.0.1:1") as cam:
        with pytest.raises(mok.Timeout):
            cam.wait_params(0.3)
        assert cam.exposure_time is None
        assert cam.last_error
        assert cam.state in (mok.State.CONNECT_FAILED, mok.State.RECONNECTING, mok.State.IDLE)
        with pytest.raises(mok.SendFailed):
            cam.exposure_time = 5
    with pytest.raises(mok.Closed):
        cam.start()


def test_package_version_is_the_library_version() -> None:
    # Both come from the project's one version: a stale staged package or a
    # library from another build shows here.
    assert mok.__version__ == mok.load_library()
