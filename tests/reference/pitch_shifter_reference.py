"""Independent numpy transcription of the phase-vocoder pitch shifter.

Usage:
  pitch_shifter_reference.py in.f32 out.f64 fft SIGN
      in.f32 holds interleaved complex points; writes the unscaled transform
      (SIGN -1 forward, +1 inverse), interleaved.
  pitch_shifter_reference.py in.f32 out.f64 shift RATIO [FRAME OSAMP RATE]
      pitch-shifts the mono float32 stream, every step in single precision.
"""
import sys

import numpy as np

F = np.float32
PI = F(3.1415927)
TWO_PI = F(6.2831855)


def transform(x, sign):
    return np.fft.fft(x) if sign < 0 else np.fft.ifft(x) * len(x)


def shift(samples, ratio, n, osamp, rate):
    ratio = F(ratio)
    if not ratio > F(0.02):
        ratio = F(0.02)
    ratio = min(ratio, F(n // 2))
    if abs(ratio - F(1)) < F(0.0001):
        return samples.copy()
    hop = n // osamp
    latency = n - hop
    half = n // 2
    bin_width = F(rate) / F(n)
    expected = TWO_PI * F(hop) / F(n)
    k = np.arange(half + 1).astype(F)
    window = F(0.5) - F(0.5) * np.cos(TWO_PI * np.arange(n).astype(F) / F(n))
    in_fifo = np.zeros(n, F)
    out_fifo = np.zeros(n, F)
    last_phase = np.zeros(half + 1, F)
    phase_sum = np.zeros(half + 1, F)
    accum = np.zeros(2 * n, F)
    # Straight loop transcription of the shift step's targets; the whole
    # mapping is fixed for one ratio.
    targets = np.trunc(k * ratio).astype(np.int64)
    out = np.zeros_like(samples)
    rover = latency
    for i, x in enumerate(samples):
        in_fifo[rover] = x
        out[i] = out_fifo[rover - latency]
        rover += 1
        if rover < n:
            continue
        rover = latency
        spectrum = transform((in_fifo * window).astype(np.float64), -1)[: half + 1]
        re = spectrum.real.astype(F)
        im = spectrum.imag.astype(F)
        magn = F(2) * np.sqrt(re * re + im * im)
        phase = np.arctan2(im, re)
        d = phase - last_phase
        last_phase = phase
        d = d - k * expected
        q = (d / PI).astype(np.int32)
        q = np.where(q >= 0, q + (q & 1), q - (q & 1))
        d = d - PI * q.astype(F)
        ana_freq = k * bin_width + (F(osamp) * d / TWO_PI) * bin_width
        syn_magn = np.zeros(half + 1, F)
        syn_freq = np.zeros(half + 1, F)
        for src in range(half + 1):
            j = targets[src]
            if j <= half:
                syn_magn[j] += magn[src]
                syn_freq[j] = ana_freq[src] * ratio
        d = (syn_freq - k * bin_width) / bin_width
        d = TWO_PI * d / F(osamp)
        d = d + k * expected
        phase_sum = phase_sum + d
        full = np.zeros(n, np.complex128)
        full[: half + 1] = (syn_magn * np.cos(phase_sum)).astype(np.float64) + 1j * (
            syn_magn * np.sin(phase_sum)
        ).astype(np.float64)
        frame = transform(full, +1).real.astype(F)
        accum[:n] += F(2) * window * frame / F(half * osamp)
        out_fifo[:hop] = accum[:hop]
        accum[:n] = accum[hop : hop + n].copy()
        in_fifo[:latency] = in_fifo[hop:].copy()
    return out


def main():
    data = np.fromfile(sys.argv[1], dtype=F)
    mode = sys.argv[3]
    if mode == "fft":
        points = data[0::2].astype(np.float64) + 1j * data[1::2].astype(np.float64)
        result = transform(points, int(sys.argv[4]))
        out = np.empty(2 * len(result))
        out[0::2] = result.real
        out[1::2] = result.imag
    else:
        n, osamp, rate = (int(sys.argv[5]), int(sys.argv[6]), float(sys.argv[7])) if len(sys.argv) > 5 else (1024, 8, 48000.0)
        out = shift(data, float(sys.argv[4]), n, osamp, rate).astype(np.float64)
    out.tofile(sys.argv[2])


if __name__ == "__main__":
    main()
