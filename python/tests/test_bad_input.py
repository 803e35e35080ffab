"""Wrong input as a new user gives it, to the package and to
`python3 -m le_core speak`: missing paths, a file where a directory belongs
and the reverse, empty and foreign files, unreadable files, a read-only mount.
The API raises a le_core exception (LeError; FileError for what the package
reads itself) and never crashes; the command prints one line of its own and
exits 1. Neither writes anything: the inputs, the working directory, HOME and
TMPDIR are compared entry by entry before and after. Paths with blanks and
non-ASCII letters work."""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import forge, speech, write_wav

PROG = "python3 -m le_core"
DROP = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"]
# The API in a process of its own, so that a crash is a finding, not the end of the run.
API = ("import sys, le_core\n"
       "try:\n"
       "    n = sum(1 for _ in le_core.speak(*sys.argv[1:4], threads=1))\n"
       "    print('frames', n)\n"
       "except Exception as e:\n"
       "    print(type(e).__name__, isinstance(e, le_core.LeError), ' '.join(str(e).split()))\n")


def snapshot(root: Path) -> dict:
    """Every entry under root: kind, size and modification time (directory
    times left out: a transient file that is gone again is no trace)."""
    out = {}
    for dirpath, dirs, files in os.walk(root):
        for name in dirs + files:
            p = Path(dirpath) / name
            st = p.lstat()
            out[str(p.relative_to(root))] = "dir" if p.is_dir() and not p.is_symlink() else (st.st_size, st.st_mtime_ns)
    return out


class Scratch:
    def __init__(self, w: Path) -> None:
        self.w = w
        for d in ("in", "run/cwd", "run/home", "run/tmp"):
            (w / d).mkdir(parents=True, exist_ok=True)

    def i(self, name: str) -> str:
        return str(self.w / "in" / name)

    def wrapper(self, way: str) -> list[str]:
        """The prefix that runs a command `way` ("perm": without root's licence
        to ignore permissions, "ro": inputs on a read-only mount); skips the
        case where this machine cannot do that."""
        if way == "perm":
            if os.geteuid() != 0:
                return []
            if shutil.which("setpriv") and subprocess.run(DROP + ["cat", self.i("locked.wav")],
                                                          capture_output=True).returncode != 0:
                return DROP
            pytest.skip("as root without setpriv to drop CAP_DAC_OVERRIDE, files cannot be made unreadable")
        if way == "ro":
            ro = ["unshare", "-m", "sh", "-c",
                  'mount --bind "$0" "$0" && mount -o remount,bind,ro "$0" && exec "$@"', self.i("")]
            if shutil.which("unshare") and subprocess.run(ro + ["sh", "-c", '! touch "$0"/probe', self.i("")],
                                                          capture_output=True).returncode == 0:
                return ro
            pytest.skip("no read-only bind mount here (unshare -m and mount need CAP_SYS_ADMIN)")
        return []

    def run(self, argv: list[str], way: str = "", env: dict | None = None, may_change: tuple = ()):
        """(exit code, stdout, stderr, what was written that may not be)."""
        before = snapshot(self.w)
        run = self.w / "run"
        e = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
        e.update(HOME=str(run / "home"), TMPDIR=str(run / "tmp"), **(env or {}))
        r = subprocess.run(["timeout", "-s", "KILL", "300"] + self.wrapper(way) + argv, cwd=run / "cwd", env=e,
                           stdin=subprocess.DEVNULL, capture_output=True, text=True)
        after = snapshot(self.w)
        changed = sorted(p for p in set(before) | set(after) if before.get(p) != after.get(p)
                         and not any(p == m or p.startswith(m + "/") for m in may_change))
        return r.returncode, r.stdout, r.stderr, changed


