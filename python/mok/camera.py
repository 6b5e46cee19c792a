"""The camera: one client of the library, its parameters, scan results
(latest, queued in batches, iterated, async), callbacks, snapshots and video.

Lifetime: every public call that uses the handle registers itself; close()
first refuses new calls and wakes queue waits, then waits for the calls in
flight, clears the callbacks (waiting for a running one) and only then
releases the handle. A close() from inside a callback is finished on a
helper thread, since the library cannot clear a callback from within it.
Cameras still open when the interpreter exits are closed by an atexit hook,
before the interpreter stops accepting callbacks.
"""
from __future__ import annotations

import asyncio
import atexit
import collections
import contextlib
import ctypes
import logging
import queue as _queue
import threading
import time
import weakref
from collections.abc import AsyncIterator, Callable, Iterator
from typing import Any

from . import _lib
from .errors import Closed, MokError, NotAvailable, Timeout, check
from .media import Snapshot, VideoFrame
from .scan import BatchBuffers, ScanBatch, ScanResult, stack
from .stats import State, Stats

log = logging.getLogger("mok")

#: Queue capacity used when a pull method switches the queue on by itself.
DEFAULT_QUEUE_CAPACITY = 2048
# Longest single wait in the library, so Ctrl-C and close stay responsive.
_SLICE_MS = 100


_callback_thread = threading.local()
_live: "weakref.WeakSet[Camera]" = weakref.WeakSet()
# Closes finished on helper threads; waited for at exit, so that no callback
# is left installed when the interpreter stops running Python code.
_releasing: "set[threading.Thread]" = set()


def _close_all_at_exit() -> None:
    for cam in list(_live):
        with contextlib.suppress(Exception):
            cam.close()
    for t in list(_releasing):
        t.join(timeout=30)


atexit.register(_close_all_at_exit)


def _refuse_wait_in_callback(what: str, timeout: float | None) -> None:
    """A wait inside a callback would hold up the library thread that
    delivers what it waits for."""
    if timeout != 0 and getattr(_callback_thread, "active", False):
        raise RuntimeError(f"{what} waits, which a camera callback must not do (use timeout=0)")


def _ms(timeout: float | None) -> int:
    return _lib.NO_LIMIT_MS if timeout is None else max(0, int(timeout * 1000))


