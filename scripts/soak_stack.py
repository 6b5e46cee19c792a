#!/usr/bin/python3
"""The whole stack for a chosen time, on loopback: mok-camsim with its faults
on (connections cut, seams lost), mok-bridge beside it and stalled now and
then, mokctl view with a live page open and a hostile client beside it, and
a Python reader that stalls now and then. At the end every scan result the
Python reader's library accepted is read or counted as dropped, the viewer
served its page throughout, nothing hung, and resident memory was flat.
    scripts/soak-stack.sh [seconds, default 600] [build dir, default build/debug]
Prints the figures and exits non-zero on a failed check."""
import glob
import http.client
import json
import os
import random
import signal
import socket
import subprocess
import sys
import threading
import time

SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 600
BUILD = sys.argv[2] if len(sys.argv) > 2 else "build/debug"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GROWTH_BOUND_KIB = 32 * 1024  # a process's memory from the first to the last quarter, after warming up


def binary(name):
    found = [p for p in glob.glob(os.path.join(BUILD, "**", name), recursive=True)
             if os.path.isfile(p) and os.access(p, os.X_OK)]
    return found[0] if found else None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    except (OSError, StopIteration):
        return 0


def start(argv, wait_for=None):
    p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    if wait_for:
        end = time.monotonic() + 15
        while time.monotonic() < end:
            line = p.stdout.readline()
            if not line:
                break
            if wait_for in line:
                return p, line
        raise SystemExit(f"{argv[0]} did not start")
    return p, ""


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.n = {}

    def add(self, key, k=1):
        with self.lock:
            self.n[key] = self.n.get(key, 0) + k


def page_reader(port, stop, t):
    """A live page: reads the event stream and counts its documents."""
    while not stop.is_set():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=3) as s:
                s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                while not stop.is_set():
                    data = s.recv(65536)
                    if not data:
                        break
                    t.add("page_documents", data.count(b"data: "))
        except OSError:
            pass
        t.add("page_reconnects")
        stop.wait(0.5)  # as a browser waits before it reconnects


def hostile(port, stop, t):
    """Oversized requests, dripping heads, streams beyond the limit, bursts."""
    rng = random.Random(5)
    while not stop.is_set():
        held = []
        try:
            what = rng.randrange(4)
            if what == 0:
                s = socket.create_connection(("127.0.0.1", port), timeout=3)
                s.sendall(b"POST /api/set HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1073741824\r\n\r\n")
                held.append(s)
            elif what == 1:
                for _ in range(64):
                    s = socket.create_connection(("127.0.0.1", port), timeout=3)
                    s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX: ")
                    held.append(s)
            elif what == 2:
                for _ in range(20):
                    s = socket.create_connection(("127.0.0.1", port), timeout=3)
                    s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                    held.append(s)
            else:
                for _ in range(500):
                    s = socket.socket()
                    s.setblocking(False)
                    s.connect_ex(("127.0.0.1", port))
                    held.append(s)
            t.add("hostile_rounds")
            stop.wait(1.5)
        except OSError:
            t.add("hostile_errors")
        finally:
            for s in held:
                s.close()


def page_fetches(port, stop, t, latencies):
    while not stop.is_set():
        start_t = time.monotonic()
        try:
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
            c.request("GET", "/")
            r = c.getresponse()
            ok = r.status == 200 and len(r.read()) > 1000
            c.close()
        except OSError:
            ok = False
        latencies.append(time.monotonic() - start_t)
        t.add("page_served" if ok else "page_not_served")
        stop.wait(0.2)


def python_reader(address, stop, t, result):
    # The package as the build stages it (with its generated version module).
    sys.path.insert(0, os.path.abspath(os.path.join(BUILD, "python")))
    from mok import Camera, load_library
    from mok import _lib
    load_library(binary("libmok.so") or os.path.join(BUILD, "src", "libmok.so"))
    rng = random.Random(9)
    with Camera(address, queue_capacity=_lib.SCAN_QUEUE_MAX_CAPACITY, reconnect_delay=0.2) as cam:
        read = 0
        while not stop.is_set():
            read += len(cam.read_scans(256, 0.2))
            if rng.random() < 0.01:
                time.sleep(rng.uniform(0.2, 1.0))  # a host busy elsewhere
        cam.stop()
        while True:
            b = cam.read_scans(256, 0.3)
            if not len(b):
                break
            read += len(b)
        st = cam.stats()
    accepted = st.scan_results - st.scan_results_rejected
    result.update(read=read, dropped=st.scan_queue_dropped, accepted=accepted,
                  lost=accepted - read - st.scan_queue_dropped, disconnects=st.disconnects_remote_close)


