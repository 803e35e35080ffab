"""The live pipeline (le_utt): push speech as it arrives, pull talking frames."""
from __future__ import annotations

import ctypes
import enum
import math
import time
from dataclasses import dataclass
from typing import Optional

import numpy as np

from . import _lib
from ._handle import Handle
from .context import Context, PathLike, _opt_text, _path
from .errors import LeError, audio_int16, integer, out_array

#: Samples per frame at 16 kHz (25 frames per second).
HOP = 640
RATE = 16000
# Pushes are cut below the C int's range.
_PUSH_MAX = 1 << 30


class Kind(enum.IntEnum):
    """What a frame shows."""
    IDLE = 0
    SPEECH = 1
    RAMP = 2


class State(enum.IntEnum):
    """The pipeline's state in its statistics."""
    IDLE = 0
    AUDIO_ARRIVING = 1
    SPEAKING = 2
    RAMPING = 3


@dataclass(frozen=True)
class FrameInfo:
    """What came with a pulled frame.

    seq: frames made since creation (never reset); kind: a :class:`Kind`;
    si: the driver / source frame index; tag: a speech frame's index within
    its utterance (0 first), else -1.
    """
    seq: int
    kind: Kind
    si: int
    tag: int


@dataclass(frozen=True)
class Stats:
    """The pipeline's statistics (le_utt_stats)."""
    frames_pulled: int
    speech_frames_pulled: int
    utterances: int                  # utterances whose first speech frame was delivered
    first_frame_latency_ms: float    # latest utterance: first push to first speech frame
    render_ms_avg: float             # per speech frame, running average
    state: State


