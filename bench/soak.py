#!/usr/bin/python3
"""Soak: the live engine on a private sound server for a long time while a client hammers it
(start/stop cycles, voice and parameter changes, status at 50 Hz, soundboard clips) and the
server is killed and restarted every few minutes. Prints, over time, the engine's memory,
descriptors and threads, its latency and underruns, how long each recovery took, and whether
anything non-finite ever reached the cable.

    KW_ENGINE=build/src/app/engine bench/soak.py [--minutes N] [--kill-every S]
"""
import argparse
import base64
import os
import pathlib
import subprocess
import sys
import threading
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "e2e"))
from support import RATE, EngineProcess, SoundServer, tone  # noqa: E402

PRESETS = ["original", "roboter", "daemon", "tief", "chipmunk", "alien", "echo"]
PARAMS = [("pitch", 3), ("formant", 2), ("ringmod", 40), ("bandpass", 900), ("drive", 1.5),
          ("echo", 0.3), ("reverb", 0.2), ("gain", 1.1)]


def proc_figures(pid):
    status = pathlib.Path(f"/proc/{pid}/status").read_text()
    fields = dict(line.split(":", 1) for line in status.splitlines() if ":" in line)
    return (int(fields["VmRSS"].split()[0]) // 1024, len(os.listdir(f"/proc/{pid}/fd")),
            int(fields["Threads"]))


class CableWatch:
    """Reads the cable's monitor as float32 and counts non-finite samples; survives restarts."""

    def __init__(self, server):
        self.server, self.bad, self.samples, self.stop = server, 0, 0, False
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def loop(self):
        while not self.stop:
            p = subprocess.Popen(["parec", "-d", "cable_input.monitor", "--format=float32le",
                                  f"--rate={RATE}", "--channels=2", "--latency-msec=20"],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                 env=self.server.env)
            while not self.stop:
                data = p.stdout.read(19200)
                if not data:
                    break
                x = np.frombuffer(data[:len(data) // 4 * 4], "<f4")
                self.bad += int(np.count_nonzero(~np.isfinite(x)))
                self.samples += len(x)
            p.kill()
            p.wait()
            time.sleep(0.5)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=60)
    parser.add_argument("--kill-every", type=float, default=180, help="seconds")
    args = parser.parse_args()

    server = SoundServer().start()
    player = server.play("micfeed", tone(args.minutes * 60 + 60))
    engine = EngineProcess(server.env)
    watch = CableWatch(server)
    clip = base64.b64encode(tone(1.0, hz=660, amp=0.3).astype("<f4").tobytes()).decode()
    t0 = time.monotonic()
    next_kill, next_cycle, next_clip, next_change, next_row = (
        t0 + args.kill_every, t0 + 20, t0 + 5, t0 + 1, t0)
    changes = recoveries = 0
    recovery_ms, rows = [], []
    assert engine.request(cmd="start")["ok"]
    # Underruns restart from 0 with every reopening of the streams: counted from the last one.
    under_mark, under_time = 0, t0
    print(f"{'min':>6} {'RSS MB':>7} {'fds':>4} {'thr':>4} {'latency ms':>11} {'underruns/min':>14}"
          f" {'recoveries':>10}")
    while time.monotonic() - t0 < args.minutes * 60:
        now = time.monotonic()
        status = engine.request(cmd="status")  # 50 Hz
        if now >= next_kill:
            os.kill(server.pid(), 9)
            player.kill()
            time.sleep(1.0)
            server.start()
            player = server.play("micfeed", tone(args.minutes * 60 + 60))
            back = time.monotonic()
            while not engine.request(cmd="status")["running"] and time.monotonic() - back < 10:
                time.sleep(0.02)
            recovery_ms.append((time.monotonic() - back) * 1000)
            recoveries += 1
            under_mark, under_time = engine.request(cmd="status")["underruns"], time.monotonic()
            next_kill = time.monotonic() + args.kill_every
        elif now >= next_cycle:
            engine.request(cmd="stop")
            engine.request(cmd="start")
            under_mark, under_time = engine.request(cmd="status")["underruns"], time.monotonic()
            next_cycle = now + 20
        elif now >= next_clip:
            engine.request(cmd="sb_play", rate=RATE, ch=2, b64=clip)
            next_clip = now + 5
        elif now >= next_change:
            engine.request(cmd="set_voice", id=PRESETS[changes % len(PRESETS)])
            name, value = PARAMS[changes % len(PARAMS)]
            engine.request(cmd="set_param", name=name, value=value)
            changes += 1
            next_change = now + 1
        if now >= next_row:
            rss, fds, threads = proc_figures(engine.p.pid)
            latency = engine.request(cmd="get_latency")["latencyMs"]
            now_status = engine.request(cmd="status")
            elapsed = (time.monotonic() - under_time) / 60
            rate = (now_status["underruns"] - under_mark) / elapsed if elapsed > 0.1 else float("nan")
            rows.append((rss, fds, threads, latency))
            print(f"{(now - t0) / 60:6.1f} {rss:7d} {fds:4d} {threads:4d} {latency:11.1f}"
                  f" {rate:14.1f} {recoveries:10d}", flush=True)
            next_row = now + 60
        time.sleep(0.02)
    code, _ = engine.quit()
    watch.stop = True
    player.kill()
    server.__exit__()
    rss = [r[0] for r in rows]
    print(f"\nexit status {code}; RSS {min(rss)}..{max(rss)} MB; fds {min(r[1] for r in rows)}.."
          f"{max(r[1] for r in rows)}; threads {min(r[2] for r in rows)}..{max(r[2] for r in rows)}")
    if recovery_ms:
        print(f"recoveries {len(recovery_ms)}: running again {min(recovery_ms):.0f}.."
              f"{max(recovery_ms):.0f} ms after the restarted server was ready")
    print(f"cable samples read {watch.samples}, non-finite {watch.bad}; {changes} voice and "
          f"parameter changes")


if __name__ == "__main__":
    main()
