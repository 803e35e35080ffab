"""The speech-to-keypoint engines: Motion (le_motion), Expression (le_a2x) and
Deltas (le_fca). Audio is mono at 16 kHz: float32 in [-1, 1], or int16
(scaled by 1/32768)."""
from __future__ import annotations

from typing import Any, Optional

import numpy as np

from . import _lib
from ._handle import Handle
from .context import PathLike, _opt_text, _path
from .errors import LeError, audio_float, integer

_KP = 63          # floats per keypoint set (21 rows of x, y, z)
_CHUNK = 1 << 30  # samples per C call, below the int range


def _frames(audio: np.ndarray) -> int:
    return -(-audio.size // 640)


class _Streaming(Handle):
    """Push / finish / pull, shared by Motion and Expression."""

    _prefix = ""

    def _err(self, fallback: str) -> LeError:
        return _lib.fail(getattr(self._L, self._prefix + "last_error"), fallback)

    def _call(self, name: str, *args: Any) -> Any:
        return getattr(self._L, self._prefix + name)(self._handle(), *args)

    def _pull_into(self, n: Optional[int], wn: bool) -> tuple[np.ndarray, ...]:
        with self._lock:
            if n is None:
                n = self.avail()
            n = integer(n, "n")
            if n < 0:
                raise ValueError(f"n must be >= 0, not {n}")
            si = np.zeros(n, np.int32)
            xs = np.zeros((n, 21, 3), np.float32)
            xd = np.zeros((n, 21, 3), np.float32)
            w = np.zeros(n, np.float32)
            if n == 0:
                got = 0
            elif wn:
                got = self._call("pull_wn", si.ctypes.data, xs.ctypes.data, xd.ctypes.data, w.ctypes.data, n)
            else:
                got = self._call("pull", si.ctypes.data, xs.ctypes.data, xd.ctypes.data, n)
            if got < 0 or (got == 0 and n > 0 and self._prefix == "le_motion_" and
                           _lib.text(self._L.le_motion_last_error)):
                raise self._err(f"{self._prefix}pull: failed")
            out = (si[:got], xs[:got], xd[:got])
            return out + (w[:got],) if wn else out

    def avail(self) -> int:
        """Runs the work the pushed audio allows; frames pull() would yield now."""
        raise NotImplementedError

    def pull(self, n: Optional[int] = None) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Up to `n` frames (None: those available now): (si int32 (k,),
        xs float32 (k, 21, 3), xd float32 (k, 21, 3))."""
        return self._pull_into(n, False)  # type: ignore[return-value]

    def __iter__(self):
        raise TypeError(f"{type(self).__name__} is not iterable; call pull()")


class Motion(_Streaming):
    """The streaming motion engine (le_motion): speech in, per frame the
    source frame index and source / driving keypoints out.

    Args:
        engine_dir: the motion engine directory.
        threads: <= 0: the library's worker count.
        ep: execution provider; None for the CPU.
    """

    _what = "Motion"
    _prefix = "le_motion_"

    def __init__(self, engine_dir: PathLike, threads: int = 0, ep: Optional[str] = None) -> None:
        super().__init__()
        d = _path(engine_dir, "engine_dir")
        t = integer(threads, "threads")
        e = _opt_text(ep, "ep")
        L = _lib.lib()
        h = L.le_motion_create(d, t, e)
        if not h:
            raise _lib.fail(L.le_motion_last_error, "le_motion_create: failed")
        self._L, self._h, self._free = L, h, L.le_motion_destroy

    def push(self, samples: Any) -> None:
        """Appends samples (refused after finish() until reset())."""
        a = audio_float(samples)
        with self._lock:
            for at in range(0, max(a.size, 1), _CHUNK):
                n = min(a.size - at, _CHUNK)
                if self._call("push", a.ctypes.data + 4 * at, n) != 1:
                    raise self._err("le_motion_push: failed")

    def finish(self) -> None:
        """Marks the end of input: the total becomes ceil(samples / 640)."""
        with self._lock:
            if self._call("finish") != 1:
                raise self._err("le_motion_finish: failed")

    def avail(self) -> int:
        with self._lock:
            n = self._call("avail")
            if n == 0 and _lib.text(self._L.le_motion_last_error):
                raise self._err("le_motion_avail: failed")
            return n

    def reset(self, start: int = 0, direction: int = 1, loop: bool = True) -> None:
        """Forgets the utterance; the source walk restarts at `start`
        (clamped), backwards when direction < 0, wrapping when `loop`."""
        with self._lock:
            self._call("reset", integer(start, "start"), integer(direction, "direction"), int(bool(loop)))

    def set_eager(self, eager: int) -> None:
        """0 off; > 0 a provisional pass every `eager` frames; < 0 adaptive."""
        with self._lock:
            self._call("set_eager", integer(eager, "eager"))

    @property
    def total(self) -> Optional[int]:
        """Frames of the utterance after finish(), else None."""
        with self._lock:
            t = self._call("total")
            return None if t < 0 else t

    @property
    def nt(self) -> int:
        """Frames in the identity loop."""
        with self._lock:
            n = self._call("nt")
            if n == 0:
                raise self._err("le_motion_nt: failed")
            return n

    def run(self, audio: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """A whole utterance: push, finish, pull every frame."""
        with self._lock:
            self.push(audio)
            self.finish()
            total = self.total or 0
            return self.pull(total)


class Expression(_Streaming):
    """The streaming audio-to-expression engine (le_a2x). Its feature
    extractor is named by the environment variable W2V_ONNX (or preloaded
    with :meth:`preload_w2v`).

    Args:
        engine_dir: the engine directory (a2x_meta.json, a2x_enc_stream.onnx, ...).
        threads: < 1 lets the library choose.
    """

    _what = "Expression"
    _prefix = "le_a2x_"

    def __init__(self, engine_dir: PathLike, threads: int = 0) -> None:
        super().__init__()
        d = _path(engine_dir, "engine_dir")
        t = integer(threads, "threads")
        L = _lib.lib()
        h = L.le_a2x_create(d, t)
        if not h:
            raise _lib.fail(L.le_a2x_last_error, "le_a2x_create: failed")
        self._L, self._h, self._free = L, h, L.le_a2x_destroy

    @staticmethod
    def preload_w2v(path: Optional[PathLike] = None) -> None:
        """Loads the shared feature extractor ahead of time (None: $W2V_ONNX)."""
        p = None if path is None else _path(path, "path")
        L = _lib.lib()
        if L.le_a2x_preload_w2v(p) != 1:
            raise _lib.fail(L.le_a2x_last_error, "le_a2x_preload_w2v: failed")

    def push(self, samples: Any) -> None:
        """Appends samples (refused after finish() until reset())."""
        a = audio_float(samples)
        with self._lock:
            for at in range(0, max(a.size, 1), _CHUNK):
                n = min(a.size - at, _CHUNK)
                if n and self._call("push", a.ctypes.data + 4 * at, n) != 1:
                    raise self._err("le_a2x_push: failed")

    def finish(self) -> None:
        """Marks the end of the utterance's audio."""
        with self._lock:
            self._call("finish")

    def avail(self) -> int:
        with self._lock:
            n = self._call("avail")
            if n < 0:
                raise self._err("le_a2x_avail: failed")
            return n

    def pull_wn(self, n: Optional[int] = None) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """As pull(), plus one wn value per frame (0 without such an encoder output)."""
        return self._pull_into(n, True)  # type: ignore[return-value]

    @property
    def total(self) -> Optional[int]:
        """Frames of the utterance after finish(), else None."""
        with self._lock:
            t = self._call("total")
            return None if t < 0 else t

    def reset(self, start: int = -1, direction: int = 1, loop: bool = True) -> int:
        """New utterance; start < 0 continues the source walk where it stands.
        Returns the walk's direction (+1 or -1)."""
        with self._lock:
            r = self._call("reset", integer(start, "start"), integer(direction, "direction"), int(bool(loop)))
            if r == 0:
                raise self._err("le_a2x_reset: failed")
            return r

    def set_eager(self, eager: int) -> None:
        with self._lock:
            self._call("set_eager", integer(eager, "eager"))

    @property
    def width(self) -> int:
        """Delta columns served (63)."""
        with self._lock:
            w = self._call("width")
            if w == 0:
                raise self._err("le_a2x_width: failed")
            return w

    @property
    def nt(self) -> int:
        """Source frames (rows of xs_target.bin)."""
        with self._lock:
            n = self._call("nt")
            if n == 0:
                raise self._err("le_a2x_nt: failed")
            return n

    def deltas(self, audio: Any) -> np.ndarray:
        """A whole clip offline (the streaming state is untouched): float32
        (ceil(samples / 640), 63)."""
        a = audio_float(audio, "audio")
        with self._lock:
            out = np.zeros((_frames(a), _KP), np.float32)
            r = self._call("deltas", a.ctypes.data, a.size, out.ctypes.data, out.shape[0])
            if r < 0:
                raise self._err("le_a2x_deltas: failed")
            return out[:r]

    def deltas_wn(self, audio: Any) -> tuple[np.ndarray, np.ndarray]:
        """As deltas(), plus one wn value per frame; LeError without a wn output."""
        a = audio_float(audio, "audio")
        with self._lock:
            t = _frames(a)
            out = np.zeros((t, _KP), np.float32)
            wn = np.zeros(t, np.float32)
            r = self._call("deltas_wn", a.ctypes.data, a.size, out.ctypes.data, wn.ctypes.data, t)
            if r < 0:
                raise self._err("le_a2x_deltas_wn: failed" if r != -3 else "le_a2x_deltas_wn: no wn output")
            return out[:r], wn[:r]


class Deltas(Handle):
    """The whole-clip keypoint delta engine (le_fca): one 63-float delta per
    frame of a complete clip, in one call.

    Args:
        extractor: the speech feature extractor model.
        model: the recurrent delta model.
        threads: < 1: the library's worker count.
    """

    _what = "Deltas"

    def __init__(self, extractor: PathLike, model: PathLike, threads: int = 0) -> None:
        super().__init__()
        x = _path(extractor, "extractor")
        m = _path(model, "model")
        t = integer(threads, "threads")
        L = _lib.lib()
        h = L.le_fca_create(x, m, t)
        if not h:
            raise _lib.fail(L.le_fca_last_error, "le_fca_create: failed")
        self._L, self._h, self._free = L, h, L.le_fca_destroy

    def deltas(self, audio: Any) -> np.ndarray:
        """float32 (ceil(samples / 640), 63); empty audio gives (0, 63)."""
        a = audio_float(audio, "audio")
        with self._lock:
            h = self._handle()
            out = np.zeros((_frames(a), _KP), np.float32)
            if a.size == 0:
                return out
            r = self._L.le_fca_deltas(h, a.ctypes.data, a.size, out.ctypes.data, out.shape[0])
            if r < 0:
                raise _lib.fail(self._L.le_fca_last_error, "le_fca_deltas: failed")
            return out[:r]
