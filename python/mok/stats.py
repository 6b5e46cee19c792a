"""A client's statistics as Python reads them: one typed snapshot of
mok_stats_t per call, so a host's typos are caught by its type checker and
its editor lists the counters. Field meanings are the C struct's (mok.h)."""
from __future__ import annotations

import dataclasses
import enum

from . import _lib


class State(enum.IntEnum):
    """Connection states (MOK_STATE_*)."""

    IDLE = 0
    CONNECTED = 1
    CONNECT_FAILED = 2
    CONNECT_TIMEOUT = 3
    DISCONNECTED = 4
    SHUTTING_DOWN = 5
    TERMINATED = 6
    RECONNECTING = 7


@dataclasses.dataclass(frozen=True)
class Stats:
    """Every counter of a client at one moment. A library older than this
    package fills a shorter prefix (``size`` bytes); the fields it did not
    fill are 0."""

    size: int = 0
    state: State = State.IDLE
    time_in_state_ms: int = 0
    connect_attempts: int = 0
    connections_established: int = 0
    disconnects_remote_close: int = 0
    disconnects_inactivity: int = 0
    disconnects_decode_error: int = 0
    disconnects_write_failure: int = 0
    disconnects_stop: int = 0
    bytes_received: int = 0
    bytes_sent: int = 0
    packets_received: int = 0
    packets_sent: int = 0
    register_reports: int = 0
    snapshot_images: int = 0
    scan_results: int = 0
    video_packets: int = 0
    ignored_packets: int = 0
    scan_results_rejected: int = 0
    snapshots_queued: int = 0
    snapshots_received: int = 0
    video_packets_posted: int = 0
    frames_decoded: int = 0
    frames_delivered: int = 0
    frames_dropped: int = 0
    send_refused_not_connected: int = 0
    send_refused_queue_full: int = 0
    queue_depth: int = 0
    scan_rate_hz: float = 0.0
    scan_queue_dropped: int = 0
    scan_queue_depth: int = 0
    snapshots_dropped: int = 0
    video_packets_skipped: int = 0

    @property
    def scan_results_accepted(self) -> int:
        """Scan results that passed validation: those the host receives or
        the queue drops."""
        return self.scan_results - self.scan_results_rejected

    @classmethod
    def from_struct(cls, s: _lib.Stats) -> Stats:
        filled = {
            name: getattr(s, name)
            for name, _ in _lib.Stats._fields_
            if getattr(_lib.Stats, name).offset + getattr(_lib.Stats, name).size <= s.size
        }
        if "state" in filled:
            filled["state"] = State(filled["state"])
        return cls(**filled)


# The dataclass mirrors the ctypes struct field for field; a field added to
# one only would silently never be read.
assert [f.name for f in dataclasses.fields(Stats)] == [name for name, _ in _lib.Stats._fields_]
