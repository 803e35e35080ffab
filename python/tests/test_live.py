"""Live against offline: an utterance's frames are the render and paste of the
motion engine's keypoints for the same speech; interrupts; speak()."""
from __future__ import annotations

import time

import numpy as np
import pytest
from conftest import speech

import le_core
from le_core import Kind

# No provisional frames: what the pipeline delivers equals an offline run.
NO_EAGER = 1 << 30


def pull_n(live, n, out=None, limit=60.0):
    got, end = [], time.monotonic() + limit
    while len(got) < n and time.monotonic() < end:
        r = live.pull(out)
        if r is None:
            time.sleep(0.001)
        else:
            got.append((r[0].copy(), r[1]))
    assert len(got) == n, f"{len(got)} of {n} frames within {limit} s"
    return got


@pytest.mark.parametrize("reuse", [False, True], ids=["new-arrays", "one-buffer"])
def test_utterance_matches_offline_render(ident, reuse):
    pcm = speech(13)
    n_speech = le_core.speech_frames(pcm.size)
    assert n_speech == -(-pcm.size // 640) == 13
    ramp = 3
    with le_core.Context(ident.bundle, threads=1) as ctx:
        with le_core.Live(ctx, ident.engine, threads=1, steady_model="-", eager=NO_EAGER,
                          ramp_frames=ramp) as live:
            live.wait_ready(60)
            out = np.empty(ctx.frame_shape, np.uint8) if reuse else None
            before = pull_n(live, 2, out)
            live.push(pcm)
            live.end_utterance()
            got = pull_n(live, n_speech + ramp + ident.nt + 4, out)
            st = live.stats
            assert live.render_status() == (True, "", 0)
        # Skip the idle frames made before the utterance started.
        k = next(i for i, (_, inf) in enumerate(got) if inf.kind != Kind.IDLE)
        kinds = [inf.kind for _, inf in got[k:]]
        assert kinds[:n_speech + ramp] == [Kind.SPEECH] * n_speech + [Kind.RAMP] * ramp
        assert set(kinds[n_speech + ramp:]) == {Kind.IDLE}
        assert [inf.tag for _, inf in got[k:k + n_speech]] == list(range(n_speech))
        seqs = [inf.seq for _, inf in before + got]
        assert seqs == sorted(set(seqs))
        assert (st.frames_pulled, st.speech_frames_pulled, st.utterances) == (len(before) + len(got), n_speech, 1)
        assert st.first_frame_latency_ms > 0 and st.render_ms_avg > 0

        # Offline: the same speech from the same start through Motion, rendered by hand.
        with le_core.Motion(ident.engine, threads=1) as m:
            m.reset(got[k][1].si, 1, True)
            si, xs, xd = m.run(pcm.astype(np.float32) / 32768)
        assert len(si) == n_speech
        for t in range(n_speech):
            frame, inf = got[k + t]
            assert inf.si == si[t]
            want = ctx.paste(int(si[t]), ctx.render(int(si[t]), xs[t], xd[t]))
            np.testing.assert_array_equal(frame, want, err_msg=f"speech frame {t}")
        for frame, inf in got[k + n_speech + ramp:]:
            np.testing.assert_array_equal(frame, ctx.target_frame(inf.si))


def test_interrupt_ramps_back_to_idle(ident):
    with le_core.Context(ident.bundle, threads=1) as ctx, \
            le_core.Live(ctx, ident.engine, threads=1, steady_model="-", interrupt_ramp_frames=3) as live:
        live.wait_ready(60)
        live.push(speech(60))
        live.end_utterance()
        seen = 0
        while seen < 3:
            (_, last), = pull_n(live, 1)
            seen += last.kind == Kind.SPEECH
        live.interrupt()
        assert live.frames_available == 0
        after = [inf for _, inf in pull_n(live, 3 + 2)]
        assert [i.kind for i in after] == [Kind.RAMP] * 3 + [Kind.IDLE] * 2
        # From the last frame pulled, walking the loop on.
        assert [i.si for i in after[:3]] == [(last.si + 1 + r) % ident.nt for r in range(3)]
        assert live.stats.speech_frames_pulled == 3


def test_speak_yields_speech_then_ramp(ident):
    pcm = speech(9)
    got = [(f.shape, inf.kind) for f, inf in le_core.speak(ident.bundle, ident.engine, pcm, threads=1)]
    n = le_core.speech_frames(pcm.size)
    assert [k for _, k in got] == [Kind.SPEECH] * n + [Kind.RAMP] * 6
    assert {s for s, _ in got} == {(ident.h, ident.w, 3)}
