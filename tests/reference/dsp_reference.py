"""Independent numpy reading of the offline DSP path: WAV reading, mixdown, the test signal, the
effect units, the pitch shifter, the chain and the presets, in single precision step by step
(transcendental functions in double, rounded once, as a correctly rounded libm returns them).
The pitch shifter uses numpy's FFT, and resampling is the textbook one of frontend_reference."""

import pathlib
import struct

import numpy as np

from frontend_reference import resample

F = np.float32
PI, TWO_PI, ONE, TWO = F(3.1415927), F(6.2831855), F(1), F(2)


def libm(fn, x):
    return fn(np.asarray(x, np.float64)).astype(F)


def wav_read(path):
    """(samples, rate, channels) of a plain file: a fmt chunk of 16 bytes, then the data."""
    blob = pathlib.Path(path).read_bytes()
    tag, channels, rate = struct.unpack_from("<HHI", blob, 20)
    data = blob[44:44 + struct.unpack_from("<I", blob, 40)[0]]
    count = len(data) // (2 if tag == 1 else 4) // channels * channels
    if tag == 1:
        return np.frombuffer(data, "<i2", count).astype(F) * F(3.0517578125e-05), rate, channels
    return np.frombuffer(data, "<f4", count).astype(F), rate, channels


def wav_header(n, rate):
    """The 44-byte header of a mono float file of n samples."""
    return struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + 4 * n, b"WAVE", b"fmt ", 16, 3, 1, rate,
                       4 * rate, 4, 32, b"data", 4 * n)


def mixdown(samples, channels):
    frames = len(samples) // channels
    acc = np.zeros(frames, F)
    for c in range(channels):
        acc = acc + samples[c:frames * channels:channels]
    return acc / F(channels)


def gen_test_signal(seconds):
    n = int(F(16000) * F(seconds))
    t = np.arange(n).astype(F) / F(16000)
    f0 = np.where(t < F(1.5), (t / F(1.5)) * F(130) + F(100),
                  np.where(t < F(3), F(230) - ((t - F(1.5)) / F(1.5)) * F(90), F(140))).astype(F)
    f = (F(0.02) * libm(np.sin, F(34.557491) * t) + ONE) * f0
    env = F(0.5) * libm(np.sin, F(20.734495) * t) + F(0.5)
    env = env * env
    phase = np.add.accumulate((F(6.28318) * f) / F(16000), dtype=F)  # never reduced by 2 pi

    def g(x, c, v):
        return libm(np.exp, ((x - F(c)) * F(-0.5) * (x - F(c))) / F(v))

    h, alive = np.zeros(n, F), np.ones(n, bool)
    for k in range(1, 11):
        fk = f * F(k)
        alive &= ~(fk > F(7500))
        w = ((g(fk, 700, 62500) + F(0.25)) + F(0.7) * g(fk, 1200, 122500)) + F(0.5) * g(fk, 2600, 250000)
        h = np.where(alive, h + (w / F(k)) * libm(np.sin, phase * F(k)), h).astype(F)
    r, u = 0xC0FFEE, np.empty(n, np.uint32)
    for i in range(n):
        r ^= (r << 13) & 0xFFFFFFFF
        r ^= r >> 17
        r ^= (r << 5) & 0xFFFFFFFF
        u[i] = (r >> 8) & 0xFFFF
    noise = u.astype(F) * F(3.0517578e-5) - ONE
    return (((noise * F(0.06)) * env + env * h) * F(0.35)).astype(F)


def biquad(x, kind, f0, q, gain_db, rate):
    """Cookbook filter: kind 0 high-pass, 1 low-pass, else a high shelf of slope 0.9."""
    a, w0 = F(10.0 ** float(F(gain_db) / F(40))), (TWO_PI * F(f0)) / F(rate)
    s, c = libm(np.sin, w0), libm(np.cos, w0)
    if kind in (0, 1):
        b0, b1 = ((ONE + c) / TWO, -(ONE + c)) if kind == 0 else ((ONE - c) / TWO, ONE - c)
        b2, a0, a1, a2 = b0, ONE + s / (TWO * F(q)), F(-2) * c, ONE - s / (TWO * F(q))
    else:
        alpha = (s / TWO) * np.sqrt((a + ONE / a) * F(0.11111116) + TWO)
        k = TWO * np.sqrt(a) * alpha
        b0 = a * ((a + ONE) + (a - ONE) * c + k)
        b1 = F(-2) * a * ((a - ONE) + (a + ONE) * c)
        b2 = a * ((a + ONE) + (a - ONE) * c - k)
        a0 = (a + ONE) - (a - ONE) * c + k
        a1 = TWO * ((a - ONE) - (a + ONE) * c)
        a2 = (a + ONE) - (a - ONE) * c - k
    b0, b1, b2, a1, a2 = b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0
    out, z1, z2 = np.empty_like(x), F(0), F(0)
    for i, v in enumerate(x):
        y = b0 * v + z1
        z1 = b1 * v - a1 * y + z2
        z2 = b2 * v - a2 * y
        out[i] = y
    return out


