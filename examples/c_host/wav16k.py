#!/usr/bin/python3
"""wav16k.py IN.wav OUT.wav: a 16-bit PCM WAV at any rate, mono or stereo, to
the 16 kHz mono the live host takes (espeak-ng, for one, speaks at 22.05 kHz).
Standard library only; linear interpolation, good enough for driving a face."""
import array
import sys
import wave

RATE = 16000


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: wav16k.py IN.wav OUT.wav")
    try:
        with wave.open(argv[1], "rb") as w:
            if w.getsampwidth() != 2:
                sys.exit(f"wav16k.py: {argv[1]}: {8 * w.getsampwidth()}-bit samples; 16-bit PCM wanted")
            rate, channels = w.getframerate(), w.getnchannels()
            x = array.array("h", w.readframes(w.getnframes()))
    except (OSError, EOFError, wave.Error) as e:
        sys.exit(f"wav16k.py: {argv[1]}: {e}")
    if sys.byteorder == "big":
        x.byteswap()
    if channels > 1:
        x = array.array("h", (sum(x[i:i + channels]) // channels for i in range(0, len(x), channels)))
    n = len(x) * RATE // rate
    y = array.array("h", bytes(2 * n))
    for i in range(n):
        at = i * rate / RATE
        j = int(at)
        k = min(j + 1, len(x) - 1)
        y[i] = round(x[j] + (x[k] - x[j]) * (at - j))
    if sys.byteorder == "big":
        y.byteswap()
    with wave.open(argv[2], "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(y.tobytes())


if __name__ == "__main__":
    main(sys.argv)
