#!/usr/bin/python3
"""Figures for the Python pull path against the C callback path, against a
local simulator: ``/usr/bin/python3 bench/python_pull.py BUILD_DIR
[--rates 10000 100000]`` (BUILD_DIR e.g. build/release: its staged package,
libmok.so and mok-camsim are used).

For each simulator rate it runs, one after the other on the same simulator:
the C callback path (the library hands each result to a C function that
frees it; Python is not involved) and the pull path (``read_scans`` in
batches). It prints results per second for each, whether the pull path lost
any result (compared with the library's statistics), and heap allocations
per result, counted by a malloc interposer compiled on the fly when a C
compiler is present (the program re-runs itself with it preloaded).
"""
from __future__ import annotations

import argparse
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path


def _use_build(build: str) -> None:
    """Points the package, the library and the simulator at one build tree."""
    root = Path(build).resolve()
    sys.path.insert(0, str(root / "python"))
    os.environ.setdefault("MOK_LIBRARY", str(root / "src" / "libmok.so.1"))
    camsim = next(root.glob("**/mok-camsim"), None)
    if camsim:
        os.environ.setdefault("MOK_CAMSIM", str(camsim))


_use_build(sys.argv[1] if len(sys.argv) > 1 and not sys.argv[1].startswith("-") else "build/release")

from mok import Camera, Simulator, _lib  # noqa: E402


_COUNTER_C = r"""
#define _GNU_SOURCE
#include <stddef.h>
#include <stdatomic.h>
extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__libc_memalign(size_t, size_t);
static atomic_ulong n;
unsigned long alloc_count_total(void) { return atomic_load(&n); }
void *malloc(size_t s) { atomic_fetch_add(&n, 1); return __libc_malloc(s); }
void *calloc(size_t a, size_t b) { atomic_fetch_add(&n, 1); return __libc_calloc(a, b); }
void *realloc(void *p, size_t s) { atomic_fetch_add(&n, 1); return __libc_realloc(p, s); }
void *memalign(size_t a, size_t s) { atomic_fetch_add(&n, 1); return __libc_memalign(a, s); }
void *aligned_alloc(size_t a, size_t s) { atomic_fetch_add(&n, 1); return __libc_memalign(a, s); }
int posix_memalign(void **p, size_t a, size_t s) {
  atomic_fetch_add(&n, 1); *p = __libc_memalign(a, s); return *p ? 0 : 12;
}
"""
_ENV_MARK = "MOK_BENCH_COUNTER"


def _alloc_counter() -> Callable[[], int] | None:
    try:
        fn = ctypes.CDLL(None).alloc_count_total
    except AttributeError:
        return None
    fn.restype = ctypes.c_ulong
    return lambda: int(fn())


def _reexec_with_counter() -> None:
    """Re-runs this program with the malloc counter preloaded, if it can."""
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if os.environ.get(_ENV_MARK) or not cc:
        return
    tmp = tempfile.mkdtemp(prefix="mok-bench-")
    src, so = os.path.join(tmp, "count.c"), os.path.join(tmp, "libcount.so")
    with open(src, "w") as f:
        f.write(_COUNTER_C)
    if subprocess.run([cc, "-O2", "-shared", "-fPIC", src, "-o", so]).returncode != 0:
        return
    env = dict(os.environ, LD_PRELOAD=so, **{_ENV_MARK: "1"})
    try:
        sys.exit(subprocess.call([sys.executable, os.path.abspath(__file__), *sys.argv[1:]], env=env))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def _accepted(cam: Camera) -> int:
    return cam.stats().scan_results_accepted


