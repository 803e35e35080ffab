"""le_core from Python: talking-head frames rendered on the CPU by lible_core.

The library is loaded on first use from $LE_CORE_LIB (a path) when set, else
as lible_core.so.0 / lible_core.so through the dynamic loader's search path.

    Context   one identity's rendering context: render, paste, driver frames
    Live      the live pipeline over a Context: push speech, pull frames
    Motion, Expression, Deltas
              the speech-to-keypoint engines
    speak     one utterance through Live, as an iterator of frames
    LeError   every failure the library reports (its own text);
              FileError, its subclass, for files the package reads itself
"""
from __future__ import annotations

from ._lib import version
from .context import Context
from .engines import Deltas, Expression, Motion
from .errors import FileError, LeError
from .live import HOP, RATE, FrameInfo, Kind, Live, State, Stats, speech_frames
from .speak import read_wav, speak

__version__ = "0.1.0"

__all__ = ["Context", "Live", "FrameInfo", "Stats", "Kind", "State", "Motion", "Expression", "Deltas",
           "speak", "read_wav", "speech_frames", "LeError", "FileError", "version", "HOP", "RATE", "__version__"]
