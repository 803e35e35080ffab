"""Loading lible_core and declaring the C functions the package calls.

The library is loaded once, on first use, so that ``import le_core`` works
even where the library is not yet reachable (the error then names the fix).
"""
from __future__ import annotations

import ctypes
import os
import threading
from ctypes import POINTER, Structure, c_char_p, c_double, c_int, c_size_t, c_uint64, c_void_p
from typing import Callable, Optional

from .errors import LeError

#: The library's major version this package is written against (le.h LE_VERSION_MAJOR).
ABI_MAJOR = 0


class UttOpts(Structure):
    """le_utt_opts."""
    _fields_ = [
        ("motion_dir", c_char_p),
        ("threads", c_int),
        ("ep", c_char_p),
        ("steady_model", c_char_p),
        ("eager", c_int),
        ("silence_end_s", c_double),
        ("ramp_frames", c_int),
        ("interrupt_ramp_frames", c_int),
    ]


class UttFrameInfo(Structure):
    """le_utt_frame_info."""
    _fields_ = [("seq", c_uint64), ("kind", c_int), ("si", c_int), ("tag", c_int)]


class UttStats(Structure):
    """le_utt_stats."""
    _fields_ = [
        ("frames_pulled", c_uint64),
        ("speech_frames_pulled", c_uint64),
        ("utterances", c_uint64),
        ("first_frame_latency_ms", c_double),
        ("render_ms_avg", c_double),
        ("state", c_int),
    ]


# name: (restype, argtypes). Buffers travel as c_void_p (a NumPy array's address):
# cheaper per call than typed pointers, and every size is checked before the call.
_V, _P, _I, _S = c_void_p, c_char_p, c_int, c_size_t
_PROTOS: dict[str, tuple] = {
    "le_version": (_P, []),
    "le_create": (_V, [_P, _P, _I, _P]),
    "le_destroy": (None, [_V]),
    "le_last_error": (_P, []),
    "le_nt": (_I, [_V]),
    "le_width": (_I, [_V]),
    "le_height": (_I, [_V]),
    "le_crop": (_I, [_V]),
    "le_drive_frames": (_I, [_V]),
    "le_host_kp_rows": (_I, []),
    "le_target_frame": (_V, [_V, _I]),
    "le_render_kp_crop": (_V, [_V, _I, _V, _V]),
    "le_render_drive_crop": (_V, [_V, _I]),
    "le_paste_crop": (_I, [_V, _I, _V, _V, _S]),
    "le_render_kp_rgba": (_I, [_V, _I, _V, _V, _V, _S]),
    # live pipeline
    "le_utt_create": (_V, [_V, POINTER(UttOpts)]),
    "le_utt_ready": (_I, [_V]),
    "le_utt_push_audio": (_I, [_V, _V, _I]),
    "le_utt_end_utterance": (None, [_V]),
    "le_utt_interrupt": (None, [_V]),
    "le_utt_frames_available": (_I, [_V]),
    "le_utt_pull_frame": (_I, [_V, _V, _S, POINTER(UttFrameInfo)]),
    "le_utt_get_stats": (None, [_V, POINTER(UttStats)]),
    "le_utt_render_status": (_I, [_V, _V, _I, POINTER(c_uint64)]),
    "le_utt_last_error": (_P, []),
    "le_utt_destroy": (None, [_V]),
    # motion engine
    "le_motion_create": (_V, [_P, _I, _P]),
    "le_motion_push": (_I, [_V, _V, _I]),
    "le_motion_finish": (_I, [_V]),
    "le_motion_avail": (_I, [_V]),
    "le_motion_pull": (_I, [_V, _V, _V, _V, _I]),
    "le_motion_reset": (None, [_V, _I, _I, _I]),
    "le_motion_set_eager": (None, [_V, _I]),
    "le_motion_total": (_I, [_V]),
    "le_motion_nt": (_I, [_V]),
    "le_motion_last_error": (_P, []),
    "le_motion_destroy": (None, [_V]),
    # expression engine
    "le_a2x_create": (_V, [_P, _I]),
    "le_a2x_push": (_I, [_V, _V, _I]),
    "le_a2x_finish": (None, [_V]),
    "le_a2x_total": (_I, [_V]),
    "le_a2x_avail": (_I, [_V]),
    "le_a2x_pull": (_I, [_V, _V, _V, _V, _I]),
    "le_a2x_pull_wn": (_I, [_V, _V, _V, _V, _V, _I]),
    "le_a2x_deltas": (_I, [_V, _V, _I, _V, _I]),
    "le_a2x_deltas_wn": (_I, [_V, _V, _I, _V, _V, _I]),
    "le_a2x_reset": (_I, [_V, _I, _I, _I]),
    "le_a2x_set_eager": (None, [_V, _I]),
    "le_a2x_width": (_I, [_V]),
    "le_a2x_nt": (_I, [_V]),
    "le_a2x_preload_w2v": (_I, [_P]),
    "le_a2x_last_error": (_P, []),
    "le_a2x_destroy": (None, [_V]),
    # whole-clip deltas
    "le_fca_create": (_V, [_P, _P, _I]),
    "le_fca_deltas": (_I, [_V, _V, _I, _V, _I]),
    "le_fca_last_error": (_P, []),
    "le_fca_destroy": (None, [_V]),
}

_lock = threading.Lock()
_cdll: Optional[ctypes.CDLL] = None


def _candidates() -> list[str]:
    env = os.environ.get("LE_CORE_LIB")
    if env:
        return [env]
    return [f"lible_core.so.{ABI_MAJOR}", "lible_core.so"]


def lib() -> ctypes.CDLL:
    """The loaded library (loaded on first call); LeError when it cannot be found."""
    global _cdll
    if _cdll is not None:
        return _cdll
    with _lock:
        if _cdll is not None:
            return _cdll
        names = _candidates()
        reasons = []
        loaded = None
        for name in names:
            try:
                loaded = ctypes.CDLL(name)
                break
            except OSError as e:
                reasons.append(str(e))
        if loaded is None:
            if os.environ.get("LE_CORE_LIB"):
                hint = "LE_CORE_LIB names a file that cannot be loaded"
            else:
                hint = ("set LE_CORE_LIB to the library's path (e.g. build/lible_core.so) "
                        "or put its directory on LD_LIBRARY_PATH")
            raise LeError(f"cannot load lible_core ({'; '.join(reasons)}): {hint}")
        missing = [n for n in _PROTOS if not hasattr(loaded, n)]
        if missing:
            raise LeError(f"{names[0]} is not a compatible lible_core: it lacks {', '.join(missing[:3])}")
        for name, (res, args) in _PROTOS.items():
            fn = getattr(loaded, name)
            fn.restype = res
            fn.argtypes = args
        _cdll = loaded
        return _cdll


def text(getter: Callable[[], Optional[bytes]]) -> str:
    """Decodes a family's error text."""
    raw = getter()
    return raw.decode("utf-8", "replace") if raw else ""


def fail(getter: Callable[[], Optional[bytes]], fallback: str) -> LeError:
    """The LeError for a failed call: the family's text, else `fallback`."""
    return LeError(text(getter) or fallback)


def version() -> str:
    """The loaded library's version, "MAJOR.MINOR.PATCH"."""
    return text(lib().le_version)

