"""Shared fixtures: the package the build staged (ctest puts it on
PYTHONPATH), the library and mok-camsim named by MOK_LIBRARY and MOK_CAMSIM
(ctest sets all three), and one simulator per module at a modest rate."""
from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from collections.abc import Iterator
from pathlib import Path

import pytest

import mok


@pytest.fixture(scope="module")
def sim() -> Iterator[mok.Simulator]:
    with mok.Simulator(rate=500, points=1280) as s:
        yield s


@pytest.fixture
def cam(sim: mok.Simulator) -> Iterator[mok.Camera]:
    with mok.Camera(sim.address, queue_capacity=4096) as c:
        c.wait_params(10)
        yield c


def run_python(code: str, timeout: float = 60, **env: str) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter with the package importable."""
    full_env = dict(os.environ, PYTHONPATH=str(Path(mok.__file__).resolve().parents[1]), **env)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full_env, capture_output=True,
                          text=True, timeout=timeout)