@pytest.fixture(scope="module")
def s(tmp_path_factory) -> Scratch:
    s = Scratch(tmp_path_factory.mktemp("bad") / "w")
    b, eng = s.i("b"), s.i("eng")
    forge("bundle", b, "--nt", "6", "--models", "b1")
    forge("motion", eng, "--nt", "6")
    forge("pack", b, s.i("b.imx"))
    write_wav(Path(s.i("ok.wav")), speech(4), 16000)
    png = (Path(__file__).resolve().parents[2] / "third_party" / "demo" / "astronaut.png").read_bytes()
    for name, data in {"png.wav": png, "png.imx": png, "empty.wav": b"", "empty.imx": b"",
                       "locked.wav": Path(s.i("ok.wav")).read_bytes()}.items():
        Path(s.i(name)).write_bytes(data)
    Path(s.i("empty")).mkdir()
    Path(s.i("lockeddir")).mkdir()
    manifest = Path(b, "manifest.json").read_bytes()
    for name, fix in {"blank": lambda d: (d / "manifest.json").write_bytes(b""),
                      "cut": lambda d: (d / "manifest.json").write_bytes(manifest[:len(manifest) // 2]),
                      "mandir": lambda d: ((d / "manifest.json").unlink(), (d / "manifest.json").mkdir()),
                      "nodirector": lambda d: (d / "model_b1.onnx").unlink(),
                      "locked": lambda d: (d / "manifest.json").chmod(0)}.items():
        shutil.copytree(b, s.i(name))
        fix(Path(s.i(name)))
    meta = Path(eng, "meta.json").read_bytes()
    for name, fix in {"cutmeta": lambda d: (d / "meta.json").write_bytes(meta[:20]),
                      "lockedmeta": lambda d: (d / "meta.json").chmod(0)}.items():
        shutil.copytree(eng, s.i(name))
        fix(Path(s.i(name)))
    imx = Path(s.i("b.imx")).read_bytes()
    Path(s.i("cut.imx")).write_bytes(imx[:len(imx) // 2])
    Path(s.i("locked.wav")).chmod(0)
    Path(s.i("lockeddir")).chmod(0o555)
    return s


# (bundle, engine, audio, more arguments, what the line names, how it runs,
# what it may write: a container unpacks beside itself even when it fails).
# "@x" is input x; None: the good one.
CASES = {
    "missing bundle": ("@nowhere", None, None, [], "nowhere", "", ()),
    "bundle is a file": ("@ok.wav", None, None, [], "ok.wav", "", ()),
    "bundle is an empty directory": ("@empty", None, None, [], "empty", "", ()),
    "empty manifest": ("@blank", None, None, [], "manifest", "", ()),
    "truncated manifest": ("@cut", None, None, [], "manifest", "", ()),
    "manifest is a directory": ("@mandir", None, None, [], "manifest.json", "", ()),
    "engine as bundle": ("@eng", None, None, [], "manifest.json", "", ()),
    "director missing": ("@nodirector", None, None, [], "model_b1.onnx", "", ()),
    "empty container": ("@empty.imx", None, None, [], "empty.imx", "", ()),
    "picture as container": ("@png.imx", None, None, [], "png.imx", "", ()),
    "truncated container": ("@cut.imx", None, None, [], "cut.imx", "", ("in/cut.lebundle",)),
    "unreadable manifest": ("@locked", None, None, [], "manifest.json", "perm", ()),
    "container on a read-only mount": ("@b.imx", None, None, [], "b.lebundle", "ro", ()),
    "missing engine": (None, "@nowhere", None, [], "nowhere", "", ()),
    "engine is a file": (None, "@ok.wav", None, [], "ok.wav", "", ()),
    "empty engine directory": (None, "@empty", None, [], "meta.json", "", ()),
    "bundle as engine": (None, "@b", None, [], "meta.json", "", ()),
    "truncated meta.json": (None, "@cutmeta", None, [], "meta.json", "", ()),
    "unreadable meta.json": (None, "@lockedmeta", None, [], "meta.json", "perm", ()),
    "missing audio": (None, None, "@nowhere.wav", [], "nowhere.wav", "", ()),
    "audio is a directory": (None, None, "@empty", [], "empty", "", ()),
    "empty audio": (None, None, "@empty.wav", [], "empty.wav", "", ()),
    "picture as audio": (None, None, "@png.wav", [], "png.wav", "", ()),
    "unreadable audio": (None, None, "@locked.wav", [], "locked.wav", "perm", ()),
    "movie is a directory": (None, None, None, ["--out", "@empty"], "empty", "", ()),
    "movie under a file": (None, None, None, ["--out", "@ok.wav/m.y4m"], "ok.wav", "", ()),
    "sheet is a directory": (None, None, None, ["--out", "m.y4m", "--sheet", "@empty"], "empty", "", ()),
    "movie in an unwritable directory": (None, None, None, ["--out", "@lockeddir/m.y4m"], "lockeddir", "perm", ()),
    "movie on a read-only mount": (None, None, None, ["--out", "@m.y4m"], "m.y4m", "ro", ()),
    "bad --threads": (None, None, None, ["--threads", "x"], "--threads", "", ()),
}


@pytest.mark.parametrize("case", list(CASES))
def test_bad_input_is_one_clear_failure_that_writes_nothing(s, case):
    bundle, engine, audio, more, names, way, may = CASES[case]
    at = lambda x, good: s.i(x[1:]) if x else good  # noqa: E731
    bundle, engine, audio = at(bundle, s.i("b")), at(engine, s.i("eng")), at(audio, s.i("ok.wav"))
    more = [s.i(m[1:]) if m.startswith("@") else m for m in more]
    code, _, err, changed = s.run([sys.executable, "-m", "le_core", "speak", bundle, "--engine", engine, "--audio",
                                   audio, *more], way, may_change=may)
    ours = [ln for ln in err.splitlines() if ln and not ln.startswith("[le")]
    assert code == (2 if case == "bad --threads" else 1) and len(ours) == 1, err
    assert ours[0].startswith(PROG) and names in ours[0], ours[0]
    assert not changed, f"wrote {changed}"
    if more:
        return  # the API takes no output paths
    code, out, err, changed = s.run([sys.executable, "-c", API, bundle, engine, audio], way, may_change=may)
    assert code == 0, err  # no crash
    kind, is_le, said = out.strip().split(" ", 2)
    assert is_le == "True" and names in said, out
    assert kind == ("FileError" if audio != s.i("ok.wav") else "LeError"), out
    assert not changed, f"wrote {changed}"


def test_blanks_and_non_ascii_letters_in_paths_work(s):
    d = Path(s.i("dür Ördner ☃"))
    d.mkdir()
    shutil.copytree(s.i("eng"), d / "éngine x")
    shutil.copy(s.i("b.imx"), d / "päck x.imx")
    shutil.copy(s.i("ok.wav"), d / "spräch x.wav")
    unpacked = ("in/dür Ördner ☃/päck x.lebundle", "in/dür Ördner ☃/päck x.lebundle.imx_unwrapped")
    code, out, err, changed = s.run([sys.executable, "-m", "le_core", "speak", str(d / "päck x"), "--engine",
                                     str(d / "éngine x"), "--audio", str(d / "spräch x.wav"), "--out", "öut x/m x.y4m"],
                                    may_change=unpacked + ("run/cwd/öut x",))
    assert code == 0, err
    assert not changed, f"wrote {changed}"
    assert (s.w / "run" / "cwd" / "öut x" / "m x.y4m").stat().st_size > 0
    code, out, err, changed = s.run([sys.executable, "-c", API, str(d / "päck x"), str(d / "éngine x"),
                                     str(d / "spräch x.wav")], may_change=unpacked)
    assert code == 0 and out.startswith("frames ") and int(out.split()[1]) >= 4, out + err
    assert not changed, f"wrote {changed}"
