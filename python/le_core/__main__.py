"""python3 -m le_core speak BUNDLE --engine DIR --audio FILE.wav [--out FILE.y4m] [--sheet FILE.png]

One speech file in, one talking movie out, through the live pipeline; the
movie holds one frame per 40 ms of speech (ceil(samples / 640) at 16 kHz).
The WAV file must be 16-bit PCM; stereo is averaged to mono and other rates
are resampled to 16 kHz by linear interpolation.
"""
from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Optional, Sequence

from .errors import FileError, LeError
from .live import RATE, Kind
from .speak import ContactSheet, Y4MWriter, _speak, read_wav


class _Usage(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        raise _Usage(message)


def _parser() -> argparse.ArgumentParser:
    p = _Parser(prog="python3 -m le_core", description="Talking-head video from speech, on the CPU.")
    sub = p.add_subparsers(dest="cmd", metavar="COMMAND", required=True, parser_class=_Parser)
    s = sub.add_parser("speak", help="one speech file in, one talking movie out")
    s.add_argument("bundle", help="identity bundle (directory, IMX container, or the stem of either)")
    s.add_argument("--engine", required=True, help="audio engine directory")
    s.add_argument("--audio", required=True, help="16-bit PCM WAV file (mono or stereo, any rate)")
    s.add_argument("--out", help="YUV4MPEG2 movie to write (.y4m)")
    s.add_argument("--sheet", help="PNG contact sheet of six evenly spaced frames")
    s.add_argument("--model", default="b1", help="director key (default b1)")
    s.add_argument("--threads", type=int, default=0, help="worker threads (0: the library's choice)")
    s.add_argument("--ep", default=None, help="execution provider (default: the CPU)")
    return p


def _check_output(flag: str, path: str) -> None:
    """A file that can be created or replaced: not a directory, below a
    directory that exists or can be made, and writable."""
    who = f"{flag} {path}: "
    if os.path.isdir(path):
        raise FileError(who + "is a directory")
    at = path if os.path.lexists(path) else os.path.dirname(os.path.abspath(path))
    while not os.path.lexists(at):
        at = os.path.dirname(at)
    if at != path and not os.path.isdir(at):
        raise FileError(who + f"{at} is not a directory")
    if not os.access(at, os.W_OK):
        raise FileError(who + f"cannot write {'it' if at == path else 'in ' + at}")


def speak_cmd(a: argparse.Namespace) -> int:
    if not os.path.isdir(a.engine):
        raise FileError(f"engine {a.engine}: {'not a directory' if os.path.exists(a.engine) else 'no such directory'}")
    for flag, path in (("--out", a.out), ("--sheet", a.sheet)):
        if path:
            _check_output(flag, path)
    pcm = read_wav(a.audio)
    meta: dict = {}
    frames = 0
    movie: Optional[Y4MWriter] = None
    sheet: Optional[ContactSheet] = None
    done = False
    gen = _speak(a.bundle, a.engine, pcm, meta, model_key=a.model, threads=a.threads, ep=a.ep,
                 ready_timeout=600.0, frame_timeout=120.0)
    try:
        for frame, info in gen:
            if movie is None and a.out:
                movie = Y4MWriter(a.out, meta["width"], meta["height"])
            if sheet is None and a.sheet:
                sheet = ContactSheet(meta["total"], meta["width"], meta["height"])
            if info.kind != Kind.SPEECH:
                break
            if movie is not None:
                movie.add(frame)
            if sheet is not None:
                sheet.add(frames, frame)
            frames += 1
            if frames == meta["total"]:
                break
        work = time.monotonic() - meta["start"] if "start" in meta else 0.0
        first_ms = meta["live"].stats.first_frame_latency_ms if frames else 0.0
        done = True
    finally:
        gen.close()
        if movie is not None:
            movie.close()
            if not done:  # a movie cut short is no movie
                os.remove(a.out)
    if a.out and movie is None:  # no speech at all: still an (empty) movie
        meta_w, meta_h = meta.get("width", 0), meta.get("height", 0)
        Y4MWriter(a.out, meta_w, meta_h).close()
    audio_s = pcm.size / RATE
    print(f"{a.out or '(no movie)'}: {frames} frames {meta.get('width', 0)}x{meta.get('height', 0)}, "
          f"{frames / work if work > 0 else 0.0:.1f} fps, first frame {first_ms:.0f} ms, "
          f"real-time factor {audio_s / work if work > 0 else 0.0:.2f} ({audio_s:.2f} s of audio in "
          f"{work:.2f} s; loading {meta.get('load_s', 0.0):.2f} s)")
    if a.sheet:
        if sheet is None:
            raise LeError("contact sheet: the speech made no frames")
        print(f"{a.sheet}: {sheet.write(a.sheet)}")
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    prog = "python3 -m le_core"
    try:
        a = _parser().parse_args(argv)
    except _Usage as e:
        print(f"{prog}: {e} (see {prog} speak --help)", file=sys.stderr)
        return 2
    try:
        return speak_cmd(a)
    except (LeError, ValueError, TypeError, OSError) as e:
        said = " ".join(str(e).split())  # one line, whatever the text held
        if "cannot create unwrap dir" in said and not os.environ.get("LE_IMX_UNWRAP_ROOT"):
            said += " (a read-only place? LE_IMX_UNWRAP_ROOT names a writable directory to unpack into)"
        print(f"{prog} {a.cmd}: {said}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{prog} {a.cmd}: interrupted", file=sys.stderr)
        return 1
    except Exception as e:  # a fault of ours: still one line, never a traceback
        print(f"{prog} {a.cmd}: internal error: {type(e).__name__}: {' '.join(str(e).split())}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
