#!/usr/bin/python3
"""Live.pull() per frame at 1080p, set against C's le_utt_pull_frame
(bench/bench_utt_pull.cpp): the same forged identity (1920x1080, crop 64 so
rendering is cheap), 30 s of speech pushed at once, and each timed pull made
once the ring is full, so no frame is being made while it runs. Times pull()
with a new array per frame and with one buffer passed as out=.

    LE_CORE_LIB=build-rel/lible_core.so LE_FORGE=build-rel/tools/le-forge \\
        PYTHONPATH=python /usr/bin/python3 bench/live_pull.py [--pulls N] [--runs R]
"""
from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import le_core

SRC = Path(__file__).resolve().parents[1]
RING = 8  # frames the pipeline's ring holds when full


def forge(root: Path) -> tuple[Path, Path]:
    exe = os.environ.get("LE_FORGE", str(SRC / "build-rel" / "tools" / "le-forge"))
    bundle, engine = root / "bundle", root / "engine"
    subprocess.run([exe, "bundle", str(bundle), "--nt", "50", "--w", "1920", "--h", "1080", "--crop", "64",
                    "--frames", "8", "--models", "b1", "--mp4", "--no-jpeg"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([exe, "motion", str(engine), "--nt", "50"], check=True, stdout=subprocess.DEVNULL)
    return bundle, engine


def speech30s() -> np.ndarray:
    one = np.fromfile(SRC / "tests" / "fixtures" / "speech_16k.f32", dtype="<f4")
    return (np.clip(np.resize(one, 30 * 16000), -1, 1) * 32767).astype(np.int16)


def wait_full(live: le_core.Live) -> None:
    end = time.monotonic() + 10
    while live.frames_available < RING:
        if time.monotonic() > end:
            if live.frames_available > 0:
                return
            raise SystemExit("the pipeline stopped making frames")
        time.sleep(0.0002)


def run(bundle: Path, engine: Path, pulls: int, reuse: bool) -> list[float]:
    """Seconds per pull, one entry per pull."""
    times = []
    with le_core.Context(bundle, "b1") as ctx, le_core.Live(ctx, engine, steady_model="-") as live:
        live.wait_ready(60)
        live.push(speech30s())
        live.end_utterance()
        out = np.empty(ctx.frame_shape, np.uint8) if reuse else None
        for _ in range(pulls):
            wait_full(live)
            t0 = time.perf_counter()
            got = live.pull(out)
            times.append(time.perf_counter() - t0)
            if got is None:
                raise SystemExit("no frame although one was available")
    return times


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--pulls", type=int, default=300, help="timed pulls per run (default 300, within 750 frames)")
    p.add_argument("--runs", type=int, default=3)
    a = p.parse_args()
    root = Path(tempfile.mkdtemp(prefix="le-live-pull-", dir=os.environ.get("LE_TEST_TMP")))
    try:
        bundle, engine = forge(root)
        print(f"library {le_core.version()}, 1920x1080, {a.pulls} pulls x {a.runs} runs")
        for reuse in (False, True):
            per_run = [run(bundle, engine, a.pulls, reuse) for _ in range(a.runs)]
            means = [statistics.fmean(t) * 1e6 for t in per_run]
            medians = [statistics.median(t) * 1e6 for t in per_run]
            name = "Live.pull(out=buf)" if reuse else "Live.pull()"
            print(f"{name:20s} mean {statistics.fmean(means):8.1f} us/frame (runs {', '.join(f'{m:.1f}' for m in means)}), "
                  f"median {statistics.median(medians):8.1f} us")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
