"""Context: its figures against what the forge was asked for, and render +
paste against the library's own one-call route (le_render_kp_rgba)."""
from __future__ import annotations

import ctypes

import numpy as np
from conftest import speech

import le_core
from le_core import _lib


def test_figures_are_the_forged_ones(ident):
    with le_core.Context(ident.bundle) as ctx:
        assert (ctx.nt, ctx.width, ctx.height, ctx.crop, ctx.drive_frames) == \
            (ident.nt, ident.w, ident.h, ident.crop, ident.frames)
        assert ctx.frame_shape == (ident.h, ident.w, 3)
    assert ctx.closed


def test_render_and_paste_match_the_one_call_route(ident, tmp_path):
    # Real keypoints: the motion engine's, for a second of speech.
    with le_core.Motion(ident.engine, threads=1) as m:
        si, xs, xd = m.run(speech(25))
    L = _lib.lib()
    with le_core.Context(ident.bundle, threads=1) as ctx:
        other = L.le_create(str(ident.bundle).encode(), b"b1", 1, None)
        assert other, _lib.text(L.le_last_error)
        try:
            rgba = np.empty((ident.h, ident.w, 4), np.uint8)
            buf = np.empty((ident.h, ident.w, 3), np.uint8)
            for t in range(0, len(si), 4):
                crop = ctx.render(int(si[t]), xs[t], xd[t].reshape(-1).astype(np.float64))
                assert crop.shape == (3, ident.crop, ident.crop) and crop.dtype == np.float32
                frame = ctx.paste(int(si[t]), crop, out=buf)
                assert frame is buf
                a, b = np.ascontiguousarray(xs[t]), np.ascontiguousarray(xd[t])
                ok = L.le_render_kp_rgba(other, int(si[t]), a.ctypes.data, b.ctypes.data,
                                         rgba.ctypes.data, rgba.nbytes)
                assert ok == 1, _lib.text(L.le_last_error)
                np.testing.assert_array_equal(frame, rgba[..., :3], err_msg=f"frame {t}")
                assert (rgba[..., 3] == 255).all()
            # The crop is a copy: a later render does not change it.
            kept = crop.copy()
            ctx.render(0, xs[0], xs[0])
            np.testing.assert_array_equal(crop, kept)
        finally:
            L.le_destroy(other)


def test_target_frames_are_the_drivers_pixels(ident):
    # The raw pointer read through ctypes, against the package's copy.
    L = _lib.lib()
    with le_core.Context(ident.bundle) as ctx:
        raw = L.le_create(str(ident.bundle).encode(), b"b1", 1, None)
        try:
            for i in (ident.nt - 1, 0):
                ptr = L.le_target_frame(raw, i)
                want = np.frombuffer(ctypes.string_at(ptr, ident.w * ident.h * 3), np.uint8)
                np.testing.assert_array_equal(ctx.target_frame(i).reshape(-1), want)
        finally:
            L.le_destroy(raw)
