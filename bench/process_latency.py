"""Microphone-to-cable latency of the engine as a process, through a private sound server: the
Windows build under Wine beside the Linux build, measured alike.

    KW_ENGINE=build/src/app/engine /usr/bin/python3 bench/process_latency.py [seconds] [preset ...]
    KW_ENGINE=build-win/bin/engine.exe KW_ENGINE_WRAPPER=/usr/lib/wine/wine64 \
        /usr/bin/python3 bench/process_latency.py      (with WINEPREFIX and the like set)

Tone bursts (40 ms, 500 Hz) go into the microphone feed every 0.5 s; one recorder on the
microphone and one on the cable's monitor time-stamp every block they read, and each frame is put
on the clock by the promptest block that held it (the recorders' own waits drop out). A delay is
a cable onset minus the microphone onset before it; it includes the preset's own delay (the pitch
shifter's window for daemon). live_latency_bench measures the Linux engine in-process, finer.
"""
import os
import subprocess
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from support import RATE, EngineProcess, SoundServer  # noqa: E402

BLOCK = 480


class Recorder:
    """parec on one source; samples of the left channel and, per block, (arrival, frames so far)."""

    def __init__(self, server, source):
        self.p = subprocess.Popen(["parec", "-d", source, "--format=float32le", f"--rate={RATE}",
                                   "--channels=2", "--latency-msec=5"], stdout=subprocess.PIPE,
                                  env=server.env)
        self.chunks, self.stamps, self.frames = [], [], 0
        self.thread = threading.Thread(target=self.read)
        self.thread.start()

    def read(self):
        while data := self.p.stdout.read(BLOCK * 8):
            self.frames += len(data) // 8
            self.stamps.append((time.monotonic(), self.frames))
            self.chunks.append(np.frombuffer(data[:len(data) // 8 * 8], "<f4")[::2])

    def stop(self):
        self.p.terminate()
        self.thread.join()
        return np.concatenate(self.chunks)

    def clock(self, frame):
        """When frame arrived: the earliest estimate of the blocks up to 250 ms after it."""
        times = [t - (n - frame) / RATE for t, n in self.stamps if frame <= n <= frame + RATE // 4]
        return min(times)


def onsets(x):
    """First samples above 30 % of the peak after 150 ms below it."""
    loud = np.flatnonzero(np.abs(x) > 0.3 * np.max(np.abs(x)))
    return loud[np.concatenate([[True], np.diff(loud) > RATE * 0.15])]


def measure(server, preset, seconds):
    t = np.arange(int((seconds + 2) * RATE)) / RATE
    phase = t % 0.5
    bursts = 0.5 * np.sin(2 * np.pi * 500 * t) * np.clip(np.minimum(phase, 0.04 - phase) * 1000, 0, 1)
    with EngineProcess(server.env) as engine:
        engine.request(cmd="set_voice", id=preset)
        assert engine.request(cmd="start")["ok"]
        time.sleep(1.0)
        mic, cable = Recorder(server, "mic"), Recorder(server, "cable_input.monitor")
        player = server.play("micfeed", np.repeat(bursts[:, None], 2, 1))
        time.sleep(seconds)
        underruns = engine.request(cmd="get_latency")
        player.kill()
        heard, sent = mic.stop(), cable.stop()
        engine.request(cmd="stop")
    starts = [mic.clock(n) for n in onsets(heard)]
    delays = []
    for n in onsets(sent):
        at = cable.clock(n)
        before = [s for s in starts if 0 < at - s < 0.45]
        if before:
            delays.append(1000 * (at - before[-1]))
    print(f"{preset:10s} {len(delays):3d} bursts  median {np.median(delays):6.1f} ms  "
          f"10-90 % {np.percentile(delays, 10):6.1f}-{np.percentile(delays, 90):6.1f} ms  "
          f"engine's estimate {underruns['latencyMs']} ms, underruns {underruns['underruns']}")


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 20.0
    with SoundServer() as server:
        for preset in sys.argv[2:] or ["original", "daemon"]:
            measure(server, preset, seconds)


if __name__ == "__main__":
    main()
