"""mok.Simulator: the emulated camera (mok-camsim) as a child process on a
free local port, for demonstrations and tests; stopped on exit."""
from __future__ import annotations

import atexit
import os
import shutil
import re
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Any


def find_camsim(path: str | None = None) -> str:
    """The mok-camsim to run: `path`, ``MOK_CAMSIM``, next to the package's
    library, or on PATH; FileNotFoundError naming what was tried."""
    here = Path(__file__).resolve().parent
    tried = [p for p in (path, os.environ.get("MOK_CAMSIM"), str(here / "mok-camsim")) if p]
    for p in tried:
        if os.access(p, os.X_OK):
            return p
    found = shutil.which("mok-camsim")
    if found:
        return found
    raise FileNotFoundError("mok-camsim not found; tried " + ", ".join(tried + ["PATH"]))


class Simulator:
    """Runs mok-camsim on 127.0.0.1 with a free port.

    Keyword arguments become its options (``rate=10000`` → ``--rate 10000``,
    ``laser_off=True`` → ``--laser-off``). Use as a context manager or call
    :meth:`stop`; a simulator still running at interpreter exit is stopped.
    """

    def __init__(self, *, camsim: str | None = None, timeout: float = 10.0, **options: Any) -> None:
        args: list[str] = [find_camsim(camsim), "--host", "127.0.0.1", "--port", "0", "--log-level", "warn"]
        for key, value in options.items():
            flag = "--" + key.replace("_", "-")
            if value is True:
                args.append(flag)
            elif value is not False and value is not None:
                args += [flag, str(value)]
        # Files, not pipes: output nobody reads must never block the simulator.
        self._out = tempfile.TemporaryFile("w+")
        self._err = tempfile.TemporaryFile("w+")
        self._proc: subprocess.Popen | None = subprocess.Popen(args, stdout=self._out, stderr=self._err, text=True)
        atexit.register(self.stop)
        self.port = self._read_port(timeout)
        self.address = f"127.0.0.1:{self.port}"

    def _read_port(self, timeout: float) -> int:
        # The first line is "listening on 127.0.0.1:PORT".
        deadline = time.monotonic() + timeout
        while self._proc is not None and self._proc.poll() is None and time.monotonic() < deadline:
            self._out.seek(0)
            m = re.match(r"listening on [^\n]*:(\d+)", self._out.readline())
            if m:
                return int(m.group(1))
            time.sleep(0.02)
        self._err.seek(0)
        err = self._err.read().strip()
        self.stop()
        raise RuntimeError(f"mok-camsim did not start within {timeout:g} s: {err}")

    def __enter__(self) -> "Simulator":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def stop(self) -> None:
        """Stops the simulator (SIGTERM, then SIGKILL after 5 s)."""
        proc, self._proc = self._proc, None
        if proc is None:
            return
        atexit.unregister(self.stop)
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        self._out.close()
        self._err.close()