def ring(x, hz, mix, rate):
    phases, p, inc = np.empty(len(x), F), F(0), F(hz) / F(rate)
    for i in range(len(x)):
        phases[i] = p
        p = p + inc
        if p >= ONE:
            p = p - ONE
    return (ONE - F(mix)) * x + (libm(np.sin, TWO_PI * phases) * x) * F(mix)


def echo(x, mix, delay_ms, feedback, rate):
    mix, feedback = F(mix), F(feedback)
    delay = int((F(delay_ms) * F(0.001)) * F(rate))
    line, out = np.zeros(len(x) + delay, F), np.empty_like(x)
    for i, v in enumerate(x):  # line[i] is what was written delay samples before sample i
        d = line[i]
        line[i + delay] = min(max(v + feedback * d, F(-1.2)), F(1.2))
        out[i] = (ONE - mix) * v + mix * d
    return out


def reverb(x, mix, rate):
    scale = F(rate) / F(44100)
    combs = [[np.zeros(max(int(F(n) * scale), 16), F), 0, F(0)] for n in (1116, 1188, 1277, 1356)]
    allps = [[np.zeros(max(int(F(n) * scale), 8), F), 0] for n in (556, 441)]
    out, g = np.empty_like(x), F(0.5)
    for i, v in enumerate(x):
        s = F(0)
        for comb in combs:
            buf, pos, damp = comb
            y = buf[pos]
            s = s + y
            comb[2] = damp * F(0.8) + y * F(0.2)
            buf[pos] = v + comb[2] * F(0.78)
            comb[1] = (pos + 1) % len(buf)
        s = s * F(0.25)
        for allp in allps:
            buf, pos = allp
            b = buf[pos]
            buf[pos] = g * b + s
            s = b - g * s
            allp[1] = (pos + 1) % len(buf)
        out[i] = (ONE - F(mix)) * v + F(mix) * F(0.6) * s
    return out


