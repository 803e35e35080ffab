#!/usr/bin/python3
"""Helpers of the installed-copy tests.

  host_check.py wav OUT.wav RATE N     the first N samples of the speech fixture
                                       as a 16-bit mono WAV at RATE Hz
  host_check.py frames LOG N W H       what the live host printed (LOG) and wrote,
                                       for N samples of speech on a W x H bundle;
                                       run where the host ran
"""
import array
import math
import os
import re
import sys
import wave

FIXTURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures", "speech_16k.f32")
HOP = 640  # samples of speech per frame


def write_wav(path, rate, n):
    x = array.array("f")
    with open(FIXTURE, "rb") as f:
        x.frombytes(f.read())
    if sys.byteorder == "big":
        x.byteswap()
    if n > len(x):
        sys.exit(f"the speech fixture holds {len(x)} samples, {n} asked for")
    pcm = array.array("h", (max(-32768, min(32767, round(v * 32767))) for v in x[:n]))
    if sys.byteorder == "big":
        pcm.byteswap()
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm.tobytes())


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    if not m:
        raise AssertionError(f"{path}: not a binary PPM")
    return int(m.group(1)), int(m.group(2)), data[m.end():]


def check_frames(log, n, w, h):
    text = open(log, encoding="utf-8", errors="replace").read()
    lines = [l for l in text.splitlines() if l.startswith("live_host: ")]
    if len(lines) != 1:
        raise AssertionError(f"one summary line expected from the host, got {len(lines)}:\n{text}")
    m = re.search(r"(\d+) speech of (\d+) expected.* PPM in (\S+),", lines[0])
    if not m:
        raise AssertionError(f"unreadable summary line: {lines[0]}")
    want = math.ceil(n / HOP)
    said, expected, out_dir = int(m.group(1)), int(m.group(2)), m.group(3)
    if (said, expected) != (want, want):
        raise AssertionError(f"{lines[0]}\nspeech frames: the host says {said} of {expected}, ceil({n}/{HOP}) = {want}")
    out_dir = os.path.abspath(out_dir)  # relative to where the host ran, the caller's directory

    names = sorted(os.listdir(out_dir))
    kinds = []
    for i, name in enumerate(names):
        m = re.fullmatch(r"(\d{6})_(idle|speech|ramp)\.ppm", name)
        if not m or int(m.group(1)) != i:
            raise AssertionError(f"{out_dir}: unexpected file {name} at position {i}")
        kinds.append(m.group(2))
    if kinds.count("speech") != want:
        raise AssertionError(f"{out_dir}: {kinds.count('speech')} speech frames written, {want} expected")
    if "ramp" not in kinds or kinds[-1] != "idle":
        raise AssertionError(f"{out_dir}: no ramp back to idle after the speech: {kinds}")

    pixels = {}
    for name in names:
        fw, fh, rgb = read_ppm(os.path.join(out_dir, name))
        if (fw, fh, len(rgb)) != (w, h, w * h * 3):
            raise AssertionError(f"{name}: {fw}x{fh} with {len(rgb)} bytes, the bundle is {w}x{h}")
        pixels[name] = rgb
    idle = pixels[names[kinds.index("idle")]]
    same = [name for name, kind in zip(names, kinds) if kind == "speech" and pixels[name] == idle]
    if same:
        raise AssertionError(f"speech frames identical to the first idle frame: {same}")
    print(f"{len(names)} frames checked: {kinds.count('speech')} speech, {kinds.count('ramp')} ramp, "
          f"{kinds.count('idle')} idle, {w}x{h}")


def main(argv):
    try:
        if len(argv) == 5 and argv[1] == "wav":
            write_wav(argv[2], int(argv[3]), int(argv[4]))
        elif len(argv) == 6 and argv[1] == "frames":
            check_frames(argv[2], int(argv[3]), int(argv[4]), int(argv[5]))
        else:
            sys.exit(__doc__)
    except AssertionError as e:
        sys.exit(f"FAIL: {e}")


if __name__ == "__main__":
    main(sys.argv)
