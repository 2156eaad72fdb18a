#!/usr/bin/python3
"""Independent readings of the neural front end in float64: numpy's FFT, the mel spectrogram with
its triangles as the positive part of the smaller of their two ramps, and the textbook resampler
(zero-stuff by up, filter with the windowed-sinc prototype, keep every down-th sample).

Usage: frontend_reference.py <in.f32> <out.f64> <mode> <args...>
  fft <sign> <n1> <n2> ...   unscaled transforms of complex blocks of n1, n2, ... points (re, im)
  mel <rate> <nfft> <hop> <nmels> <fmin> <fmax> <floor>   the spectrogram, band-major
  resample <inRate> <outRate> <tapsPerPhase>   what a resampler fed the whole input releases
"""

import sys
from math import gcd

import numpy as np


def fft_blocks(x, sign, sizes):
    z, out, start = x[0::2] + 1j * x[1::2], [], 0
    for n in sizes:
        y = np.fft.fft(z[start:start + n]) if sign < 0 else np.fft.ifft(z[start:start + n]) * n
        out.append(np.stack([y.real, y.imag], axis=1).ravel())
        start += n
    return np.concatenate(out)


def mel(x, rate, nfft, hop, nmels, fmin, fmax, floor):
    hz = 700 * (10 ** (np.linspace(*(2595 * np.log10(1 + np.array([fmin, fmax]) / 700)),
                                   nmels + 2) / 2595) - 1)
    edge, j = hz * nfft / rate, np.arange(nfft // 2 + 1)[None, :]
    rise = (j - edge[:-2, None]) / (edge[1:-1, None] - edge[:-2, None])
    fall = (edge[2:, None] - j) / (edge[2:, None] - edge[1:-1, None])
    bank = np.maximum(0, np.minimum(rise, fall))
    n, pad, i = len(x), nfft // 2, np.arange(nfft // 2)
    # Reflection without the edge sample; a chunk too short for it stops at its ends.
    p = np.concatenate([x[np.minimum(n - 1, pad - i)], x, x[np.maximum(n - 2 - i, 0)]])
    frames = np.stack([p[t * hop:t * hop + nfft] for t in range(n // hop + 1)])
    magnitude = np.abs(np.fft.rfft(frames * np.hanning(nfft + 1)[:-1], axis=1))
    return np.log(np.maximum(floor, bank @ magnitude.T))


def resample(x, in_rate, out_rate, taps_per_phase):
    g = gcd(in_rate, out_rate)
    up, down = out_rate // g, in_rate // g
    n = taps_per_phase * up
    i = np.arange(n + 1)
    fc = min(in_rate, out_rate) * 0.46 / (in_rate * up)
    h = (0.5 - 0.5 * np.cos(2 * np.pi * i / n)) * 2 * fc * np.sinc(2 * fc * (i - n / 2))
    h = h / h[::up].sum()
    stuffed = np.zeros(len(x) * up)
    stuffed[::up] = x
    size = len(stuffed) + n
    nfft = 1 << (size - 1).bit_length()
    full = np.fft.irfft(np.fft.rfft(stuffed, nfft) * np.fft.rfft(h, nfft), nfft)[:size]
    # Output m sits at input m down / up and is released once input m down // up - K + n // up is in.
    m = np.arange(len(x) * up // down + 1)
    m = m[(m * down) // up - (n // 2) // up + n // up < len(x)]
    return full[m * down + n - n // 2]  # h is symmetric about n / 2


def main():
    x = np.fromfile(sys.argv[1], np.float32).astype(np.float64)
    mode, args = sys.argv[3], [float(a) for a in sys.argv[4:]]
    if mode == "fft":
        y = fft_blocks(x, args[0], [int(a) for a in args[1:]])
    elif mode == "mel":
        y = mel(x, *(int(a) for a in args[:4]), *args[4:])
    else:
        y = resample(x, *(int(a) for a in args))
    np.ascontiguousarray(y, np.float64).tofile(sys.argv[2])


if __name__ == "__main__":
    main()
