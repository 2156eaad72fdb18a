"""A private sound server with virtual devices, and the engine as a protocol peer, for tests."""
import json
import os
import pathlib
import select
import shutil
import subprocess
import tempfile

import numpy as np

SCRIPTS = pathlib.Path(__file__).resolve().parents[2] / "scripts"
ENGINE = os.environ["KW_ENGINE"]
RATE = 48000
CABLE_NAME = "CABLE Input (VB-Audio Virtual Cable)"


class SoundServer:
    """Started by the script the README names; stopped by its pid, also when a test fails."""

    def __init__(self, *options):
        self.options = options
        self.dir = None
        self.env = None

    def start(self):
        self.dir = self.dir or tempfile.mkdtemp(prefix="kw_pa_")
        out = subprocess.run([str(SCRIPTS / "pa_server.sh"), "start", self.dir, *self.options],
                             capture_output=True, text=True, timeout=30, check=True)
        self.env = {**os.environ, "PULSE_SERVER": out.stdout.strip()}
        return self

    def stop(self):
        subprocess.run([str(SCRIPTS / "pa_server.sh"), "stop", self.dir], timeout=30, check=True)

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True,
                              timeout=10, check=True).stdout

    def record(self, source, channels=2):
        """Starts recording a source (a sink's monitor is "<sink>.monitor"); stop() returns frames."""
        return Recorder(self.env, source, channels)

    def play(self, sink, frames):
        """Plays float32 frames (shape [n, ch]) on a sink; returns the player process."""
        # From a file: a pipe would block the test until the player had taken nearly all.
        with tempfile.TemporaryFile() as f:
            f.write(np.ascontiguousarray(frames, dtype="<f4").tobytes())
            f.seek(0)
            return subprocess.Popen(["pacat", "--playback", "-d", sink, "--format=float32le",
                                     f"--rate={RATE}", f"--channels={frames.shape[1]}",
                                     "--latency-msec=10"], stdin=f, env=self.env)


class Recorder:
    def __init__(self, env, source, channels):
        self.channels = channels
        self.file = tempfile.TemporaryFile()
        self.p = subprocess.Popen(["parec", "-d", source, "--format=float32le", f"--rate={RATE}",
                                   f"--channels={channels}", "--latency-msec=10"],
                                  stdout=self.file, env=env)

    def stop(self):
        self.p.terminate()
        self.p.wait(timeout=10)
        self.file.seek(0)
        data = np.frombuffer(self.file.read(), dtype="<f4")
        self.file.close()
        n = len(data) // self.channels
        return data[:n * self.channels].reshape(n, self.channels)


class EngineProcess:
    """The engine in protocol mode; request() sends one line and returns the reply line."""

    def __init__(self, env, args=()):
        self.p = subprocess.Popen([ENGINE, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, env=env)

    def request_line(self, line, timeout=15):
        self.p.stdin.write(line + b"\n")
        self.p.stdin.flush()
        ready, _, _ = select.select([self.p.stdout], [], [], timeout)
        if not ready:
            raise TimeoutError(f"no reply to {line[:80]!r}")
        return self.p.stdout.readline()

    def request(self, **fields):
        return json.loads(self.request_line(json.dumps(fields).encode()))

    def quit(self, timeout=15):
        """Ends the engine; returns (exit status, everything it wrote to stderr)."""
        try:
            self.p.stdin.write(b'{"cmd":"quit"}\n')
            self.p.stdin.close()
        except BrokenPipeError:
            pass
        code = self.p.wait(timeout=timeout)
        err = self.p.stderr.read()
        self.p.stdout.close()
        self.p.stderr.close()
        return code, err

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.p.poll() is None:
            self.quit()
