"""The rendering context of one identity (le_create and friends)."""
from __future__ import annotations

import ctypes
import os
import weakref
from typing import Any, Optional, Union

import numpy as np

from . import _lib
from ._handle import Handle
from .errors import closed, index, integer, out_array, real_array

PathLike = Union[str, "os.PathLike[str]"]

#: The director opened when no model key is given (as the command-line host).
DEFAULT_MODEL = "b1"


def _path(value: Any, name: str) -> bytes:
    if not isinstance(value, (str, os.PathLike)):
        raise TypeError(f"{name} must be a path, not {type(value).__name__}")
    raw = os.fsencode(value)
    if b"\0" in raw:
        raise ValueError(f"{name} contains a NUL byte")
    return raw


def _opt_text(value: Optional[str], name: str) -> Optional[bytes]:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str or None, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{name} contains a NUL byte")
    return value.encode()


class Context(Handle):
    """A rendering context: one identity bundle and its director.

    Args:
        bundle: a bundle directory, an IMX container, or the stem of either.
        model_key: the director's key ("b1" opens model_b1.onnx); None: "b1".
        threads: worker threads; < 1 lets the library choose.
        ep: execution provider name; None for the CPU.

    Raises LeError with the library's text when the bundle cannot be opened.
    While a :class:`Live` pipeline runs over the context, the context's own
    calls are refused (the pipeline owns it), and close() waits for the
    pipeline's close before freeing the context.
    """

    _what = "Context"

    def __init__(self, bundle: PathLike, model_key: Optional[str] = None, threads: int = 0,
                 ep: Optional[str] = None) -> None:
        super().__init__()
        self._users = 0
        self._lives: "weakref.WeakSet[Any]" = weakref.WeakSet()
        self._pending: Optional[int] = None
        b = _path(bundle, "bundle")
        key = _opt_text(DEFAULT_MODEL if model_key is None else model_key, "model_key")
        threads = integer(threads, "threads")
        epb = _opt_text(ep, "ep")
        L = _lib.lib()
        h = L.le_create(b, key, threads, epb)
        if not h:
            raise _lib.fail(L.le_last_error, "le_create: failed")
        self._L = L
        self._free = L.le_destroy
        self._h = h
        self.bundle = os.fspath(bundle)
        self._nt = L.le_nt(h)
        self._w = L.le_width(h)
        self._hgt = L.le_height(h)
        self._crop = L.le_crop(h)
        self._drive = L.le_drive_frames(h)
        self._rows = L.le_host_kp_rows()
        self._frame_bytes = self._w * self._hgt * 3

    # -- figures ---------------------------------------------------------------
    @property
    def nt(self) -> int:
        """Frames in the identity loop."""
        self._handle()
        return self._nt

    @property
    def width(self) -> int:
        """Full-frame width in pixels."""
        self._handle()
        return self._w

    @property
    def height(self) -> int:
        """Full-frame height in pixels."""
        self._handle()
        return self._hgt

    @property
    def crop(self) -> int:
        """Side of the square face crop in pixels."""
        self._handle()
        return self._crop

    @property
    def drive_frames(self) -> int:
        """Rows of the bundle's recorded drive."""
        self._handle()
        return self._drive

    @property
    def kp_rows(self) -> int:
        """Rows of a keypoint set (each x, y, z)."""
        return self._rows

    @property
    def frame_shape(self) -> tuple[int, int, int]:
        """(height, width, 3): the shape of a frame."""
        self._handle()
        return (self._hgt, self._w, 3)

    # -- the live pipeline's claim on the context --------------------------------
    def _attach(self, live: Any) -> int:
        with self._lock:
            h = self._handle()
            self._users += 1
            self._lives.add(live)
            return h

    def _detach(self) -> None:
        with self._lock:
            self._users -= 1
            if self._users == 0 and self._pending is not None:
                h, self._pending = self._pending, None
                self._L.le_destroy(h)

    def _mine(self) -> int:
        """The handle for a call of the context's own; refused while a pipeline runs."""
        h = self._handle()
        if self._users:
            raise RuntimeError("this Context is driven by an open Live pipeline; close the Live first")
        return h

    def close(self) -> None:
        """Closes the Live pipelines over this context, then frees it. Idempotent."""
        for live in list(self._lives):
            live.close()
        with self._lock:
            h, self._h = self._h, None
            if h is None:
                return
            if self._users:
                # A pipeline this process can no longer reach (collected in a
                # cycle) still runs on the context: free it after that one.
                self._pending = h
            else:
                self._L.le_destroy(h)

    # -- keypoints, crops, frames ------------------------------------------------
    def _kp(self, value: Any, name: str) -> np.ndarray:
        return real_array(value, name, np.float32, ((self._rows, 3), (self._rows * 3,)))

    def _crop_out(self, ptr: Optional[int]) -> np.ndarray:
        c = self._crop
        out = np.empty((3, c, c), dtype=np.float32)
        ctypes.memmove(out.ctypes.data, ptr, out.nbytes)
        return out

    def render(self, si: int, xs: Any, xd: Any) -> np.ndarray:
        """Renders source frame `si` moved from keypoints `xs` to `xd` (each
        kp_rows x 3, or flat). Returns a new float32 array (3, crop, crop):
        planes R, G, B, rows top to bottom, nominally in [0, 1]."""
        with self._lock:
            h = self._mine()
            si = index(si, "si", self._nt)
            a = self._kp(xs, "xs")
            b = self._kp(xd, "xd")
            ptr = self._L.le_render_kp_crop(h, si, a.ctypes.data, b.ctypes.data)
            if not ptr:
                raise _lib.fail(self._L.le_last_error, "le_render_kp_crop: failed")
            return self._crop_out(ptr)

    def render_drive(self, row: int) -> np.ndarray:
        """Renders row `row` of the bundle's recorded drive; as render()."""
        with self._lock:
            h = self._mine()
            row = index(row, "row", self._drive)
            ptr = self._L.le_render_drive_crop(h, row)
            if not ptr:
                raise _lib.fail(self._L.le_last_error, "le_render_drive_crop: failed")
            return self._crop_out(ptr)

    def paste(self, i: int, crop: Any, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Pastes a crop (3, crop, crop) onto driver frame `i` with the
        identity's transform for `i`. Returns the frame, uint8 (H, W, 3) RGB;
        `out`, when given, must be exactly that and is filled and returned."""
        with self._lock:
            h = self._mine()
            i = index(i, "i", self._nt)
            c = self._crop
            src = real_array(crop, "crop", np.float32, ((3, c, c),))
            shape = (self._hgt, self._w, 3)
            dst = np.empty(shape, np.uint8) if out is None else out_array(out, "out", np.uint8, shape)
            if self._L.le_paste_crop(h, i, src.ctypes.data, dst.ctypes.data, dst.nbytes) != 1:
                raise _lib.fail(self._L.le_last_error, "le_paste_crop: failed")
            return dst

    def target_frame(self, i: int) -> np.ndarray:
        """Driver frame `i` as a new uint8 (H, W, 3) RGB array."""
        with self._lock:
            h = self._mine()
            i = index(i, "i", self._nt)
            ptr = self._L.le_target_frame(h, i)
            if not ptr:
                raise _lib.fail(self._L.le_last_error, "le_target_frame: failed")
            out = np.empty((self._hgt, self._w, 3), np.uint8)
            ctypes.memmove(out.ctypes.data, ptr, out.nbytes)
            return out

    def __repr__(self) -> str:
        if self._h is None:
            return "<le_core.Context closed>"
        return (f"<le_core.Context {self.bundle!r} nt={self._nt} {self._w}x{self._hgt} "
                f"crop={self._crop}>")
