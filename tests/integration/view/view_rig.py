"""What the viewer's tests share: free loopback ports, mok-camsim and mokctl
view started and stopped, bounded waits, and the viewer's figures read the
way any client would (its state document, its process's memory)."""
import json
import os
import re
import signal
import socket
import subprocess
import tempfile
import time
import urllib.request

MOKCTL = os.environ["MOKCTL"]
CAMSIM = os.environ["CAMSIM"]
OUT = os.environ.get("VIEW_TEST_OUTPUT") or tempfile.mkdtemp(prefix="view-test-")
POINTS = 400


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def eventually(check, timeout=10.0, what="condition"):
    end = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.05)


def read_line(proc, pattern, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        line = proc.stdout.readline()
        if not line:
            break
        m = re.search(pattern, line)
        if m:
            return m
    raise AssertionError(f"{proc.args[0]} printed no line matching {pattern}")


def start_sim(port):
    proc = subprocess.Popen(
        [CAMSIM, "--port", str(port), "--points", str(POINTS), "--noise", "0", "--weave-amplitude", "0",
         "--lost-every", "0", "--rate", "200", "--duration", "300"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    read_line(proc, r"listening on")
    return proc


def start_view(camera_port, *extra):
    proc = subprocess.Popen([MOKCTL, "--timeout", "3", "--reconnect-delay", "200", "view", f"127.0.0.1:{camera_port}",
                             "--record-dir", OUT, *extra],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return proc, read_line(proc, r"(http://\S+)").group(1)


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def state(url, timeout=2.0):
    """The viewer's live document, fetched as a page would."""
    with urllib.request.urlopen(url.split("?")[0] + "api/state", timeout=timeout) as r:
        return json.load(r)


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