def run_c_callback(address: str, seconds: float, allocs: Callable[[], int] | None) -> dict[str, float]:
    lib = _lib.load()
    free = _lib.SCAN_CB(ctypes.cast(lib.mok_scan_result_free, ctypes.c_void_p).value or 0)
    with Camera(address) as cam:
        cam.wait_params(10)
        assert cam._h is not None
        # mok_scan_result_free takes the result and ignores the extra user
        # data argument (the platform's calling convention allows it): a
        # callback entirely in C.
        lib.mok_set_scan_cb(cam._h, free, None)
        time.sleep(0.5)  # settle
        n0, a0, t0 = _accepted(cam), allocs() if allocs else 0, time.monotonic()
        time.sleep(seconds)
        n1, a1, t1 = _accepted(cam), allocs() if allocs else 0, time.monotonic()
        lib.mok_clear_scan_cb(cam._h)
    n = max(1, n1 - n0)
    return {"rate": n / (t1 - t0), "results": n, "allocs": (a1 - a0) / n if allocs else float("nan")}


def run_read_scans(address: str, seconds: float, batch: int, interval: float,
                   allocs: Callable[[], int] | None) -> dict[str, float]:
    # The queue is on before the first result, so every accepted result must
    # reach Python or be counted as dropped: lost = accepted - read - dropped.
    with Camera(address, queue_capacity=_lib.SCAN_QUEUE_MAX_CAPACITY) as cam:
        cam.wait_params(10)
        total = 0
        end = time.monotonic() + 0.5
        while time.monotonic() < end:  # settle, and warm up the recycling
            total += len(cam.read_scans(batch, 0.1))
        got, calls, a0, t0 = 0, 0, allocs() if allocs else 0, time.monotonic()
        while time.monotonic() - t0 < seconds:
            got += len(cam.read_scans(batch, 0.5))
            calls += 1
            if interval:
                time.sleep(interval)  # a host that works between reads
        t1, a1 = time.monotonic(), allocs() if allocs else 0
        cam.stop()
        total += got
        while True:
            b = cam.read_scans(batch, 0.3)
            if not len(b):
                break
            total += len(b)
        stats = cam.stats()
    return {"rate": got / (t1 - t0), "results": got, "dropped": stats.scan_queue_dropped,
            "lost": stats.scan_results_accepted - total - stats.scan_queue_dropped,
            "allocs": (a1 - a0) / max(1, got) if allocs else float("nan"), "batch": got / max(1, calls)}


def main() -> None:
    ap = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    ap.add_argument("build", help="build tree, e.g. build/release (read before the package is imported)")
    ap.add_argument("--rates", type=float, nargs="+", default=[10000, 100000], help="simulator rates (results/s)")
    ap.add_argument("--points", type=int, default=1280)
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--batch", type=int, default=4096, help="read_scans batch size")
    ap.add_argument("--intervals", type=float, nargs="+", default=[0.0, 0.01],
                    help="pauses between read_scans calls, seconds (a host doing other work)")
    ap.add_argument("--no-alloc-count", action="store_true", help="do not preload the malloc counter")
    args = ap.parse_args()
    if not args.no_alloc_count:
        _reexec_with_counter()
    allocs = _alloc_counter()
    print(f"# libmok {_lib.load().mok_version_str().decode()}, {args.points} points per result, "
          f"{args.seconds:g} s per path, {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}")
    if allocs is None:
        print("# allocation counts unavailable (no C compiler for the malloc counter)")
    for rate in args.rates:
        with Simulator(rate=rate, points=args.points) as sim:
            c = run_c_callback(sim.address, args.seconds, allocs)
            print(f"simulator {rate:>6.0f}/s  C callback       {c['rate']:>7.0f}/s  {c['allocs']:5.2f} allocs/result")
            for interval in args.intervals:
                p = run_read_scans(sim.address, args.seconds, args.batch, interval, allocs)
                print(f"simulator {rate:>6.0f}/s  read_scans {interval * 1000:3.0f} ms {p['rate']:>7.0f}/s  "
                      f"{p['allocs']:5.2f} allocs/result  batch {p['batch']:6.1f}  "
                      f"dropped {p['dropped']} lost {int(p['lost'])}  "
                      f"pull/C {p['rate'] / c['rate']:.2f}")


if __name__ == "__main__":
    main()
