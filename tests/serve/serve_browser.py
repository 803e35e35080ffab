"""lecore serve in a real browser: headless Chromium with a fake microphone
that plays the test speech, driven through its debugging protocol the way a
person would use the page (Start, Talk, Stop, Talk, Interrupt), with the
server's own statistics as the second witness.

Exit 0 when every check holds, 1 on a failed check, 77 when Chromium cannot
start here (the test is then reported as skipped).
"""
import argparse
import array
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time
import urllib.request
import base64

import websocket  # Debian's python3-websocket

SKIP = 77


class Check(Exception):
    pass


def wav_from_f32(src, dst, seconds=None):
    pcm = array.array("f")
    with open(src, "rb") as f:
        pcm.frombytes(f.read())
    if seconds:
        pcm = pcm[: int(16000 * seconds)]
    ints = array.array("h", (max(-32768, min(32767, int(round(x * 32767)))) for x in pcm))
    data = ints.tobytes()
    with open(dst, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt ")
        f.write(struct.pack("<IHHIIHH", 16, 1, 1, 16000, 32000, 2, 16))
        f.write(b"data" + struct.pack("<I", len(data)) + data)
    return len(ints)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get_json(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as r:
        return json.loads(r.read())


class Cdp:
    """The browser's debugging protocol over its WebSocket: one page."""

    def __init__(self, ws_url):
        self.ws = websocket.create_connection(ws_url, timeout=30, suppress_origin=True)
        self.n = 0

    def call(self, method, **params):
        self.n += 1
        self.ws.send(json.dumps({"id": self.n, "method": method, "params": params}))
        while True:
            m = json.loads(self.ws.recv())
            if m.get("id") == self.n:
                if "error" in m:
                    raise Check(f"{method}: {m['error']}")
                return m.get("result", {})

    def js(self, expr, wait=True):
        r = self.call("Runtime.evaluate", expression=expr, awaitPromise=wait, returnByValue=True)
        if "exceptionDetails" in r:
            raise Check(f"page error in {expr!r}: {r['exceptionDetails'].get('exception', {}).get('description')}")
        return r.get("result", {}).get("value")


def wait_for(what, fn, timeout, every=0.25):
    end = time.time() + timeout
    last = None
    while time.time() < end:
        last = fn()
        if last:
            return last
        time.sleep(every)
    raise Check(f"timed out after {timeout:.0f} s waiting for {what} (last: {last})")


def start_chromium(chromium, profile, wav, log):
    args = [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--autoplay-policy=no-user-gesture-required", "--use-fake-ui-for-media-stream",
            "--use-fake-device-for-media-stream", f"--use-file-for-fake-audio-capture={wav}",
            f"--user-data-dir={profile}", "--remote-debugging-port=0", "--window-size=1400,1000", "about:blank"]
    proc = subprocess.Popen(args, stdout=log, stderr=subprocess.PIPE, text=True)
    end = time.time() + 30
    lines = []
    while time.time() < end:
        line = proc.stderr.readline()
        if not line:
            if proc.poll() is not None:
                break
            continue
        lines.append(line)
        m = re.search(r"DevTools listening on (ws://\S+)", line)
        if m:
            # Keep draining its chatter so the browser never blocks on a full pipe.
            import threading

            def drain():
                for l in proc.stderr:
                    log.write(l)
            threading.Thread(target=drain, daemon=True).start()
            return proc, m.group(1)
    proc.kill()
    return None, "".join(lines[-5:])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--lecore", required=True)
    ap.add_argument("--forge", required=True)
    ap.add_argument("--speech", required=True, help="float32 mono 16 kHz speech")
    ap.add_argument("--work", required=True)
    ap.add_argument("--chromium", default=shutil.which("chromium") or "/usr/bin/chromium")
    ap.add_argument("--small", action="store_true", help="a small forged identity instead of the demo one")
    ap.add_argument("--identity", help="WxHxCROP: a forged identity of that size (for measuring)")
    ap.add_argument("--talk", type=float, default=3.0, help="seconds of speech into the microphone")
    ap.add_argument("--readme-block", required=True, help="scripts/readme-block")
    a = ap.parse_args()

    if not os.access(a.chromium, os.X_OK):
        print(f"SKIP: no Chromium at {a.chromium}")
        return SKIP
    a.work = os.path.abspath(a.work)
    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    bundle, engine = os.path.join(a.work, "identity"), os.path.join(a.work, "engine")
    if a.small or a.identity:
        w, h, crop = (a.identity or "320x240x64").split("x")
        subprocess.run([a.forge, "bundle", bundle, "--nt", "8", "--w", w, "--h", h, "--crop", crop,
                        "--models", "b1,b4"], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run([a.forge, "motion", engine, "--nt", "8"], check=True, stdout=subprocess.DEVNULL)
    else:
        subprocess.run([a.forge, "demo", bundle], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([a.forge, "motion", engine, "--demo"], check=True, stdout=subprocess.DEVNULL)
    wav = os.path.join(a.work, "speech.wav")
    wav_from_f32(a.speech, wav)

    # The README's command, run as a reader would from the repository's root
    # after `make demo`: here a scratch root whose out/ holds the forged identity.
    root = os.path.join(a.work, "root")
    os.makedirs(os.path.join(root, "out"))
    os.makedirs(os.path.join(root, "build", "tools"))
    os.symlink(bundle, os.path.join(root, "out", "demo"))
    os.symlink(engine, os.path.join(root, "out", "demo_engine"))
    os.symlink(os.path.abspath(a.lecore), os.path.join(root, "build", "tools", "lecore"))
    block = subprocess.run([a.readme_block, "serve"], capture_output=True, text=True, check=True).stdout
    cmd = [l for l in block.splitlines() if l.strip() and not l.lstrip().startswith("#")]
    if len(cmd) != 1 or "lecore serve" not in cmd[0]:
        print(f"FAIL: the README's serve block should hold one lecore serve command: {block!r}")
        return 1
    port = free_port()
    slog = open(os.path.join(a.work, "serve.log"), "w")
    server = subprocess.Popen(["/bin/sh", "-c", f"exec {cmd[0]} --port {port}"], cwd=root, stdout=slog,
                              stderr=subprocess.STDOUT)
    base = f"http://127.0.0.1:{port}"
    browser = None
    try:
        wait_for("the server", lambda: _status(base), 60)
        status = _status(base)
        W, H = status["width"], status["height"]

        # A port in use: one clear line, exit 1, and the first server unharmed.
        r = subprocess.run([a.lecore, "serve", bundle, "--engine", engine, "--port", str(port)], capture_output=True,
                           text=True, timeout=60)
        if r.returncode != 1 or "cannot listen" not in r.stderr or len(r.stderr.strip().splitlines()) != 1:
            raise Check(f"second server on a port in use: rc {r.returncode}, stderr {r.stderr!r}")

        profile = os.path.join(a.work, "profile")
        blog = open(os.path.join(a.work, "chromium.log"), "w")
        browser, ws_url = start_chromium(a.chromium, profile, wav, blog)
        if not browser:
            print(f"SKIP: Chromium did not start: {ws_url.strip()}")
            return SKIP
        devport = re.search(r":(\d+)/", ws_url).group(1)
        pages = [t for t in get_json(f"http://127.0.0.1:{devport}/json/list") if t["type"] == "page"]
        cdp = Cdp(pages[0]["webSocketDebuggerUrl"])
        cdp.call("Page.enable")
        cdp.call("Page.navigate", url=base + "/")
        wait_for("the page", lambda: cdp.js("typeof window.le === 'object' && document.readyState === 'complete'"), 30)
        cdp.js("le.start()")
        wait_for("the live pipeline", lambda: cdp.js("le.ready || le.errors.length > 0"), 120)
        if cdp.js("le.errors.length"):
            raise Check(f"the page reports: {cdp.js('le.errors')}")
        rep = wait_for("the video to play",
                       lambda: (lambda r: r if r["playing"] and r["width"] > 0 and r["frames"] > 5 else None)(
                           cdp.js("le.report()")), 60)
        if (rep["width"], rep["height"]) != (W, H):
            raise Check(f"video plays at {rep['width']}x{rep['height']}, the driver is {W}x{H}")

        # A second browser tab is turned away with the reason; the first keeps going.
        busy = cdp.js("""new Promise((ok) => { const w = new WebSocket("ws://" + location.host + "/ws");
            w.onmessage = (e) => ok(JSON.parse(e.data)); setTimeout(() => ok(null), 5000); })""")
        if not busy or busy.get("type") != "busy":
            raise Check(f"a second client was not turned away: {busy}")
        # Malformed signalling and audio of the wrong format: reported, not fatal.
        cdp.js("""le.ws.send("{not json"); le.ws.send(JSON.stringify({type: "ice", candidate: 5}));
                  le.ws.send(JSON.stringify({type: "answer", sdp: "v=0\\r\\nnonsense"}));
                  le.ws.send(JSON.stringify({type: "ice", candidate: "candidate:junk", sdpMLineIndex: 0}));
                  le.ws.send(JSON.stringify({type: "audio", rate: 44100, format: "f32le", channels: 2}));
                  le.ws.send(new Uint8Array([1, 2, 3]).buffer);
                  le.ws.send(JSON.stringify({type: "audio", rate: 16000, format: "s16le", channels: 1}));
                  le.ws.send(new Uint8Array([1, 2, 3]).buffer); true""")
        wait_for("the refusals", lambda: _status(base)["bad_messages"] >= 4, 10)

        # Speak for three seconds into the microphone, then stop.
        t0 = time.time()
        cdp.js("le.talk(true)")
        time.sleep(a.talk)
        cdp.js("le.talk(false)")
        st = wait_for("speech frames", lambda: (lambda s: s if s["session"]["speech_frames_sent"] >= int(a.talk * 25 * 0.6) else None)(
            _status(base)), 120)
        wait_for("the page to see speech", lambda: cdp.js("le.speechEvents >= 1"), 30)
        wait_for("idle frames after the utterance", lambda: cdp.js("le.idleEvents >= 1"), 120)
        first_ms = cdp.js("le.latencies[0]")
        first_rep = cdp.js("le.report()")

        # Talk again and interrupt mid-utterance: the pipeline returns to idle.
        cdp.js("le.talk(true)")
        wait_for("the second utterance", lambda: _status(base)["session"]["utterances"] >= 2, 120)
        cdp.js("le.interrupt()")
        sent_at_interrupt = _status(base)["session"]["frames_sent"]
        wait_for("idle frames after the interrupt", lambda: cdp.js("le.idleEvents >= 2"), 30)
        wait_for("the stream to go on", lambda: _status(base)["session"]["frames_sent"] > sent_at_interrupt + 10, 30)

        # A file picked on the page instead of the microphone: a short one, spoken whole.
        short = os.path.join(a.work, "short.wav")
        samples = wav_from_f32(a.speech, short, seconds=1.5)
        doc = cdp.call("DOM.getDocument")["root"]["nodeId"]
        node = cdp.call("DOM.querySelector", nodeId=doc, selector="#file")["nodeId"]
        before = _status(base)["session"]["speech_frames_sent"]
        cdp.call("DOM.setFileInputFiles", files=[short], nodeId=node)
        wait_for("the file's utterance", lambda: cdp.js("le.idleEvents >= 3"), 120)
        spoken = _status(base)["session"]["speech_frames_sent"] - before
        if spoken != -(-samples // 640):
            raise Check(f"the picked file made {spoken} speech frames, expected ceil({samples} / 640)")
        time.sleep(1.0)
        rep = cdp.js("le.report()")
        st = _status(base)["session"]
        shot = cdp.call("Page.captureScreenshot", format="png")
        with open(os.path.join(a.work, "serve_page.png"), "wb") as f:
            f.write(base64.b64decode(shot["data"]))
        if st["state"] != 0:
            raise Check(f"the pipeline is not idle after the interrupt: {st}")
        if not rep["playing"] or rep["frames"] < 50:
            raise Check(f"the video is not playing on: {rep}")

        # The client leaves: its pipeline and media objects go with it. The next
        # one connects and leaves mid-utterance, with the same result.
        gone = lambda: (lambda s: s if s["clients"] == 0 and s["pipelines_alive"] == 0 else None)(_status(base))
        cdp.call("Page.navigate", url="about:blank")
        wait_for("the session to close", gone, 30)
        cdp.call("Page.navigate", url=base + "/")
        wait_for("the page again", lambda: cdp.js("typeof window.le === 'object' && document.readyState === 'complete'"), 30)
        cdp.js("le.start()")
        wait_for("the second client's pipeline", lambda: cdp.js("le.ready"), 120)
        cdp.js("le.talk(true)")
        wait_for("audio from the second client", lambda: (_status(base)["session"] or {}).get("audio_bytes_received", 0) > 16000, 30)
        cdp.call("Page.navigate", url="about:blank")
        left = wait_for("the second session to close", gone, 30)
        if left["sessions_total"] != 2:
            raise Check(f"expected two sessions in all: {left}")
        print(f"serve: {W}x{H}; first speech frame {first_ms:.0f} ms after the first captured audio (page); "
              f"{st['speech_frames_sent']} speech frames, {st['frames_sent']} frames sent, "
              f"{st['empty_ticks']} empty ticks, {first_rep['speechFps']:.1f} fps shown during speech, "
              f"{rep['fps']:.1f} at the end, {rep['dropped']} dropped by the page, "
              f"library first-frame latency {st['first_frame_latency_ms']:.0f} ms; "
              f"took {time.time() - t0:.0f} s")
    except Check as e:
        print(f"FAIL: {e}")
        return 1
    finally:
        if browser:
            browser.kill()
            browser.wait()
        server.send_signal(signal.SIGTERM)
        try:
            rc = server.wait(timeout=60)
        except subprocess.TimeoutExpired:
            server.kill()
            rc = "hung"
        slog.close()
        log = open(os.path.join(a.work, "serve.log")).read()
        print(log[-3000:])
    if rc != 0:
        print(f"FAIL: the server exited with {rc} on SIGTERM")
        return 1
    return 0


def _status(base):
    try:
        return get_json(base + "/status", timeout=2)
    except OSError:
        return None


if __name__ == "__main__":
    sys.exit(main())
