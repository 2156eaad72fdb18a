"""Independent float32 model of the two feedback units, the echo and the reverb, on one channel.

Usage: feedback_units_reference.py <in.f32> <out.f64> echo <mix> <delayMs> <feedback> <rate>
       feedback_units_reference.py <in.f32> <out.f64> reverb <mix> <rate>
"""
import sys

import numpy as np

f32 = np.float32
COMB_44K = (1116, 1188, 1277, 1356)
ALLPASS_44K = (556, 441)


def echo(x, mix, delay_ms, feedback, rate):
    delay = int(f32(delay_ms) * f32(0.001) * f32(rate))
    line = np.zeros(delay + 1, dtype=np.float32)
    out = np.zeros(len(x), dtype=np.float32)
    for n, s in enumerate(x):
        d = line[(n - delay) % (delay + 1)]
        line[n % (delay + 1)] = np.clip(s + f32(feedback) * d, f32(-1.2), f32(1.2))
        out[n] = (f32(1) - f32(mix)) * s + f32(mix) * d
    return out


def reverb(x, mix, rate):
    scale = f32(rate) / f32(44100)
    combs = [np.zeros(max(int(f32(t) * scale), 16), dtype=np.float32) for t in COMB_44K]
    allps = [np.zeros(max(int(f32(t) * scale), 8), dtype=np.float32) for t in ALLPASS_44K]
    damp = [f32(0)] * len(combs)
    out = np.zeros(len(x), dtype=np.float32)
    for n, s in enumerate(x):
        acc = f32(0)
        for i, buf in enumerate(combs):
            y = buf[n % len(buf)]
            acc = acc + y
            damp[i] = damp[i] * f32(0.8) + y * f32(0.2)
            buf[n % len(buf)] = s + damp[i] * f32(0.78)
        acc = acc * f32(0.25)
        for buf in allps:
            b = buf[n % len(buf)]
            buf[n % len(buf)] = f32(0.5) * b + acc
            acc = b - f32(0.5) * acc
        out[n] = (f32(1) - f32(mix)) * s + f32(mix) * f32(0.6) * acc
    return out


def main():
    x = np.fromfile(sys.argv[1], dtype=np.float32)
    unit, args = sys.argv[3], [float(a) for a in sys.argv[4:]]
    y = echo(x, *args) if unit == "echo" else reverb(x, *args)
    y.astype(np.float64).tofile(sys.argv[2])


if __name__ == "__main__":
    main()
