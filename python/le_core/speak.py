"""One utterance through the live pipeline, and what the command line needs
around it: 16-bit PCM WAV in, a YUV4MPEG2 movie and a PNG contact sheet out
(standard library and NumPy only)."""
from __future__ import annotations

import os
import struct
import time
import wave
import zlib
from typing import Any, Iterator, Optional, Union

import numpy as np

from .context import Context, PathLike
from .errors import FileError, LeError
from .live import HOP, RATE, FrameInfo, Kind, Live, speech_frames

AudioLike = Union[np.ndarray, str, "os.PathLike[str]"]


# -- audio in ------------------------------------------------------------------
def resample(x: np.ndarray, rate: int, to: int = RATE) -> np.ndarray:
    """Linear interpolation from `rate` to `to` Hz (float64 in, float64 out)."""
    if rate == to or x.size == 0:
        return x
    n = max(1, int(round(x.size * to / rate)))
    t = np.arange(n, dtype=np.float64) * (rate / to)
    return np.interp(t, np.arange(x.size, dtype=np.float64), x)


def read_wav(path: PathLike) -> np.ndarray:
    """A 16-bit PCM WAV file as mono int16 at 16 kHz: channels averaged, other
    rates resampled by linear interpolation. FileError (a LeError and a
    ValueError) for anything else."""
    p = os.fspath(path)
    if os.path.isdir(p):
        raise FileError(f"audio {p}: is a directory")
    if not os.path.isfile(p):
        raise FileError(f"audio {p}: no such file")
    try:
        if os.path.getsize(p) == 0:
            raise FileError(f"audio {p}: is empty")
        with wave.open(p, "rb") as w:
            ch, width, rate, n = w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes()
            raw = w.readframes(n)
    except OSError as e:
        raise FileError(f"audio {p}: {e.strerror or e}") from None
    except (wave.Error, EOFError, struct.error) as e:
        raise FileError(f"audio {p}: not a PCM WAV file ({e or 'cut short'})") from None
    if width != 2:
        raise FileError(f"audio {p}: {8 * width}-bit samples; 16-bit PCM WAV wanted")
    if ch < 1 or rate < 1:
        raise FileError(f"audio {p}: declares {ch} channels at {rate} Hz")
    s = np.frombuffer(raw, dtype="<i2")
    s = s[: s.size - s.size % ch].reshape(-1, ch)
    if ch == 1 and rate == RATE:
        return s[:, 0].astype(np.int16)
    mono = resample(s.astype(np.float64).mean(axis=1), rate)
    return np.clip(np.rint(mono), -32768, 32767).astype(np.int16)


def as_pcm(audio: AudioLike) -> np.ndarray:
    """int16 mono at 16 kHz from int16 samples, float samples in [-1, 1]
    (clipped), or a WAV path."""
    if isinstance(audio, (str, os.PathLike)):
        return read_wav(audio)
    a = np.asarray(audio)
    if a.ndim != 1:
        raise ValueError(f"audio must be one-dimensional (mono), not shape {a.shape}")
    if a.dtype == np.int16:
        return np.ascontiguousarray(a)
    if a.dtype.kind != "f":
        raise TypeError(f"audio must be int16 or float samples, or a WAV path, not {a.dtype}")
    f = np.nan_to_num(a.astype(np.float64), nan=0.0, posinf=1.0, neginf=-1.0)
    return (np.clip(f, -1.0, 1.0) * 32767.0).astype(np.int16)


# -- one utterance -------------------------------------------------------------
def _speak(bundle: PathLike, engine: PathLike, pcm: np.ndarray, meta: dict[str, Any], *,
           model_key: Optional[str], threads: int, ep: Optional[str], ready_timeout: float,
           frame_timeout: float) -> Iterator[tuple[np.ndarray, FrameInfo]]:
    total = speech_frames(pcm.size)
    t0 = time.monotonic()
    with Context(bundle, model_key, threads, ep) as ctx, Live(ctx, engine, threads=threads) as live:
        meta.update(live=live, width=ctx.width, height=ctx.height, total=total)
        live.wait_ready(ready_timeout)
        meta["load_s"] = time.monotonic() - t0
        meta["start"] = time.monotonic()
        if total == 0:
            return
        for at in range(0, pcm.size, 5 * HOP):
            live.push(pcm[at:at + 5 * HOP])
        live.end_utterance()
        spoken = ramped = 0
        last = time.monotonic()
        while True:
            got = live.pull()
            if got is None:
                healthy, why, _ = live.render_status()
                if not healthy:
                    raise LeError(f"rendering failed after {spoken} frames: {why}")
                if time.monotonic() - last > frame_timeout:
                    raise LeError(f"no frame for {frame_timeout:g} s after {spoken} of {total} speech frames")
                time.sleep(0.001)
                continue
            last = time.monotonic()
            frame, info = got
            if spoken == 0 and info.kind != Kind.SPEECH:
                continue  # the idle video before the utterance starts
            if info.kind == Kind.SPEECH:
                spoken += 1
            elif spoken < total:
                raise LeError(f"the utterance ended after {spoken} of {total} speech frames")
            elif info.kind == Kind.RAMP:
                ramped += 1
            else:
                return  # idle again
            yield frame, info
            if ramped >= live.ramp_frames:
                return


