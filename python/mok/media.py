"""Snapshot images and decoded video frames handed out by a camera."""
from __future__ import annotations

import ctypes
import enum
import io


import numpy as np

from . import _lib
from .scan import _Handle, view


class ImageFormat(enum.IntEnum):
    """Format of a snapshot's bytes (MOK_IMAGE_*)."""

    RAW = 0
    JPEG = 1
    PNG = 2


class Snapshot:
    """One still image: its bytes (copied), format and, for raw images, size."""

    __slots__ = ("data", "format", "width", "height")

    def __init__(self, handle: int) -> None:
        lib = _lib.load()
        h = _Handle(handle, lib.mok_snapshot_image_free)
        size = lib.mok_snapshot_image_data_size(h.ptr)
        self.data: bytes = ctypes.string_at(lib.mok_snapshot_image_data(h.ptr), size) if size else b""
        self.format = ImageFormat(lib.mok_snapshot_image_format(h.ptr))
        self.width: int = lib.mok_snapshot_image_width(h.ptr)
        self.height: int = lib.mok_snapshot_image_height(h.ptr)

    def to_array(self) -> np.ndarray:
        """The image as a numpy array: raw 8-bit pixels reshaped to
        (height, width), JPEG and PNG decoded with Pillow (ImportError when
        Pillow is not installed)."""
        if self.format == ImageFormat.RAW:
            px = np.frombuffer(self.data, np.uint8)
            if self.width and self.height and px.size == self.width * self.height:
                return px.reshape(self.height, self.width)
            return px
        from PIL import Image  # optional dependency

        return np.asarray(Image.open(io.BytesIO(self.data)))

    def __repr__(self) -> str:
        return f"<Snapshot {self.format.name} {len(self.data)} bytes>"


class VideoFrame:
    """One decoded video frame; ``rgba`` views its pixels without copying
    and keeps the frame alive while the view exists."""

    __slots__ = ("_h", "width", "height", "format", "pts", "rgba")

    def __init__(self, handle: int) -> None:
        lib = _lib.load()
        self._h = _Handle(handle, lib.mok_video_frame_free)
        info = _lib.VideoFrameInfo()
        ok = lib.mok_video_frame_get_info(self._h.ptr, ctypes.byref(info)) == _lib.OK
        self.width: int = info.width if ok else 0
        self.height: int = info.height if ok else 0
        self.format: int = info.format if ok else -1
        self.pts: int = info.pts if ok else 0
        self.rgba: np.ndarray | None = None
        if ok and info.format == 26 and info.data[0]:  # MOK_PIXEL_FORMAT_RGBA
            shape = (info.height, info.width, 4)
            self.rgba = view(self._h, info.data[0], np.uint8, shape, (info.linesize[0], 4, 1))

    def __repr__(self) -> str:
        return f"<VideoFrame {self.width}x{self.height} pts={self.pts}>"
