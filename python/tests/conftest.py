"""Fixtures forged by le-forge ($LE_FORGE) into pytest's temporary directory,
and the library named by $LE_CORE_LIB (python_tests.cmake sets both)."""
from __future__ import annotations

import os
import subprocess
import wave
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

SRC = Path(__file__).resolve().parents[2]
NT = 6


def forge(*args: str) -> None:
    exe = os.environ.get("LE_FORGE")
    if not exe:
        pytest.fail("LE_FORGE is not set: point it at build/tools/le-forge (ctest sets it)")
    subprocess.run([exe, *args], check=True, stdout=subprocess.DEVNULL)


def speech(frames: int) -> np.ndarray:
    """The speech fixture as int16, 200 samples short of `frames` whole frames."""
    f = np.fromfile(SRC / "tests" / "fixtures" / "speech_16k.f32", dtype="<f4")
    n = min(f.size, frames * 640 - 200)
    return (np.clip(f[:n], -1, 1) * 32767).astype(np.int16)


def write_wav(path: Path, pcm: np.ndarray, rate: int) -> None:
    """pcm: (n,) mono or (n, channels) int16."""
    pcm = pcm.reshape(pcm.shape[0], -1)
    with wave.open(str(path), "wb") as w:
        w.setnchannels(pcm.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm.astype("<i2").tobytes())


@dataclass(frozen=True)
class Identity:
    bundle: Path
    engine: Path
    w: int
    h: int
    crop: int
    nt: int
    frames: int


@pytest.fixture(scope="session")
def ident(tmp_path_factory: pytest.TempPathFactory) -> Identity:
    root = tmp_path_factory.mktemp("ident")
    i = Identity(root / "bundle", root / "engine", w=64, h=48, crop=32, nt=NT, frames=5)
    forge("bundle", str(i.bundle), "--nt", str(i.nt), "--w", str(i.w), "--h", str(i.h), "--crop", str(i.crop),
          "--frames", str(i.frames), "--models", "b1,b4")
    forge("motion", str(i.engine), "--nt", str(i.nt))
    return i
