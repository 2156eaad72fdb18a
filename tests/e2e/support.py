"""What the end-to-end tests share: the engine as a process, a private sound server with virtual
devices, WAV files and a few measurements of audio."""
import json
import os
import pathlib
import select
import shlex
import shutil
import struct
import subprocess
import tempfile

import numpy as np

TESTS = pathlib.Path(__file__).resolve().parents[1]
ENGINE = os.environ["KW_ENGINE"]
# The command that runs the engine: for the Windows build, Wine and engine.exe.
ENGINE_COMMAND = [*shlex.split(os.environ.get("KW_ENGINE_WRAPPER", "")), ENGINE]
WINDOWS = ENGINE.endswith(".exe")
RATE = 48000
CABLE_NAME = "CABLE Input (VB-Audio Virtual Cable)"


def text(out):
    """Standard output or error as the Linux build writes it. The Windows build writes text: every
    line ends in CR LF."""
    if WINDOWS:
        assert out.count(b"\n") == out.count(b"\r\n"), out[:200]
        return out.replace(b"\r\n", b"\n")
    return out


def run(*args, env=None, cwd=None, timeout=120):
    """The engine as a command-line tool: (exit status, stdout bytes, stderr lines)."""
    p = subprocess.run([*ENGINE_COMMAND, *map(str, args)], stdin=subprocess.DEVNULL,
                       capture_output=True, env=env, cwd=cwd, timeout=timeout)
    return p.returncode, text(p.stdout), text(p.stderr).decode("utf-8", "replace").splitlines()


def chunk(ident, body):
    return ident + struct.pack("<I", len(body)) + body + b"\0" * (len(body) % 2)


def fmt(tag, channels, rate, bits, align=None, extra=b""):
    align = channels * bits // 8 if align is None else align
    return chunk(b"fmt ", struct.pack("<HHIIHH", tag, channels, rate, rate * align % 2**32, align,
                                          bits) + extra)


def riff(*chunks):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def write_wav(path, samples, rate, channels=1, pcm16=False):
    data = np.round(np.asarray(samples) * 32767).astype("<i2") if pcm16 else np.asarray(samples, "<f4")
    pathlib.Path(path).write_bytes(riff(fmt(1 if pcm16 else 3, channels, rate, 16 if pcm16 else 32),
                                        chunk(b"data", data.tobytes())))


def read_wav(path):
    return np.frombuffer(pathlib.Path(path).read_bytes()[44:], "<f4")


def tone(seconds, hz=440.0, amp=0.5, channels=2, rate=RATE):
    t = np.arange(int(seconds * rate)) / rate
    return np.repeat((amp * np.sin(2 * np.pi * hz * t))[:, None], channels, axis=1)


def dominant_hz(mono, rate=RATE):
    spectrum = np.abs(np.fft.rfft(mono * np.hanning(len(mono))))
    return np.argmax(spectrum) * rate / len(mono)


def typical_peak(mono, block=480):
    """Median peak of 10 ms blocks: the amplitude, robust against a slow start or a dropout."""
    n = len(mono) // block
    return float(np.median(np.max(np.abs(mono[:n * block].reshape(n, block)), axis=1))) if n else 0.0


class SoundServer:
    """scripts/pa_server.sh in a temporary directory; stopped by its pid, also when a test fails."""
    SCRIPT = str(TESTS.parent / "scripts" / "pa_server.sh")

    def __init__(self, *options):
        self.options, self.dir = options, tempfile.mkdtemp(prefix="kw_pa_")

    def start(self):
        out = subprocess.run([self.SCRIPT, "start", self.dir, *self.options, "--owner",
                              str(os.getpid())], capture_output=True, text=True, timeout=30,
                             check=True).stdout.strip()
        self.env = {**os.environ, "PULSE_SERVER": out}
        return self

    def pid(self):
        return int(pathlib.Path(self.dir, "pid").read_text())

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        subprocess.run([self.SCRIPT, "stop", self.dir], timeout=30, check=True)
        shutil.rmtree(self.dir, ignore_errors=True)

    def play(self, sink, frames):
        """Plays float32 frames [n, ch] on a sink from a file (a pipe would block the test)."""
        with tempfile.TemporaryFile() as f:
            f.write(np.ascontiguousarray(frames, "<f4").tobytes())
            f.seek(0)
            return subprocess.Popen(["pacat", "-d", sink, "--format=float32le", f"--rate={RATE}",
                                     f"--channels={frames.shape[1]}", "--latency-msec=10"],
                                    stdin=f, env=self.env)

    def record(self, source):
        """Starts recording a source in stereo; call the result to stop and get the frames."""
        file = tempfile.TemporaryFile()
        p = subprocess.Popen(["parec", "-d", source, "--format=float32le", f"--rate={RATE}",
                              "--channels=2", "--latency-msec=10"], stdout=file, env=self.env)

        def stop():
            p.terminate()
            p.wait(timeout=10)
            file.seek(0)
            data = np.frombuffer(file.read(), "<f4")
            return data[:len(data) // 2 * 2].reshape(-1, 2)
        return stop


class EngineProcess:
    """The engine in protocol mode; ask() sends one line and returns the reply line."""

    def __init__(self, env=None):
        self.err = tempfile.TemporaryFile()
        self.p = subprocess.Popen(ENGINE_COMMAND, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=self.err, env=env)

    def ask(self, line, timeout=15):
        """Sends one line (bytes or str); the reply without its line feed, of the same type."""
        raw = line.encode() if isinstance(line, str) else line
        self.p.stdin.write(raw + b"\n")
        self.p.stdin.flush()
        if not select.select([self.p.stdout], [], [], timeout)[0]:
            raise TimeoutError(f"no reply to {raw[:80]!r}")
        reply = text(self.p.stdout.readline())[:-1]
        return reply.decode() if isinstance(line, str) else reply

    def request(self, **fields):
        return json.loads(self.ask(json.dumps(fields)))

    def quit(self, timeout=15):
        """Ends the engine; returns (exit status, its stderr)."""
        try:
            self.p.stdin.write(b'{"cmd":"quit"}\n')
            self.p.stdin.close()
        except BrokenPipeError:
            pass
        code = self.p.wait(timeout=timeout)
        self.p.stdout.close()
        self.err.seek(0)
        return code, text(self.err.read())

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.p.poll() is None:
            self.quit()
