"""The package's error type and the argument checks made before any C call.

A wrong buffer handed to C could write out of bounds; every array is
therefore checked (kind, shape, layout, writability) or converted here first.
"""
from __future__ import annotations

import operator
from typing import Any

import numpy as np


class LeError(RuntimeError):
    """A failure reported by lible_core; ``str(e)`` is the library's own text
    ("<function>: <reason>") when it gave one. Files the package reads itself
    fail with its subclass FileError.

    Attributes:
        function: the C function named at the start of the text, or "".
    """

    def __init__(self, message: str) -> None:
        super().__init__(message)
        head = message.split(":", 1)[0]
        self.function = head if head.startswith("le_") and " " not in head else ""


class FileError(LeError, ValueError):
    """A file the caller named that cannot be used: missing, a directory,
    empty, unreadable or of the wrong kind; ``str(e)`` names it and why. Also
    a ValueError, as a wrong argument is."""


def closed(what: str) -> ValueError:
    return ValueError(f"{what} is closed")


def index(value: Any, name: str, upper: int) -> int:
    """`value` as an int in [0, upper), else TypeError / IndexError."""
    try:
        i = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not 0 <= i < upper:
        raise IndexError(f"{name} {i} is outside [0, {upper})")
    return i


def integer(value: Any, name: str) -> int:
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def real_array(value: Any, name: str, dtype: type, shapes: tuple[tuple[int, ...], ...]) -> np.ndarray:
    """A C-contiguous copy or view of `value` with dtype `dtype`, whose shape is
    one of `shapes` (returned reshaped to the first of them). Integers and
    floats convert; anything else is a TypeError, a wrong shape a ValueError."""
    arr = np.asarray(value)
    if arr.dtype == object or arr.dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, not {arr.dtype}")
    if arr.shape not in shapes:
        want = " or ".join(str(s) for s in shapes)
        raise ValueError(f"{name} must have shape {want}, not {arr.shape}")
    return np.ascontiguousarray(arr, dtype=dtype).reshape(shapes[0])


def out_array(out: Any, name: str, dtype: type, shape: tuple[int, ...]) -> np.ndarray:
    """`out` checked as a buffer the library may write: exactly `dtype`,
    `shape`, C-contiguous and writable (nothing is converted: the caller
    expects its own buffer filled)."""
    if not isinstance(out, np.ndarray):
        raise TypeError(f"{name} must be a numpy.ndarray, not {type(out).__name__}")
    if out.dtype != dtype:
        raise TypeError(f"{name} must have dtype {np.dtype(dtype)}, not {out.dtype}")
    if out.shape != shape:
        raise ValueError(f"{name} must have shape {shape}, not {out.shape}")
    if not out.flags.c_contiguous:
        raise ValueError(f"{name} must be C-contiguous")
    if not out.flags.writeable:
        raise ValueError(f"{name} must be writable")
    return out


def audio_float(samples: Any, name: str = "samples") -> np.ndarray:
    """Mono audio as contiguous float32: floats as given (nominally [-1, 1]),
    int16 scaled by 1/32768."""
    arr = np.asarray(samples)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional (mono), not shape {arr.shape}")
    if arr.dtype == np.int16:
        return arr.astype(np.float32) / np.float32(32768.0)
    if arr.dtype.kind != "f":
        raise TypeError(f"{name} must be float or int16 samples, not {arr.dtype}")
    return np.ascontiguousarray(arr, dtype=np.float32)


def audio_int16(samples: Any, name: str = "samples") -> np.ndarray:
    """Mono 16-bit PCM, contiguous; other dtypes are refused rather than guessed at."""
    if not isinstance(samples, np.ndarray):
        raise TypeError(f"{name} must be a numpy int16 array, not {type(samples).__name__}")
    if samples.dtype != np.int16:
        raise TypeError(f"{name} must have dtype int16, not {samples.dtype} "
                        "(floats in [-1, 1]: (x * 32767).astype(numpy.int16))")
    if samples.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional (mono), not shape {samples.shape}")
    return np.ascontiguousarray(samples)