def main():
    camsim, mokctl, bridge = binary("mok-camsim"), binary("mokctl"), binary("mok-bridge")
    if not camsim or not mokctl:
        raise SystemExit(f"build mok-camsim and mokctl in {BUILD} first")
    cam_port = free_port()
    sim, _ = start([camsim, "--port", str(cam_port), "--rate", "1000", "--points", "800", "--drop-every", "7",
                    "--lost-every", "3", "--duration", str(SECONDS + 30)], "listening on")
    procs = {"mok-camsim": sim}
    view, line = start([mokctl, "--reconnect-delay", "200", "view", f"127.0.0.1:{cam_port}", "--client-timeout", "2"],
                       "http://")
    procs["mokctl view"] = view
    view_port = int(line.split("http://127.0.0.1:")[1].split("/")[0])
    if bridge:
        loopback = os.path.join(ROOT, "tools", "bridge", "cyclonedds-loopback.xml")
        env = dict(os.environ, CYCLONEDDS_URI="file://" + loopback)
        procs["mok-bridge"] = subprocess.Popen([bridge, "--domain", str(random.randrange(100, 200)),
                                                f"127.0.0.1:{cam_port}"], stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL, env=env)
    stop, t, latencies, reader = threading.Event(), Tally(), [], {}
    threads = [threading.Thread(target=f, args=a) for f, a in (
        (page_reader, (view_port, stop, t)), (hostile, (view_port, stop, t)),
        (page_fetches, (view_port, stop, t, latencies)),
        (python_reader, (f"127.0.0.1:{cam_port}", stop, t, reader)))]
    for th in threads:
        th.start()
    samples = {name: [] for name in procs}
    t0 = time.monotonic()
    while time.monotonic() - t0 < SECONDS:
        time.sleep(1)
        for name, p in procs.items():
            samples[name].append(rss_kib(p.pid))
        if bridge and int(time.monotonic() - t0) % 5 == 0:  # the bridge stalls for a second
            procs["mok-bridge"].send_signal(signal.SIGSTOP)
            time.sleep(1)
            procs["mok-bridge"].send_signal(signal.SIGCONT)
    stop.set()
    for th in threads:
        th.join(30)
    hung = [th.name for th in threads if th.is_alive()]
    failures = []
    alive = {name: p.poll() is None for name, p in procs.items()}
    print(f"soak of {SECONDS:.0f} s; load {open('/proc/loadavg').read().split()[0]}")
    for name, s in samples.items():
        # The viewer's profile history fills during its first 10 s: flat means after that.
        s = s[min(20, len(s) // 3):]
        q = max(1, len(s) // 4)
        first, last = sum(s[:q]) / q, sum(s[-q:]) / q
        print(f"  {name}: resident {first / 1024:.1f} MiB in the first quarter after warming up, "
              f"{last / 1024:.1f} MiB in the last; "
              f"alive {alive[name]}")
        if last - first > GROWTH_BOUND_KIB:
            failures.append(f"{name} grew by {(last - first) / 1024:.1f} MiB")
        if not alive[name]:
            failures.append(f"{name} ended early")
    lat = sorted(latencies) or [0]
    print(f"  page: {t.n.get('page_served', 0)} fetches served, {t.n.get('page_not_served', 0)} not; "
          f"median {lat[len(lat) // 2] * 1000:.1f} ms, 99th {lat[int(len(lat) * 0.99)] * 1000:.1f} ms, "
          f"max {lat[-1] * 1000:.1f} ms; live documents {t.n.get('page_documents', 0)}; "
          f"hostile rounds {t.n.get('hostile_rounds', 0)}")
    print(f"  python reader: {reader}")
    try:
        st = json.load(urllib_get(view_port))["stats"]
        print("  viewer: " + ", ".join(f"{k[5:]} {v}" for k, v in st.items() if k.startswith("http_") and v))
    except OSError as e:
        failures.append(f"the viewer's state could not be read: {e}")
    if t.n.get("page_not_served", 0):
        failures.append("the page was not served every time")
    if not reader or reader["lost"] != 0:
        failures.append("scan results unaccounted for")
    if hung:
        failures.append(f"threads hung: {hung}")
    for p in procs.values():
        if p.poll() is None:
            p.send_signal(signal.SIGCONT)
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                failures.append(f"{p.args[0]} did not end on SIGTERM")
    for f in failures:
        print("FAILED: " + f)
    sys.exit(1 if failures else 0)


def urllib_get(port):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    c.request("GET", "/api/state")
    return c.getresponse()


if __name__ == "__main__":
    main()
