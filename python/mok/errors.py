"""The package's exceptions, one per library status code."""
from __future__ import annotations

from . import _lib


class MokError(RuntimeError):
    """A library call failed; ``status`` is its MOK_ERR_* code."""

    def __init__(self, what: str, status: int, detail: str = "") -> None:
        self.status = status
        text = f"{what}: {_NAMES.get(status, 'status %d' % status)}"
        super().__init__(f"{text} ({detail})" if detail else text)


class NotAvailable(MokError):
    """The device never reported the value, or the facility is off."""


class SendFailed(MokError):
    """The request could not be queued (not connected)."""


class InvalidArgument(MokError, ValueError):
    """The library refused an argument."""


class Timeout(MokError, TimeoutError):
    """The wait expired."""


class Closed(MokError):
    """The camera was closed."""

    def __init__(self, what: str, status: int = _lib.ERR_CLOSED, detail: str = "camera closed") -> None:
        super().__init__(what, status, detail or "camera closed")


_NAMES = {
    _lib.ERR_NOT_AVAILABLE: "not available",
    _lib.ERR_SEND_FAILED: "send failed",
    _lib.ERR_INVALID_ARGUMENT: "invalid argument",
    _lib.ERR_TIMEOUT: "timed out",
    _lib.ERR_OTHER: "failed",
    _lib.ERR_CLOSED: "camera closed",
    _lib.ERR_IN_CALLBACK: "would wait inside a camera callback",
}
_CLASSES = {
    _lib.ERR_NOT_AVAILABLE: NotAvailable,
    _lib.ERR_SEND_FAILED: SendFailed,
    _lib.ERR_INVALID_ARGUMENT: InvalidArgument,
    _lib.ERR_TIMEOUT: Timeout,
    _lib.ERR_CLOSED: Closed,
}


def check(what: str, status: int, detail: str = "") -> None:
    """Raises the exception for `status` unless it is MOK_OK."""
    if status != _lib.OK:
        raise _CLASSES.get(status, MokError)(what, status, detail)
