"""The audio engines, streaming against offline: the same speech pushed in
pieces and pulled as it becomes available gives the frames a whole-clip run
gives; the whole-clip delta engine is silent on silence."""
from __future__ import annotations

import os

import numpy as np
import pytest
from conftest import forge, speech

import le_core


@pytest.fixture(scope="module")
def engines(ident, tmp_path_factory):
    root = tmp_path_factory.mktemp("engines")
    forge("a2x", str(root / "a2x"), "--nt", str(ident.nt))
    forge("fca", str(root / "fca"))
    # The expression engine finds its feature extractor through the environment.
    old = os.environ.get("W2V_ONNX")
    os.environ["W2V_ONNX"] = str(root / "a2x" / "w2v.onnx")
    yield {"motion": lambda: le_core.Motion(ident.engine, threads=1),
            "expression": lambda: le_core.Expression(root / "a2x", threads=1),
            "deltas": lambda: le_core.Deltas(root / "fca" / "fca_extractor.onnx", root / "fca" / "fca_delta.onnx",
                                             threads=1)}
    if old is None:
        del os.environ["W2V_ONNX"]
    else:
        os.environ["W2V_ONNX"] = old


def whole(engine, audio):
    engine.push(audio)
    engine.finish()
    return engine.pull(engine.total)


@pytest.mark.parametrize("kind", ["motion", "expression"])
def test_streaming_matches_whole_clip(engines, ident, kind):
    audio = speech(30).astype(np.float32) / 32768
    with engines[kind]() as e:
        assert e.nt == ident.nt
        assert e.total is None
        want = whole(e, audio)
        assert e.total == le_core.speech_frames(audio.size) == len(want[0])
    with engines[kind]() as e:
        parts = []
        for at in range(0, audio.size, 1000):
            e.push(audio[at:at + 1000])
            parts.append(e.pull())
        e.finish()
        parts.append(e.pull(e.total))
    got = [np.concatenate(p) for p in zip(*parts)]
    assert ((0 <= got[0]) & (got[0] < ident.nt)).all()
    assert np.abs(got[2] - got[1]).max() > 1e-3  # the speech moved the face
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, w)


def test_whole_clip_deltas(engines):
    audio = speech(20).astype(np.float32) / 32768
    with engines["deltas"]() as d:
        quiet = d.deltas(np.zeros(audio.size, np.float32))
        loud = d.deltas(audio)
    assert quiet.shape == loud.shape == (le_core.speech_frames(audio.size), 63)
    assert not quiet.any()
    assert np.isfinite(loud).all() and np.abs(loud).max() > 1e-3
