"""Motion streaming against offline: the same speech pushed in pieces and
pulled as it becomes available gives the frames a whole-clip run gives."""
from __future__ import annotations

import numpy as np
from conftest import speech

import le_core


def test_motion_streaming_matches_whole_clip(ident):
    audio = speech(30).astype(np.float32) / 32768
    with le_core.Motion(ident.engine, threads=1) as whole:
        assert whole.nt == ident.nt
        assert whole.total is None
        want = whole.run(audio)
        assert whole.total == le_core.speech_frames(audio.size) == len(want[0])
    with le_core.Motion(ident.engine, threads=1) as m:
        parts = []
        for at in range(0, audio.size, 1000):
            m.push(audio[at:at + 1000])
            parts.append(m.pull())
        m.finish()
        parts.append(m.pull(m.total))
    got = [np.concatenate(p) for p in zip(*parts)]
    assert ((0 <= got[0]) & (got[0] < ident.nt)).all()
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, w)