class PitchShifter:
    """Phase vocoder, frame 1024, oversampling 8; its state carries across blocks."""

    def __init__(self, rate, n=1024, osamp=8):
        self.n, self.osamp, self.rate, self.rover = n, osamp, F(rate), 0
        self.in_fifo, self.out_fifo, self.acc = np.zeros(n, F), np.zeros(n, F), np.zeros(2 * n, F)
        self.last, self.sum = np.zeros(n // 2 + 1, F), np.zeros(n // 2 + 1, F)
        self.window = F(0.5) - F(0.5) * libm(np.cos, (TWO_PI * np.arange(n).astype(F)) / F(n))

    def process(self, ratio, x):
        n, hop = self.n, self.n // self.osamp
        latency, out, pos = n - hop, np.empty(len(x), F), 0
        self.rover = self.rover or latency
        while pos < len(x):
            c = min(n - self.rover, len(x) - pos)
            self.in_fifo[self.rover:self.rover + c] = x[pos:pos + c]
            out[pos:pos + c] = self.out_fifo[self.rover - latency:self.rover - latency + c]
            self.rover, pos = self.rover + c, pos + c
            if self.rover >= n:
                self.rover = latency
                self.frame(F(ratio), hop, latency)
        return out

    def frame(self, ratio, hop, latency):
        n, half, osamp = self.n, self.n // 2, F(self.osamp)
        width, expected = self.rate / F(n), (TWO_PI * F(hop)) / F(n)
        k = np.arange(half + 1).astype(F)
        spectrum = np.fft.fft((self.in_fifo * self.window).astype(np.float64))[:half + 1]
        re, im = spectrum.real.astype(F), spectrum.imag.astype(F)
        phase = np.arctan2(im.astype(np.float64), re.astype(np.float64)).astype(F)
        d = phase - self.last - k * expected
        self.last = phase
        q = np.trunc(d / PI).astype(np.int64)
        d = d - PI * np.where(q >= 0, q + (q & 1), q - (q & 1)).astype(F)
        freq = k * width + ((osamp * d) / TWO_PI) * width
        magnitude, target = TWO * np.sqrt(re * re + im * im), np.trunc(k * ratio).astype(np.int64)
        keep = np.nonzero(target <= half)[0]
        syn_mag, syn_freq = np.zeros(half + 1, F), np.zeros(half + 1, F)
        np.add.at(syn_mag, target[keep], magnitude[keep])
        last = np.r_[target[keep][1:] != target[keep][:-1], True]  # the last source bin wins
        syn_freq[target[keep][last]] = freq[keep][last] * ratio
        step = (TWO_PI * ((syn_freq - k * width) / width)) / osamp + k * expected
        self.sum = (self.sum + step).astype(F)
        full = np.zeros(n, np.complex128)
        full[:half + 1] = syn_mag * libm(np.cos, self.sum) + 1j * (syn_mag * libm(np.sin, self.sum))
        y = (np.fft.ifft(full) * n).real.astype(F)
        self.acc[:n] = self.acc[:n] + ((TWO * self.window) * y) / F(half * self.osamp)
        self.out_fifo[:hop] = self.acc[:hop]
        self.acc = np.concatenate([self.acc[hop:], np.zeros(hop, F)])
        self.in_fifo[:latency] = self.in_fifo[hop:].copy()


# pitchRatio formant ringHz ringMix highpassHz lowpassHz drive echoMix echoMs echoFeedback reverbMix gain
PRESETS = {
    "original": (1.0, 0, 0, 0, 0, 0, 0, 0, 280, 0.35, 0, 1.0),
    "roboter": (1.0, 0, 35, 0.85, 500, 2500, 2.0, 0, 280, 0.35, 0, 1.2),
    "daemon": (0.72, -3, 0, 0, 0, 900, 3.0, 0, 280, 0.35, 0.22, 1.5),
    "tief": (0.8, 0, 0, 0, 0, 2400, 0, 0, 280, 0.35, 0.1, 1.3),
    "chipmunk": (1.55, 4, 0, 0, 500, 0, 0, 0, 280, 0.35, 0, 1.0),
    "yuki": (1.25, 5, 0, 0, 0, 0, 0, 0, 280, 0.35, 0, 1.0),
    "lena": (1.12, 2, 0, 0, 0, 0, 0, 0, 280, 0.35, 0, 1.0),
    "funk": (1.0, 0, 0, 0, 450, 3200, 4.0, 0, 280, 0.35, 0, 1.4),
    "radio": (1.0, 0, 0, 0, 450, 3200, 4.0, 0, 280, 0.35, 0, 1.4),
    "studio": (1.0, 2, 0, 0, 0, 0, 1.2, 0, 280, 0.35, 0, 1.15),
    "asmr": (1.0, 3, 0, 0, 300, 0, 0, 0, 280, 0.35, 0.18, 1.5),
    "alien": (1.3, 3, 60, 0.4, 0, 0, 0, 0, 280, 0.35, 0.3, 1.0),
    "cyborg": (0.9, 0, 25, 0.55, 0, 3000, 1.5, 0, 280, 0.35, 0, 1.0),
    "echo": (1.0, 0, 0, 0, 0, 0, 0, 0.45, 300, 0.4, 0, 1.0),
}
LISTED = list(PRESETS)
PRESETS["bypass"] = PRESETS["original"]


def chain(preset, x, rate=48000, block=480):
    """The one-channel chain of a preset over x in blocks; (output, latency in samples)."""
    ratio, formant, ring_hz, ring_mix, hp, lp, drive, e_mix, e_ms, e_fb, rev, gain = map(F, PRESETS[preset])
    shifting = not abs(ratio - ONE) < F(0.0001)
    if shifting:
        shifter = PitchShifter(rate)
        x = np.concatenate([shifter.process(ratio, x[i:i + block]) for i in range(0, len(x), block)])
    if ring_hz > F(0.01) and ring_mix > F(0.001):
        x = ring(x, ring_hz, ring_mix, rate)
    if abs(formant) > F(0.05):
        x = biquad(x, 2, 3000, 0.707, formant, rate)
    if hp > ONE:
        x = biquad(x, 0, hp, 0.707, 0, rate)
    if lp > ONE:
        x = biquad(x, 1, lp, 0.707, 0, rate)
    if drive > F(0.01):
        x = libm(np.tanh, drive * x)
    if e_mix > F(0.001) and int((e_ms * F(0.001)) * F(rate)) > 8:
        x = echo(x, e_mix, e_ms, e_fb, rate)
    if rev > F(0.001):
        x = reverb(x, rev, rate)
    return np.clip(x * gain, F(-1.5), F(1.5)).astype(F), 896 if shifting else 0


def selftestdsp(preset, path):
    """What --selftestdsp writes for a preset and an input file: (samples, latency)."""
    samples, rate, channels = wav_read(path)
    x = mixdown(samples, channels)
    if rate != 48000:
        x = resample(x.astype(np.float64), rate, 48000, 16).astype(F)
    return chain(preset, x)
