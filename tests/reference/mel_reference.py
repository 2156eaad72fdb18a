"""Independent reference for the neural front end: complex FFT and log-magnitude mel spectrogram.

Works in float64 with numpy's own FFT; the filterbank triangles are built as the positive part of
the smaller of their rising and falling ramps.

Usage: mel_reference.py <in.f32> <out.f64> <mode> <args...>
  fft <sign> <n1> <n2> ...   the input holds blocks of n1, n2, ... complex points, interleaved
                             (re, im); writes their unscaled transforms, same layout. sign -1 is
                             forward, +1 the inverse kernel without the 1/n
  filterbank <cfg>           writes the nMels x (nFft/2 + 1) weights, row-major (input ignored)
  mel <cfg>                  writes the nMels x T spectrogram of the input, band-major
where <cfg> is: sampleRate nFft hop nMels fmin fmax logFloor
"""

import sys

import numpy as np


def fft_blocks(x, sign, sizes):
    z = x[0::2] + 1j * x[1::2]
    out, start = [], 0
    for n in sizes:
        block = z[start:start + n]
        start += n
        y = np.fft.fft(block) if sign < 0 else np.fft.ifft(block) * n
        out.append(np.stack([y.real, y.imag], axis=1).ravel())
    return np.concatenate(out)


def filterbank(rate, nfft, nmels, fmin, fmax):
    mel = 2595 * np.log10(1 + np.array([fmin, fmax]) / 700)
    hz = 700 * (10 ** (np.linspace(mel[0], mel[1], nmels + 2) / 2595) - 1)
    edge = hz * nfft / rate
    j = np.arange(nfft // 2 + 1)[None, :]
    left, centre, right = edge[:-2, None], edge[1:-1, None], edge[2:, None]
    rise = (j - left) / (centre - left)
    fall = (right - j) / (right - centre)
    return np.maximum(0, np.minimum(rise, fall))


def padded(x, pad):
    n = len(x)
    if n > pad:
        return np.pad(x, pad, mode="reflect")
    # Too short to reflect whole: the mirrored indices stop at the chunk's ends.
    i = np.arange(pad)
    left = x[np.minimum(n - 1, pad - i)]
    right = x[np.maximum(n - 2 - i, 0)]
    return np.concatenate([left, x, right])


def mel_spectrogram(x, rate, nfft, hop, nmels, fmin, fmax, floor):
    frames_count = len(x) // hop + 1
    p = padded(x, nfft // 2)
    window = np.hanning(nfft + 1)[:-1]
    frames = np.stack([p[t * hop:t * hop + nfft] for t in range(frames_count)])
    magnitude = np.abs(np.fft.rfft(frames * window, axis=1))
    s = filterbank(rate, nfft, nmels, fmin, fmax) @ magnitude.T
    return np.log(np.maximum(floor, s))


def config(args):
    rate, nfft, hop, nmels = (int(a) for a in args[:4])
    fmin, fmax, floor = (float(a) for a in args[4:7])
    return rate, nfft, hop, nmels, fmin, fmax, floor


def main():
    in_path, out_path, mode = sys.argv[1:4]
    args = sys.argv[4:]
    x = np.fromfile(in_path, dtype=np.float32).astype(np.float64)
    if mode == "fft":
        result = fft_blocks(x, int(args[0]), [int(a) for a in args[1:]])
    elif mode == "filterbank":
        rate, nfft, _, nmels, fmin, fmax, _ = config(args)
        result = filterbank(rate, nfft, nmels, fmin, fmax)
    else:
        result = mel_spectrogram(x, *config(args))
    np.ascontiguousarray(result, dtype=np.float64).tofile(out_path)


if __name__ == "__main__":
    main()
