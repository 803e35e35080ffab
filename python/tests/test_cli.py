"""python3 -m le_core speak end to end, and the README's Python example as
a reader runs it."""
from __future__ import annotations

import os
import re
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
import pytest
from conftest import SRC, speech, write_wav

import le_core


def run(args, cwd=None, timeout=300):
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=timeout)


def read_y4m(path: Path):
    data = path.read_bytes()
    head, rest = data.split(b"\n", 1)
    w = int(re.search(rb" W(\d+)", head)[1])
    h = int(re.search(rb" H(\d+)", head)[1])
    size = 6 + w * h + 2 * ((w + 1) // 2) * ((h + 1) // 2)
    assert len(rest) % size == 0 and all(rest[i:i + 6] == b"FRAME\n" for i in range(0, len(rest), size))
    return w, h, len(rest) // size


def read_png(path: Path) -> np.ndarray:
    data, at, idat = path.read_bytes(), 8, b""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    while at < len(data):
        n = int.from_bytes(data[at:at + 4], "big")
        body = data[at + 4:at + 8 + n]
        assert zlib.crc32(body) == int.from_bytes(data[at + 8 + n:at + 12 + n], "big"), body[:4]
        if body[:4] == b"IHDR":
            w, h = int.from_bytes(body[4:8], "big"), int.from_bytes(body[8:12], "big")
            assert body[12:14] == b"\x08\x02"  # 8-bit RGB
        idat += body[4:] if body[:4] == b"IDAT" else b""
        at += 12 + n
    rows = np.frombuffer(zlib.decompress(idat), np.uint8).reshape(h, 1 + 3 * w)
    assert (rows[:, 0] == 0).all()
    return rows[:, 1:].reshape(h, w, 3)


def test_speak_command_writes_the_movie_and_sheet(ident, tmp_path):
    # Stereo at 22050 Hz: averaged to mono, resampled to 16 kHz.
    mono = speech(20)
    wav = tmp_path / "s.wav"
    n22 = int(mono.size * 22050 / 16000)
    src = np.interp(np.arange(n22) * 16000 / 22050, np.arange(mono.size), mono).astype(np.int16)
    write_wav(wav, np.stack([src, src], axis=1), 22050)
    n16 = le_core.read_wav(wav).size
    assert abs(n16 - mono.size) <= 1
    out, sheet = tmp_path / "m" / "o.y4m", tmp_path / "s.png"
    r = run(["-m", "le_core", "speak", str(ident.bundle), "--engine", str(ident.engine), "--audio", str(wav),
             "--out", str(out), "--sheet", str(sheet), "--threads", "1"])
    assert r.returncode == 0, r.stderr
    frames = le_core.speech_frames(n16)
    assert re.search(rf"^{re.escape(str(out))}: {frames} frames {ident.w}x{ident.h}, [\d.]+ fps, first frame \d+ ms, "
                     r"real-time factor [\d.]+ \([\d.]+ s of audio in [\d.]+ s; loading [\d.]+ s\)$", r.stdout, re.M), r.stdout
    assert read_y4m(out) == (ident.w, ident.h, frames)
    # Six cells of the frame's size, three columns, 4-pixel gaps.
    assert read_png(sheet).shape == (2 * ident.h + 4, 3 * ident.w + 8, 3)
    picks = [int(x) for x in r.stdout.splitlines()[1].split(": frames ")[1].split()]
    assert picks == [j * (frames - 1) // 5 for j in range(6)]


@pytest.mark.parametrize("args, says", [
    (["speak", "{nowhere}", "--engine", "{engine}", "--audio", "{wav}"], "le_create:"),
    (["speak", "{bundle}", "--engine", "{engine}", "--audio", "{nowhere}"], "no such file"),
    (["speak", "{bundle}", "--engine", "{engine}", "--audio", "{engine}/meta.json"], "not a PCM WAV"),
], ids=["missing bundle", "missing audio", "not a wav"])
def test_speak_command_fails_in_one_line(ident, tmp_path, args, says):
    wav = tmp_path / "s.wav"
    write_wav(wav, speech(3), 16000)
    names = dict(bundle=ident.bundle, engine=ident.engine, wav=wav, nowhere=tmp_path / "nowhere")
    r = run(["-m", "le_core", *[a.format(**names) for a in args]])
    ours = [ln for ln in r.stderr.splitlines() if ln.startswith("python3 -m le_core")]
    assert r.returncode == 1 and len(ours) == 1 and says in ours[0], r.stderr


def test_readme_python_block_runs(ident, tmp_path):
    block = subprocess.run(["bash", str(SRC / "scripts" / "readme-block"), "python"], check=True,
                           capture_output=True, text=True).stdout
    assert "TODO" not in block
    (tmp_path / "out").mkdir()
    os.symlink(ident.bundle, tmp_path / "out" / "demo")
    os.symlink(ident.engine, tmp_path / "out" / "demo_engine")
    write_wav(tmp_path / "out" / "demo_speech.wav", speech(8), 16000)
    (tmp_path / "example.py").write_text(block)
    r = run(["example.py"], cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip(), "the example printed nothing"