def speak(bundle: PathLike, engine: PathLike, audio: AudioLike, *, model_key: Optional[str] = None,
          threads: int = 0, ep: Optional[str] = None, ready_timeout: float = 600.0,
          frame_timeout: float = 120.0) -> Iterator[tuple[np.ndarray, FrameInfo]]:
    """Speaks `audio` with the identity `bundle` driven by the engine `engine`.

    `audio` is mono at 16 kHz (int16, or float in [-1, 1]) or the path of a
    16-bit PCM WAV file (any rate, mono or stereo). Yields (frame, info) for
    each of the ceil(samples / 640) speech frames, then for the ramp frames
    back to idle; each frame is a new uint8 (H, W, 3) array. Raises LeError
    when loading takes longer than `ready_timeout` seconds or no frame
    arrives for `frame_timeout` seconds. The pipeline is closed when the
    iterator is exhausted or closed."""
    pcm = as_pcm(audio)
    return _speak(bundle, engine, pcm, {}, model_key=model_key, threads=threads, ep=ep,
                  ready_timeout=ready_timeout, frame_timeout=frame_timeout)


# -- movie and sheet out ---------------------------------------------------------
def rgb_to_yuv420(frame: np.ndarray) -> tuple[bytes, bytes, bytes]:
    """BT.601 studio-range Y, Cb, Cr planes; chroma averaged over 2x2 blocks
    (odd edges repeated)."""
    f = frame.astype(np.float32) * np.float32(1.0 / 255.0)
    r, g, b = f[..., 0], f[..., 1], f[..., 2]
    y = 16.0 + 65.481 * r + 128.553 * g + 24.966 * b
    cb = 128.0 - 37.797 * r - 74.203 * g + 112.0 * b
    cr = 128.0 + 112.0 * r - 93.786 * g - 18.214 * b
    h, w = y.shape
    ph, pw = h % 2, w % 2

    def sub(c: np.ndarray) -> np.ndarray:
        if ph or pw:
            c = np.pad(c, ((0, ph), (0, pw)), mode="edge")
        return c.reshape(c.shape[0] // 2, 2, c.shape[1] // 2, 2).mean(axis=(1, 3))

    def q(c: np.ndarray) -> bytes:
        return np.clip(np.rint(c), 0, 255).astype(np.uint8).tobytes()

    return q(y), q(sub(cb)), q(sub(cr))


class Y4MWriter:
    """A YUV4MPEG2 movie (4:2:0, 25 fps) written frame by frame."""

    def __init__(self, path: PathLike, width: int, height: int, fps: int = 25) -> None:
        parent = os.path.dirname(os.fspath(path))
        if parent:
            os.makedirs(parent, exist_ok=True)
        self.width, self.height, self.frames = width, height, 0
        self._f = open(path, "wb")
        self._f.write(f"YUV4MPEG2 W{width} H{height} F{fps}:1 Ip A1:1 C420jpeg\n".encode())

    def add(self, frame: np.ndarray) -> None:
        if frame.shape != (self.height, self.width, 3):
            raise ValueError(f"frame shape {frame.shape}, movie is {self.height}x{self.width}x3")
        self._f.write(b"FRAME\n")
        for plane in rgb_to_yuv420(frame):
            self._f.write(plane)
        self.frames += 1

    def close(self) -> None:
        self._f.close()

    def __enter__(self) -> "Y4MWriter":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def write_png(path: PathLike, rgb: np.ndarray) -> None:
    """An 8-bit RGB PNG (no filtering; zlib level 6)."""
    h, w, _ = rgb.shape
    parent = os.path.dirname(os.fspath(path))
    if parent:
        os.makedirs(parent, exist_ok=True)

    def chunk(tag: bytes, body: bytes) -> bytes:
        return struct.pack(">I", len(body)) + tag + body + struct.pack(">I", zlib.crc32(tag + body) & 0xFFFFFFFF)

    rows = np.empty((h, 1 + 3 * w), np.uint8)
    rows[:, 0] = 0  # filter type None
    rows[:, 1:] = rgb.reshape(h, 3 * w)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)))
        f.write(chunk(b"IEND", b""))


class ContactSheet:
    """Up to six evenly spaced frames of `total`, side by side on white,
    each cell at most 640 pixels wide (box-averaged down)."""

    def __init__(self, total: int, width: int, height: int) -> None:
        k = min(6, total)
        picks = [0] if k == 1 else [j * (total - 1) // (k - 1) for j in range(k)]
        self.picks = sorted(set(picks))
        self.w, self.h = width, height
        self._frames: dict[int, np.ndarray] = {}

    def add(self, index: int, frame: np.ndarray) -> None:
        if index in self.picks:
            self._frames[index] = frame.copy()

    def write(self, path: PathLike) -> str:
        """Writes the sheet; returns what it shows, in words."""
        n = len(self.picks)
        if n == 0 or len(self._frames) != n:
            raise LeError("contact sheet: a picked frame never arrived")
        scale = max(1, (self.w + 639) // 640)
        cw, ch, gap = self.w // scale, self.h // scale, 4
        cols = n if n <= 3 else (n + 1) // 2
        rows = (n + cols - 1) // cols
        sheet = np.full((rows * ch + (rows - 1) * gap, cols * cw + (cols - 1) * gap, 3), 255, np.uint8)
        for k, p in enumerate(self.picks):
            f = self._frames[p][: ch * scale, : cw * scale].astype(np.float32)
            cell = f.reshape(ch, scale, cw, scale, 3).mean(axis=(1, 3))
            y, x = (k // cols) * (ch + gap), (k % cols) * (cw + gap)
            sheet[y:y + ch, x:x + cw] = np.clip(np.rint(cell), 0, 255).astype(np.uint8)
        write_png(path, sheet)
        return "frames " + " ".join(str(p) for p in self.picks)
