"""Independent reference for PolyphaseResampler.

Designs the prototype filter from its definition (Hann-windowed sinc with the corner at 0.46 of
the lower rate, scaled so that every up-th tap from h[0] sums to 1) and resamples the textbook
way: zero-stuff by up, filter at the high rate, keep every down-th sample.

Usage: resampler_reference.py <in.f32> <out.f64> taps|resample <inRate> <outRate> <tapsPerPhase>
  taps      writes the N + 1 prototype taps (the input is ignored)
  resample  writes the output samples that a resampler fed the whole input releases
"""

import sys
from math import gcd

import numpy as np


def design(in_rate, out_rate, taps_per_phase):
    g = gcd(in_rate, out_rate)
    up, down = out_rate // g, in_rate // g
    n = taps_per_phase * up
    fc = min(in_rate, out_rate) * 0.46 / (in_rate * up)
    i = np.arange(n + 1)
    h = (0.5 - 0.5 * np.cos(2 * np.pi * i / n)) * 2 * fc * np.sinc(2 * fc * (i - n / 2))
    return up, down, n, h / h[::up].sum()


def resample(x, up, down, n, h):
    stuffed = np.zeros(len(x) * up)
    stuffed[::up] = x
    # full[j] = sum_t stuffed[t] * h[n - j + t]; output m needs h[n // 2 + t - m * down].
    size = len(stuffed) + n
    nfft = 1 << (size - 1).bit_length()
    full = np.fft.irfft(np.fft.rfft(stuffed, nfft) * np.fft.rfft(h[::-1], nfft), nfft)[:size]
    # Output m is released once input floor(m * down / up) - K + n // up has arrived.
    lead, span = (n // 2) // up, n // up
    m = np.arange(len(x) * up // down + 1)
    m = m[(m * down) // up - lead + span < len(x)]
    return full[m * down + n - n // 2]


def main():
    in_path, out_path, mode = sys.argv[1:4]
    in_rate, out_rate, taps_per_phase = (int(a) for a in sys.argv[4:7])
    up, down, n, h = design(in_rate, out_rate, taps_per_phase)
    if mode == "taps":
        result = h
    else:
        x = np.fromfile(in_path, dtype=np.float32).astype(np.float64)
        result = resample(x, up, down, n, h)
    result.astype(np.float64).tofile(out_path)


if __name__ == "__main__":
    main()
