"""Wrong input never reaches C: each case raises the Python error it names,
and the interpreter survives; library failures raise LeError with the
library's own text."""
from __future__ import annotations

import os
import subprocess
import sys

import numpy as np
import pytest

import le_core
from le_core import LeError


@pytest.fixture(scope="module")
def opened(ident):
    """An open Context, Motion and Live (over a second context), and closed ones."""
    ctx = le_core.Context(ident.bundle, threads=1)
    busy = le_core.Context(ident.bundle, threads=1)
    live = le_core.Live(busy, ident.engine, threads=1, steady_model="-")
    live.wait_ready(60)
    motion = le_core.Motion(ident.engine, threads=1)
    dead_ctx = le_core.Context(ident.bundle)
    dead_ctx.close()
    dead_live = le_core.Live(le_core.Context(ident.bundle), ident.engine)
    dead_live.close()
    dead_motion = le_core.Motion(ident.engine)
    dead_motion.close()
    yield dict(ctx=ctx, busy=busy, live=live, motion=motion, dead_ctx=dead_ctx, dead_live=dead_live,
               dead_motion=dead_motion, kp=np.zeros((21, 3), np.float32), shape=(ident.h, ident.w, 3),
               crop=np.zeros((3, ident.crop, ident.crop), np.float32), nt=ident.nt)
    live.close()
    for h in (busy, ctx, motion):
        h.close()


BAD = {
    # shapes, dtypes, bounds
    "render kp shape": (ValueError, lambda o: o["ctx"].render(0, np.zeros(62, np.float32), o["kp"])),
    "render kp dtype": (TypeError, lambda o: o["ctx"].render(0, o["kp"].astype(complex), o["kp"])),
    "render kp text": (TypeError, lambda o: o["ctx"].render(0, "kp", o["kp"])),
    "render si high": (IndexError, lambda o: o["ctx"].render(o["nt"], o["kp"], o["kp"])),
    "render si negative": (IndexError, lambda o: o["ctx"].render(-1, o["kp"], o["kp"])),
    "render si float": (TypeError, lambda o: o["ctx"].render(0.5, o["kp"], o["kp"])),
    "paste crop shape": (ValueError, lambda o: o["ctx"].paste(0, o["crop"][:, :-1])),
    "paste out dtype": (TypeError, lambda o: o["ctx"].paste(0, o["crop"], out=np.empty(o["shape"], np.float32))),
    "paste out shape": (ValueError, lambda o: o["ctx"].paste(0, o["crop"], out=np.empty((2, 2, 3), np.uint8))),
    "target high": (IndexError, lambda o: o["ctx"].target_frame(1 << 40)),
    "drive row high": (IndexError, lambda o: o["ctx"].render_drive(10 ** 6)),
    "pull out not array": (TypeError, lambda o: o["live"].pull(out=bytearray(10))),
    "pull out shape": (ValueError, lambda o: o["live"].pull(out=np.empty((1, 1, 3), np.uint8))),
    "pull out dtype": (TypeError, lambda o: o["live"].pull(out=np.empty(o["shape"], np.int16))),
    "pull out strided": (ValueError,
                         lambda o: o["live"].pull(out=np.empty(o["shape"][:1] + (o["shape"][1] * 2, 3), np.uint8)[:, ::2])),
    "pull out read-only": (ValueError, lambda o: o["live"].pull(out=np.broadcast_to(np.uint8(0), o["shape"]))),
    "push float": (TypeError, lambda o: o["live"].push(np.zeros(640, np.float32))),
    "push stereo": (ValueError, lambda o: o["live"].push(np.zeros((640, 2), np.int16))),
    "push list": (TypeError, lambda o: o["live"].push([0, 1, 2])),
    "motion push stereo": (ValueError, lambda o: o["motion"].push(np.zeros((640, 2), np.float32))),
    "motion push text": (TypeError, lambda o: o["motion"].push(np.array(["a"]))),
    "motion pull negative": (ValueError, lambda o: o["motion"].pull(-1)),
    "live over non-context": (TypeError, lambda o: le_core.Live("ctx", "engine")),
    "live silence zero": (ValueError, lambda o: le_core.Live(o["ctx"], "engine", silence_end_s=0)),
    "bundle not a path": (TypeError, lambda o: le_core.Context(42)),
    "bundle with NUL": (ValueError, lambda o: le_core.Context("a\0b")),
    # handles in the wrong state
    "context closed render": (ValueError, lambda o: o["dead_ctx"].render(0, o["kp"], o["kp"])),
    "context closed figure": (ValueError, lambda o: o["dead_ctx"].nt),
    "context busy with live": (RuntimeError, lambda o: o["busy"].target_frame(0)),
    "live over closed context": (ValueError, lambda o: le_core.Live(o["dead_ctx"], "engine")),
    "live closed pull": (ValueError, lambda o: o["dead_live"].pull()),
    "live closed push": (ValueError, lambda o: o["dead_live"].push(np.zeros(4, np.int16))),
    "live closed stats": (ValueError, lambda o: o["dead_live"].stats),
    "motion closed": (ValueError, lambda o: o["dead_motion"].pull(1)),
}


@pytest.mark.parametrize("case", list(BAD))
def test_bad_input_raises(opened, case):
    kind, call = BAD[case]
    with pytest.raises(kind) as e:
        call(opened)
    assert str(e.value)
    assert not isinstance(e.value, LeError) or kind is LeError


def test_closing_a_context_closes_its_live(ident):
    ctx = le_core.Context(ident.bundle)
    live = le_core.Live(ctx, ident.engine)
    ctx.close()
    assert live.closed and ctx.closed
    ctx.close()  # idempotent


FAILS = {
    "missing bundle": ("le_create:", lambda d: le_core.Context(d / "nowhere")),
    "missing director": ("le_render_kp_crop:", lambda d: le_core.Context(d.bundle, model_key="b99").render(0, np.zeros(63), np.zeros(63))),
    "missing engine": ("le_motion_create:", lambda d: le_core.Motion(d.bundle / "nowhere")),
    "expression over a motion engine": ("le_a2x_create:", lambda d: le_core.Expression(d.engine)),
    "missing delta models": ("le_fca_create:", lambda d: le_core.Deltas(d.engine / "x.onnx", d.engine / "y.onnx")),
    "motion push after finish": ("le_motion_push:", lambda d: _push_after_finish(d)),
}


def _push_after_finish(d):
    with le_core.Motion(d.engine, threads=1) as m:
        m.finish()
        m.push(np.zeros(640, np.float32))




@pytest.mark.parametrize("case", list(FAILS))
def test_library_failures_carry_its_text(ident, case):
    prefix, call = FAILS[case]
    with pytest.raises(LeError) as e:
        call(ident if case != "missing bundle" else ident.bundle.parent)
    assert str(e.value).startswith(prefix), str(e.value)
    assert isinstance(e.value, RuntimeError) and e.value.function.startswith("le_")


def test_unloadable_library_says_how_to_point_at_it(tmp_path):
    env = dict(os.environ, LE_CORE_LIB=str(tmp_path / "lible_core.so"))
    code = "import le_core\ntry:\n le_core.version()\nexcept le_core.LeError as e:\n print(e)"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "LE_CORE_LIB" in out.stdout and "cannot load lible_core" in out.stdout