class Camera:
    """A client of one camera.

    ``Camera(address)`` creates the client (resolving the host name);
    entering it as a context manager starts connecting, leaving it closes.
    ``library`` names a libmok.so to load (see :func:`mok.load_library`).
    ``queue_capacity`` switches the scan result queue on at once, so that no
    result from the first on is missed; otherwise the first pull call
    switches it on with :data:`DEFAULT_QUEUE_CAPACITY`. The timing keywords
    are passed to :meth:`set_timing`.
    """

    def __init__(self, address: str, *, library: str | None = None, queue_capacity: int = 0,
                 reconnect_delay: float | None = None, connect_timeout: float | None = None,
                 inactivity_timeout: float | None = None, write_timeout: float | None = None) -> None:
        self._lib = _lib.load(library)
        self.address = address
        h = self._lib.mok_connect(address.encode())
        if not h:
            raise MokError(f"connect {address!r}", _lib.ERR_INVALID_ARGUMENT, "address rejected or not resolved")
        self._h: int | None = h
        self._lock = threading.Condition()
        self._calls = 0
        self._closing = False
        self._queue_on = False
        self._pending: "collections.deque[ScanResult]" = collections.deque()
        self._batches = BatchBuffers()
        self._callbacks: dict[str, Any] = {}
        self._user: dict[str, Callable[..., None] | None] = {"scan": None, "state": None, "frame": None}
        self.callback_errors = 0
        _live.add(self)
        try:
            if any(t is not None for t in (reconnect_delay, connect_timeout, inactivity_timeout, write_timeout)):
                self.set_timing(reconnect_delay, connect_timeout, inactivity_timeout, write_timeout)
            if queue_capacity:
                self.enable_queue(queue_capacity)
        except BaseException:
            self.close()
            raise

    # ---- lifecycle --------------------------------------------------------

    def __enter__(self) -> "Camera":
        self.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        with contextlib.suppress(Exception):
            self.close()

    @contextlib.contextmanager
    def _using(self, what: str) -> Iterator[int]:
        with self._lock:
            if self._closing or not self._h:
                raise Closed(what)
            self._calls += 1
            h = self._h
        try:
            yield h
        finally:
            with self._lock:
                self._calls -= 1
                self._lock.notify_all()

    def _status(self, what: str, fn: Callable[[int], int]) -> None:
        with self._using(what) as h:
            status = fn(h)
            detail = self.last_error if status == _lib.ERR_OTHER else ""
        check(what, status, detail or "")

    @property
    def closed(self) -> bool:
        """Whether close() was called."""
        return self._closing

    def set_timing(self, reconnect_delay: float | None = None, connect_timeout: float | None = None,
                   inactivity_timeout: float | None = None, write_timeout: float | None = None) -> None:
        """Sets the connection timings in seconds, before start(); None keeps
        a timing's default (5 s delay before the next attempt after a loss,
        10 s for the others). Ranges: 0.01 s to a day, the inactivity
        time-out from 0.1 s (:class:`mok.InvalidArgument` otherwise);
        :class:`mok.MokError` once started."""
        def ms(name: str, seconds: float | None) -> int:
            if seconds is None:
                return 0  # the library's default
            if not seconds > 0:
                raise ValueError(f"{name} must be a positive number of seconds, not {seconds!r}")
            return min(max(1, round(seconds * 1000)), 2**32 - 1)
        values = (ms("reconnect_delay", reconnect_delay), ms("connect_timeout", connect_timeout),
                  ms("inactivity_timeout", inactivity_timeout), ms("write_timeout", write_timeout))
        self._status("set_timing", lambda h: self._lib.mok_set_timing(h, *values))

    def flush(self, timeout: float = 5.0) -> None:
        """Waits until every write queued before the call (setters, rts,
        snapshot requests) has left for the camera; a setter alone only
        queues, and close() drops what is still queued. :class:`mok.Timeout`
        when `timeout` seconds pass first, :class:`mok.SendFailed` when the
        connection is not up or goes down first."""
        _refuse_wait_in_callback("flush", timeout)
        ms = min(_ms(timeout), 2**31 - 1)
        self._status("flush", lambda h: self._lib.mok_flush(h, ms))

    def start(self) -> None:
        """Starts connecting (and reconnecting after a loss)."""
        self._status("start", self._lib.mok_start)

    def stop(self) -> None:
        """Disconnects; start() may follow."""
        self._status("stop", self._lib.mok_stop)

    def close(self) -> None:
        """Closes the camera; safe to call twice, from any thread, and from
        inside a callback. Views of results and frames stay valid."""
        with self._lock:
            if self._closing:
                return
            self._closing = True
            h = self._h
        _live.discard(self)
        if not h:
            return
        # A waiting pop returns at once once the queue is off.
        self._lib.mok_scan_queue_enable(h, 0)
        if getattr(_callback_thread, "active", False):
            t = threading.Thread(target=self._release, args=(h,), name="mok-close", daemon=True)
            _releasing.add(t)
            t.start()
        else:
            self._release(h)

    def _release(self, h: int) -> None:
        with self._lock:
            self._lock.wait_for(lambda: self._calls == 0)
        lib = self._lib
        lib.mok_clear_scan_cb(h)
        lib.mok_clear_state_cb(h)
        lib.mok_clear_video_cb(h)
        lib.mok_close(h)
        with self._lock:
            self._h = None
        self._callbacks.clear()
        _releasing.discard(threading.current_thread())  # type: ignore[arg-type]

    # ---- parameters -------------------------------------------------------

    def _get(self, name: str, ctype: Any) -> Any | None:
        out = ctype()
        with self._using(name) as h:
            status = getattr(self._lib, "mok_get_" + name)(h, ctypes.byref(out))
        if status == _lib.ERR_NOT_AVAILABLE:
            return None
        check(name, status)
        return out.value

    def _set(self, name: str, value: int) -> None:
        self._status("set " + name, lambda h: getattr(self._lib, "mok_set_" + name)(h, value))

    def _text(self, name: str) -> str | None:
        fn = getattr(self._lib, "mok_get_" + name)
        with self._using(name) as h:
            while True:
                n = ctypes.c_uint32(0)
                status = fn(h, None, ctypes.byref(n))
                if status == _lib.ERR_NOT_AVAILABLE:
                    return None
                check(name, status)
                buf = ctypes.create_string_buffer(n.value)
                status = fn(h, buf, ctypes.byref(n))
                if status == _lib.OK:
                    return buf.value.decode("utf-8", "replace")
                if status != _lib.ERR_INVALID_ARGUMENT:  # else the text grew: ask again
                    check(name, status)

    @property
    def exposure_time(self) -> int | None:
        """Exposure time as last reported (None before); setting queues a write."""
        return self._get("exposure_time", ctypes.c_uint32)

    @exposure_time.setter
    def exposure_time(self, value: int) -> None:
        self._set("exposure_time", value)

    @property
    def laser_strength(self) -> int | None:
        """Laser strength as last reported; setting queues a write."""
        return self._get("laser_strength", ctypes.c_uint32)

    @laser_strength.setter
    def laser_strength(self, value: int) -> None:
        self._set("laser_strength", value)

    @property
    def task_id(self) -> int | None:
        """Task id as last reported; setting queues a write."""
        return self._get("task_id", ctypes.c_uint32)

    @task_id.setter
    def task_id(self, value: int) -> None:
        self._set("task_id", value)

    @property
    def laser_enabled(self) -> bool | None:
        """Whether the laser is on, as last reported; setting queues a write."""
        v = self._get("laser_enable", ctypes.c_int32)
        return None if v is None else bool(v)

    @laser_enabled.setter
    def laser_enabled(self, on: bool) -> None:
        self._set("laser_enable", 1 if on else 0)

    @property
    def rts(self) -> int | None:
        """RTS as last reported; setting 0 sends the host's clock in µs."""
        return self._get("rts", ctypes.c_uint64)

    @rts.setter
    def rts(self, value: int) -> None:
        self._set("rts", value)

    @property
    def cts(self) -> int | None:
        """CTS (read-only on the device) as last reported."""
        return self._get("cts", ctypes.c_uint64)

    @property
    def board_id(self) -> str | None:
        """Board id text as last reported."""
        return self._text("board_id")

    @property
    def serial_number(self) -> str | None:
        """Serial number text as last reported."""
        return self._text("serial_number")

    def wait_params(self, timeout: float = 5.0) -> None:
        """Waits until the device's first register report arrived
        (:class:`mok.Timeout` when none comes in `timeout` seconds)."""
        _refuse_wait_in_callback("wait_params", timeout)
        ms = min(_ms(timeout), 2**31 - 1)
        self._status("wait_params", lambda h: self._lib.mok_wait_params(h, ms))

    def pull_rts(self, timeout: float = 5.0) -> int:
        """Asks the device for its RTS and returns it once reported."""
        _refuse_wait_in_callback("pull_rts", timeout)
        out = ctypes.c_uint64()
        ms = min(_ms(timeout), 2**31 - 1)
        self._status("pull_rts", lambda h: self._lib.mok_pull_rts(h, ms, ctypes.byref(out)))
        return out.value

    # ---- state and statistics --------------------------------------------

    def stats(self) -> Stats:
        """Every counter of the client at this moment (as in mok_stats_t)."""
        s = _lib.Stats()
        self._status("stats", lambda h: self._lib.mok_get_stats(h, ctypes.byref(s), ctypes.sizeof(s)))
        return Stats.from_struct(s)

    @property
    def state(self) -> State:
        """The connection state last reported."""
        return self.stats().state

    @property
    def last_error(self) -> str | None:
        """Text of the client's most recent failure, None before any."""
        return self._text("last_error")

    # ---- scan results ----------------------------------------------------

    def latest_scan(self) -> ScanResult | None:
        """The most recent result (not consumed), or None before the first."""
        with self._using("latest_scan") as h:
            r = self._lib.mok_get_scan_result(h)
        return ScanResult(r) if r else None

    def enable_queue(self, capacity: int = DEFAULT_QUEUE_CAPACITY) -> None:
        """Queues results for the pull methods, keeping at most `capacity`;
        when the host falls behind, the oldest are dropped and counted in
        ``stats().scan_queue_dropped``. 0 switches queueing off."""
        self._status("enable_queue", lambda h: self._lib.mok_scan_queue_enable(h, capacity))
        self._queue_on = capacity > 0

    def _wait_queue(self, timeout: float | None, pop: Callable[[int, int], int]) -> bool:
        """Calls ``pop(handle, ms)`` in waits of at most _SLICE_MS until it
        returns OK (True) or `timeout` seconds passed (False)."""
        _refuse_wait_in_callback("read_scans", timeout)
        if not self._queue_on:
            self.enable_queue()
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            ms = _SLICE_MS if left is None else min(_SLICE_MS, int(left * 1000))
            with self._using("read_scans") as h:
                status = pop(h, ms)
            if status == _lib.OK:
                return True
            if status == _lib.ERR_CLOSED or (status == _lib.ERR_NOT_AVAILABLE and self._closing):
                raise Closed("read_scans")
            if status != _lib.ERR_TIMEOUT:
                check("read_scans", status)
            if left is not None and left * 1000 <= _SLICE_MS:
                return False

    def _pop(self, max_n: int, timeout: float | None) -> list[int]:
        """Up to max_n handles; [] when none came within `timeout`."""
        out, n = _pop_buffers(max_n)
        pop = self._lib.mok_scan_queue_pop
        if self._wait_queue(timeout, lambda h, ms: pop(h, out, max_n, ms, ctypes.byref(n))):
            return list(out[: n.value])
        return []

    def _take(self, max_n: int, timeout: float | None) -> list[ScanResult]:
        """Results an iterator gave back first, then fresh ones from the queue."""
        if self._pending:
            taken: list[ScanResult] = []
            with contextlib.suppress(IndexError):
                while len(taken) < max_n:
                    taken.append(self._pending.popleft())
            return taken
        return [ScanResult(h) for h in self._pop(max_n, timeout)]

    def _give_back(self, results: list[ScanResult]) -> None:
        """Results taken from the queue but not handed to the host: they are
        the next ones any pull method returns, so nothing is lost by leaving
        an iterator early."""
        self._pending.extendleft(reversed(results))

    def pop_scans(self, max_n: int = 256, timeout: float | None = 1.0) -> list[ScanResult]:
        """Up to `max_n` queued results as :class:`ScanResult` (no copy);
        waits up to `timeout` seconds (None: no limit) for the first."""
        return self._take(max_n, timeout)

    def read_scans(self, max_n: int = 256, timeout: float | None = 1.0) -> ScanBatch:
        """Up to `max_n` queued results as numpy arrays, copied by the
        library in one call; an empty batch when none came within `timeout`.

        The arrays are views of a buffer the camera reuses once no array of
        it is alive, so a loop that drops each batch before reading the
        next-but-one allocates nothing per batch. Fewer than `max_n` may come
        while the buffer grows to the profiles' size."""
        if self._pending:
            kept = self._take(max_n, 0)
            return stack([r.handle for r in kept])
        max_n = max(1, min(max_n, _lib.SCAN_QUEUE_MAX_CAPACITY))
        slab, buf, lent = self._batches.take(max_n)
        n, used = ctypes.c_uint32(), ctypes.c_uint64()
        pop = self._lib.mok_scan_queue_pop_into

        def pop_into(h: int, ms: int) -> int:
            nonlocal slab, buf, lent
            while True:
                status = pop(h, slab.rec_addr, max_n, slab.pt_addr, slab.points, ms, ctypes.byref(n),
                             ctypes.byref(used))
                if status != _lib.ERR_INVALID_ARGUMENT or used.value <= slab.points:
                    return status
                slab, buf, lent = self._batches.take(max_n, used.value)  # the oldest alone did not fit

        if not self._wait_queue(timeout, pop_into):
            return ScanBatch.empty()
        batch = slab.batch(n.value, used.value)
        self._batches.note(slab, n.value, max_n, used.value, batch.y.shape[1])
        return batch if lent else batch.copy()

    def scans(self, timeout: float | None = None, batch: int = 256) -> Iterator[ScanResult]:
        """Iterates over queued results as they arrive; ends when none comes
        within `timeout` seconds (None: never) or the camera closes. Results
        taken but not yet yielded when the loop is left are given back."""
        while not self._closing:
            try:
                got = self._take(batch, timeout)
            except Closed:
                return
            if not got:
                return
            i = 0
            try:
                while i < len(got):
                    i += 1
                    yield got[i - 1]
            finally:
                self._give_back(got[i:])

    async def ascans(self, batch: int = 256) -> AsyncIterator[ScanResult]:
        """``async for r in cam.ascans()``: results without blocking the loop.

        One helper thread waits in the library and hands each batch to the
        loop with ``call_soon_threadsafe``; it asks for the next batch only
        when the previous one is consumed, so nothing piles up outside the
        library's bounded queue. Ends when the camera closes; results taken
        but not yielded when the loop is left are given back."""
        loop = asyncio.get_running_loop()
        requests: "_queue.SimpleQueue[asyncio.Future | None]" = _queue.SimpleQueue()
        stop = threading.Event()

        def settle(fut: "asyncio.Future[Any]", res: Any) -> None:  # on the loop
            if fut.done():
                if isinstance(res, list):
                    self._give_back(res)
            elif isinstance(res, BaseException):
                fut.set_exception(res)
            else:
                fut.set_result(res)

        def worker() -> None:
            while True:
                fut = requests.get()
                if fut is None:
                    return
                res: Any = []
                try:
                    while not res and not stop.is_set():
                        res = self._take(batch, _SLICE_MS / 1000)
                except BaseException as e:  # handed to the awaiting coroutine
                    res = e
                try:
                    if stop.is_set():
                        raise RuntimeError("consumer gone")
                    loop.call_soon_threadsafe(settle, fut, res)
                except RuntimeError:  # the consumer or its loop is gone
                    if isinstance(res, list):
                        self._give_back(res)

        thread = threading.Thread(target=worker, name="mok-ascans", daemon=True)
        thread.start()
        got: list[ScanResult] = []
        i = 0
        try:
            while True:
                fut = loop.create_future()
                requests.put(fut)
                try:
                    got, i = await fut, 0
                except Closed:
                    return
                while i < len(got):
                    i += 1
                    yield got[i - 1]
        finally:
            stop.set()
            requests.put(None)
            self._give_back(got[i:])

    # ---- callbacks --------------------------------------------------------

    def _trampoline(self, kind: str, convert: Callable[..., Any]) -> Callable[..., None]:
        ref = weakref.ref(self)

        def call(*args: Any) -> None:
            _callback_thread.active = True
            cam = None
            try:
                cam = ref()
                value = convert(*args)  # takes ownership of handles first
                fn = cam._user[kind] if cam is not None else None
                if fn is not None:
                    fn(value)
            except BaseException:
                if cam is not None:
                    cam.callback_errors += 1
                log.exception("mok: exception in the %s callback (reported, the camera keeps running)", kind)
            finally:
                _callback_thread.active = False

        return call

    def _install(self, kind: str, fn: Callable[..., None] | None) -> None:
        names = {"scan": ("scan", _lib.SCAN_CB, ScanResult), "state": ("state", _lib.STATE_CB, State),
                 "frame": ("video", _lib.VIDEO_CB, VideoFrame)}
        cname, ctype, convert = names[kind]
        self._user[kind] = fn
        with self._using("on_" + kind) as h:
            if fn is None:
                getattr(self._lib, f"mok_clear_{cname}_cb")(h)
                return
            if kind not in self._callbacks:
                # Installed once; replacing the Python callable needs no library call.
                c = ctype(lambda a, _ud, t=self._trampoline(kind, convert): t(a))
                self._callbacks[kind] = c
            getattr(self._lib, f"mok_set_{cname}_cb")(h, self._callbacks[kind], None)

    @property
    def on_scan(self) -> Callable[[ScanResult], None] | None:
        """Called with each :class:`ScanResult` on a library thread, with the
        interpreter lock taken. Exceptions are logged and counted in
        ``callback_errors``; calling close() from it is allowed."""
        return self._user["scan"]

    @on_scan.setter
    def on_scan(self, fn: Callable[[ScanResult], None] | None) -> None:
        self._install("scan", fn)

    @property
    def on_state(self) -> Callable[[State], None] | None:
        """Called with each connection :class:`State`; as :attr:`on_scan`."""
        return self._user["state"]

    @on_state.setter
    def on_state(self, fn: Callable[[State], None] | None) -> None:
        self._install("state", fn)

    @property
    def on_frame(self) -> Callable[[VideoFrame], None] | None:
        """Called with each decoded :class:`VideoFrame` (video on); must not
        switch video off itself (close() is allowed)."""
        return self._user["frame"]

    @on_frame.setter
    def on_frame(self, fn: Callable[[VideoFrame], None] | None) -> None:
        self._install("frame", fn)

    # ---- snapshots and video ---------------------------------------------

    def snapshot(self, image_format: int = 0, mark_seam: bool = False, jpeg_quality: int = 0,
                 timeout: float = 5.0) -> Snapshot:
        """Requests one image and waits for it (:class:`mok.Timeout`). The values
        reach the camera unchanged; the simulator answers in image_format (an
        :class:`ImageFormat`), draws the found seam when mark_seam is set and
        takes jpeg_quality from 1 to 100 (0: 85)."""
        fmt, mark = int(image_format), int(mark_seam)
        self._status("snapshot", lambda h: self._lib.mok_snapshot(h, fmt, mark, jpeg_quality))
        img = self.recv_snapshot(timeout)
        if img is None:
            raise Timeout("snapshot", _lib.ERR_TIMEOUT)
        return img

    def recv_snapshot(self, timeout: float = 0.0) -> Snapshot | None:
        """The oldest image received and not yet taken, or None."""
        _refuse_wait_in_callback("recv_snapshot", timeout)
        with self._using("recv_snapshot") as h:
            img = self._lib.mok_recv_snapshot_image(h, _ms(timeout))
        return Snapshot(img) if img else None

    def enable_video(self) -> None:
        """Switches live video on (frames go to :attr:`on_frame`)."""
        self._status("enable_video", self._lib.mok_enable_video)

    def disable_video(self) -> None:
        """Switches live video off, after delivering the frames in flight."""
        self._status("disable_video", self._lib.mok_disable_video)

    def __repr__(self) -> str:
        return f"<mok.Camera {self.address!r}{' closed' if self._closing else ''}>"


_pop_tls = threading.local()


def _pop_buffers(max_n: int) -> Any:
    """The handle array and count of a pop, kept per thread and size, so a
    pop allocates nothing of its own."""
    bufs = _pop_tls.__dict__.setdefault("bufs", {})
    if max_n not in bufs:
        if len(bufs) > 8:
            bufs.clear()
        bufs[max_n] = ((ctypes.c_void_p * max_n)(), ctypes.c_uint32())
    return bufs[max_n]


__all__ = ["Camera", "State", "DEFAULT_QUEUE_CAPACITY", "NotAvailable"]