def speech_frames(samples: int) -> int:
    """Frames an utterance of `samples` samples makes: ceil(samples / 640)."""
    return -(-samples // HOP)


class Live(Handle):
    """A live pipeline over a :class:`Context` (le_utt_create).

    Args:
        ctx: the context; it is kept referenced and, while the pipeline is
            open, refuses calls of its own.
        engine_dir: the audio engine directory (the expression engine when it
            holds a2x_enc_stream.onnx, else the motion engine).
        threads: audio engine threads; < 1: the pool size.
        ep: the motion engine's execution provider; None: the CPU.
        steady_model: the batched director's key; None: the library's default;
            "-": none.
        eager: > 0 a fixed eager threshold, -2 hybrid, other values < 1 adaptive.
        silence_end_s: the input ends after this long without a push; None: never.
        ramp_frames: frames back to idle after an utterance.
        interrupt_ramp_frames: frames back to idle after an interrupt.

    The audio engine loads on a thread of the pipeline's own: audio pushed
    before :attr:`ready` is discarded, so call :meth:`wait_ready` first.
    """

    _what = "Live"

    def __init__(self, ctx: Context, engine_dir: PathLike, *, threads: int = 0, ep: Optional[str] = None,
                 steady_model: Optional[str] = None, eager: int = 0, silence_end_s: Optional[float] = 0.6,
                 ramp_frames: int = 6, interrupt_ramp_frames: int = 4) -> None:
        super().__init__()
        self._ctx: Optional[Context] = None
        if not isinstance(ctx, Context):
            raise TypeError(f"ctx must be a le_core.Context, not {type(ctx).__name__}")
        # Kept alive with the pipeline: the library may hold on to these texts.
        self._texts = (_path(engine_dir, "engine_dir"), _opt_text(ep, "ep"),
                       _opt_text(steady_model, "steady_model"))
        if silence_end_s is None:
            silence = -1.0
        else:
            if not isinstance(silence_end_s, (int, float)) or isinstance(silence_end_s, bool):
                raise TypeError("silence_end_s must be a number of seconds or None")
            silence = float(silence_end_s)
            if not (silence > 0 and math.isfinite(silence)):
                raise ValueError(f"silence_end_s must be > 0 seconds (None: never), not {silence_end_s}")
        ramp = integer(ramp_frames, "ramp_frames")
        iramp = integer(interrupt_ramp_frames, "interrupt_ramp_frames")
        if ramp < 1 or iramp < 1:
            raise ValueError("ramp_frames and interrupt_ramp_frames must be >= 1")
        opts = _lib.UttOpts(self._texts[0], integer(threads, "threads"), self._texts[1], self._texts[2],
                            integer(eager, "eager"), silence, ramp, iramp)
        L = _lib.lib()
        ch = ctx._attach(self)
        try:
            with ctx._lock:
                h = L.le_utt_create(ch, ctypes.byref(opts))
            if not h:
                raise _lib.fail(L.le_utt_last_error, "le_utt_create: failed")
        except BaseException:
            ctx._detach()
            raise
        self._L = L
        self._ctx = ctx
        self._h = h
        self.ramp_frames = ramp
        self.interrupt_ramp_frames = iramp
        self._shape = (ctx._hgt, ctx._w, 3)
        self._bytes = ctx._frame_bytes
        self._info = _lib.UttFrameInfo()
        self._info_ref = ctypes.byref(self._info)
        self._pull = L.le_utt_pull_frame

    @property
    def context(self) -> Context:
        """The context the pipeline runs over."""
        self._handle()
        assert self._ctx is not None
        return self._ctx

    @property
    def frame_shape(self) -> tuple[int, int, int]:
        """(height, width, 3)."""
        return self._shape

    def close(self) -> None:
        """Stops the pipeline's threads and frees it (le_utt_destroy); the
        context is then the host's again. Idempotent."""
        with self._lock:
            h, self._h = self._h, None
            if h is None:
                return
            self._L.le_utt_destroy(h)
            ctx, self._ctx = self._ctx, None
        if ctx is not None:
            ctx._detach()

    # -- warming up --------------------------------------------------------------
    @property
    def ready(self) -> bool:
        """True once the audio engine has loaded; LeError if it failed to."""
        with self._lock:
            r = self._L.le_utt_ready(self._handle())
        if r < 0:
            raise _lib.fail(self._L.le_utt_last_error, "le_utt_ready: the audio engine failed to load")
        return r == 1

    def wait_ready(self, timeout: float = 60.0) -> None:
        """Waits until :attr:`ready`; LeError when loading fails or takes longer than `timeout` s."""
        end = time.monotonic() + timeout
        while not self.ready:
            if time.monotonic() > end:
                raise LeError(f"le_utt_ready: the audio engine is still loading after {timeout:g} s")
            time.sleep(0.002)

    # -- speech in ---------------------------------------------------------------
    def push(self, samples: np.ndarray) -> None:
        """Appends mono 16-bit PCM at 16 kHz (a 1-D int16 array; may be empty,
        which still counts as a push for the silence timeout)."""
        pcm = audio_int16(samples)
        with self._lock:
            h = self._handle()
            at = 0
            while True:
                n = min(pcm.size - at, _PUSH_MAX)
                if self._L.le_utt_push_audio(h, pcm.ctypes.data + 2 * at, n) != 1:
                    raise _lib.fail(self._L.le_utt_last_error, "le_utt_push_audio: failed")
                at += n
                if at >= pcm.size:
                    break

    def end_utterance(self) -> None:
        """The current utterance's audio is complete."""
        with self._lock:
            self._L.le_utt_end_utterance(self._handle())

    def interrupt(self) -> None:
        """Drops pending audio and every frame not yet pulled; the face ramps
        back to idle from the last frame pulled."""
        with self._lock:
            self._L.le_utt_interrupt(self._handle())

    # -- frames out --------------------------------------------------------------
    @property
    def frames_available(self) -> int:
        """Frames ready to pull."""
        with self._lock:
            return self._L.le_utt_frames_available(self._handle())

    def pull(self, out: Optional[np.ndarray] = None) -> Optional[tuple[np.ndarray, FrameInfo]]:
        """The next frame and its info, or None when none is ready.

        The frame is uint8 (H, W, 3) RGB: a new array, or `out` (exactly that
        dtype and shape, C-contiguous, writable) filled in place, so a host
        can run on one buffer without an allocation per frame."""
        with self._lock:
            h = self._h
            if h is None:
                raise ValueError("Live is closed")
            # Checked on every call: an array can be resized under the same object.
            dst = np.empty(self._shape, np.uint8) if out is None else out_array(out, "out", np.uint8, self._shape)
            if self._pull(h, dst.ctypes.data, self._bytes, self._info_ref) != 1:
                err = self._L.le_utt_last_error()
                if err:
                    raise LeError(err.decode("utf-8", "replace"))
                return None
            i = self._info
            return dst, FrameInfo(i.seq, Kind(i.kind), i.si, i.tag)

    @property
    def stats(self) -> Stats:
        """A snapshot of the pipeline's statistics."""
        s = _lib.UttStats()
        with self._lock:
            self._L.le_utt_get_stats(self._handle(), ctypes.byref(s))
        return Stats(s.frames_pulled, s.speech_frames_pulled, s.utterances, s.first_frame_latency_ms,
                     s.render_ms_avg, State(s.state))

    def render_status(self) -> tuple[bool, str, int]:
        """(healthy, the latest render failure's text or "", failure count);
        healthy is False once a failure has disabled speech rendering."""
        buf = ctypes.create_string_buffer(1024)
        n = ctypes.c_uint64(0)
        with self._lock:
            r = self._L.le_utt_render_status(self._handle(), ctypes.addressof(buf), len(buf), ctypes.byref(n))
        return r == 0, buf.value.decode("utf-8", "replace"), n.value

    def __repr__(self) -> str:
        state = "closed" if self._h is None else f"{self._shape[1]}x{self._shape[0]}"
        return f"<le_core.Live {state}>"

