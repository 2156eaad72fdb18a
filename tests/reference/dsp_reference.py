#!/usr/bin/python3
"""Independent numpy reading of the offline DSP path.

Test signal generator, WAV files, mixdown, polyphase resampler, effect units,
pitch shifter, effect chain and preset table, all in single precision step by
step (np.float32 scalars and arrays; transcendental functions are evaluated in
double and rounded once, which is what a correctly rounded libm returns).
The pitch shifter uses numpy's FFT: only float noise separates it from the
engine's own transform.

Usage as a script:
  dsp_reference.py --gen-test-wav <out.wav> [--seconds N]
  dsp_reference.py --selftestdsp <preset> <in.wav> <out.wav>
  dsp_reference.py <in.f32> <out.f64> chain <preset>
  dsp_reference.py <in.f32> <out.f64> resample <inRate> <outRate> <tapsPerPhase>
  dsp_reference.py <in.f32> <out.f64> gen <seconds>
"""

import struct
import sys

import numpy as np

F = np.float32
PI = F(3.1415927)
TWO_PI = F(6.2831855)
ZERO, HALF, ONE, TWO = F(0), F(0.5), F(1), F(2)


def _libm(fn, x):
    """A single-precision libm call: exact in double, rounded once to float."""
    if isinstance(x, np.ndarray):
        return fn(x.astype(np.float64)).astype(F)
    return F(fn(np.float64(x)))


def sinf(x):
    return _libm(np.sin, x)


def cosf(x):
    return _libm(np.cos, x)


def expf(x):
    return _libm(np.exp, x)


def tanhf(x):
    return _libm(np.tanh, x)


def atan2f(y, x):
    return np.arctan2(y.astype(np.float64), x.astype(np.float64)).astype(F)


# ---------------------------------------------------------------- WAV files


def wav_read(path):
    """Returns (samples float32 interleaved, rate, channels); raises OSError with the
    engine's message text."""
    try:
        with open(path, "rb") as fh:
            blob = fh.read()
    except OSError:
        raise OSError("kann nicht öffnen: " + path) from None
    if len(blob) < 12 or blob[0:4] != b"RIFF" or blob[8:12] != b"WAVE":
        raise OSError("kein RIFF/WAVE: " + path)
    pos = 12
    fmt = None
    data = None
    while pos + 8 <= len(blob):
        ident = blob[pos : pos + 4]
        size = struct.unpack_from("<I", blob, pos + 4)[0]
        pos += 8
        if ident == b"fmt ":
            field = bytearray(40)
            part = blob[pos : pos + min(size, 40)]
            field[: len(part)] = part
            tag, ch, rate = struct.unpack_from("<HHI", field, 0)
            bits = struct.unpack_from("<H", field, 14)[0]
            fmt = (tag, ch, rate, bits)
        elif ident == b"data":
            raw = blob[pos : pos + size]
            data = raw + bytes(size - len(raw))
            break
        pos += size + (size & 1)
    if fmt is None or data is None:
        raise OSError("fmt/data-Chunk fehlt: " + path)
    tag, ch, rate, bits = fmt
    if tag not in (1, 3):
        raise OSError("nur PCM16/Float32 unterstützt")
    if tag == 1 and bits != 16:
        raise OSError("nur 16-bit PCM unterstützt")
    width = 2 if tag == 1 else 4
    count = len(data) // width
    count -= count % ch
    if tag == 1:
        pcm = np.frombuffer(data, "<i2", count)
        samples = pcm.astype(F) * F(3.0517578125e-05)
    else:
        samples = np.frombuffer(data, "<f4", count).astype(F)
    rate = struct.unpack("<i", struct.pack("<I", rate))[0]
    return samples, rate, ch


def wav_header(n, rate):
    """The 44-byte header of a mono float32 file of n samples."""
    return struct.pack(
        "<4sI4s4sIHHIIHH4sI",
        b"RIFF",
        (36 + 4 * n) & 0xFFFFFFFF,
        b"WAVE",
        b"fmt ",
        16,
        3,
        1,
        rate,
        4 * rate,
        4,
        32,
        b"data",
        (4 * n) & 0xFFFFFFFF,
    )


def wav_write_float(path, samples, rate):
    samples = np.asarray(samples, F)
    with open(path, "wb") as fh:
        fh.write(wav_header(len(samples), rate))
        fh.write(samples.astype("<f4").tobytes())


def wav_write_pcm16(path, samples, rate, channels):
    """Test input writer: interleaved int16 samples as a plain PCM file."""
    pcm = np.asarray(samples, "<i2")
    fmt = struct.pack("<HHIIHH", 1, channels, rate, 2 * channels * rate, 2 * channels, 16)
    body = b"WAVE" + b"fmt " + struct.pack("<I", 16) + fmt
    body += b"data" + struct.pack("<I", 2 * len(pcm)) + pcm.tobytes()
    with open(path, "wb") as fh:
        fh.write(b"RIFF" + struct.pack("<I", len(body)) + body)


def wav_write_float_multi(path, interleaved, rate, channels):
    """Test input writer: interleaved float32 samples with any channel count."""
    data = np.asarray(interleaved, "<f4").tobytes()
    fmt = struct.pack("<HHIIHH", 3, channels, rate, 4 * channels * rate, 4 * channels, 32)
    body = b"WAVE" + b"fmt " + struct.pack("<I", 16) + fmt
    body += b"data" + struct.pack("<I", len(data)) + data
    with open(path, "wb") as fh:
        fh.write(b"RIFF" + struct.pack("<I", len(body)) + body)


def mixdown(samples, channels):
    frames = len(samples) // channels
    acc = np.zeros(frames, F)
    for c in range(channels):
        acc = acc + samples[c : frames * channels : channels]
    return acc / F(channels)


# ---------------------------------------------------------------- test signal


def gen_test_signal(seconds):
    s = F(seconds)
    n = int(F(16000.0) * s)
    t = np.arange(n).astype(F) / F(16000.0)
    f0 = np.where(
        t < F(1.5),
        (t / F(1.5)) * F(130) + F(100),
        np.where(t < F(3.0), F(230) - ((t - F(1.5)) / F(1.5)) * F(90), F(140)),
    ).astype(F)
    f = (F(0.02) * sinf(F(34.557491) * t) + ONE) * f0
    a = sinf(F(20.734495) * t)
    env = F(0.5) * a + F(0.5)
    env = env * env
    # a running single-precision sum, never reduced modulo 2*pi
    phase = np.add.accumulate((F(6.28318) * f) / F(16000), dtype=F)

    def g(x, c, v):
        return expf(((x - F(c)) * F(-0.5) * (x - F(c))) / F(v))

    h = np.zeros(n, F)
    alive = np.ones(n, bool)
    for k in range(1, 11):
        fk = f * F(k)
        alive &= ~(fk > F(7500))
        w = ((g(fk, 700, 62500) + F(0.25)) + F(0.7) * g(fk, 1200, 122500)) + F(0.5) * g(
            fk, 2600, 250000
        )
        h = np.where(alive, h + (w / F(k)) * sinf(phase * F(k)), h).astype(F)

    r = 0xC0FFEE
    u = np.empty(n, np.uint32)
    for i in range(n):
        r ^= (r << 13) & 0xFFFFFFFF
        r ^= r >> 17
        r ^= (r << 5) & 0xFFFFFFFF
        u[i] = (r >> 8) & 0xFFFF
    noise = u.astype(F) * F(3.0517578e-5) - ONE
    return (((noise * F(0.06)) * env + env * h) * F(0.35)).astype(F)


# ---------------------------------------------------------------- resampler

RESAMPLER_ERROR = "Resampler: unplausibles Verhältnis"
MAX_RATIO_TERM = 1024  # the engine accepts terms up to 1024 so that 44100 -> 48000 works


class PolyphaseResampler:
    def __init__(self, in_rate, out_rate, taps_per_phase):
        if out_rate == 0:
            raise RuntimeError(RESAMPLER_ERROR)
        a, b = abs(in_rate), abs(out_rate)
        while b:
            a, b = b, a % b
        g = a
        self.up = out_rate // g
        self.down = in_rate // g
        if not (1 <= self.up <= MAX_RATIO_TERM and 1 <= self.down <= MAX_RATIO_TERM):
            raise RuntimeError(RESAMPLER_ERROR)
        n = taps_per_phase * self.up
        self.n = n
        fc = min(in_rate, out_rate) * 0.46 / (in_rate * self.up)
        i = np.arange(n + 1, dtype=np.float64)
        d = i - n * 0.5
        arg = 2 * np.pi * fc * np.where(d == 0, 1.0, d)
        s = np.where(d == 0, 2 * fc, 2 * fc * np.sin(arg) / arg)
        w = 0.5 - 0.5 * np.cos(2 * np.pi * i / n)
        taps = (w * s).astype(F)
        total = np.add.reduce(taps[:: self.up].astype(np.float64))
        if abs(total) > 1e-9:
            taps = taps * F(1.0 / total)
        self.taps = taps.astype(F)
        self.history = np.zeros(0, F)
        self.base = 0
        self.count = 0

    def _span(self, m):
        p = m * self.down
        first = p // self.up - (self.n // 2) // self.up
        return p, first, first + self.n // self.up

    def push(self, x):
        self.history = np.concatenate([self.history, np.asarray(x, F)])
        end = self.base + len(self.history)
        # the last pending output whose input has fully arrived (span is monotone in m)
        lo, hi = self.count, max(self.count, end * self.up // self.down + 2)
        while lo < hi:
            mid = (lo + hi) // 2
            if self._span(mid)[2] >= end:
                hi = mid
            else:
                lo = mid + 1
        m = np.arange(self.count, lo, dtype=np.int64)
        p, first, _ = self._span(m)
        y = np.zeros(len(m), F)
        for j in range(self.n // self.up + 1):
            k = first + j
            tap = self.n // 2 + k * self.up - p
            ok = (tap >= 0) & (tap <= self.n) & (k >= self.base)
            xs = self.history[np.where(ok, k - self.base, 0)]
            hs = self.taps[np.where(ok, tap, 0)]
            y = y + np.where(ok, hs * xs, ZERO).astype(F)
        self.count = lo
        drop = min(max(int(self._span(self.count)[1]) - self.base, 0), len(self.history))
        self.history = self.history[drop:]
        self.base += drop
        return y


# ---------------------------------------------------------------- effect units


class Biquad:
    HIGH_PASS, LOW_PASS, HIGH_SHELF = 0, 1, 2

    def __init__(self):
        self.active = False
        self.b0, self.b1, self.b2, self.a1, self.a2 = ONE, ZERO, ZERO, ZERO, ZERO
        self.z1 = self.z2 = ZERO

    def set(self, kind, f0, q, gain_db, rate):
        amp = F(np.power(10.0, np.float64(F(gain_db) / F(40))))
        w0 = (TWO_PI * F(f0)) / F(rate)
        s, c = sinf(w0), cosf(w0)
        if kind in (self.HIGH_PASS, self.LOW_PASS):
            alpha = s / (TWO * F(q))
            if kind == self.HIGH_PASS:
                b0 = (ONE + c) / TWO
                b1 = -(ONE + c)
            else:
                b0 = (ONE - c) / TWO
                b1 = ONE - c
            b2 = b0
            a0, a1, a2 = ONE + alpha, F(-2) * c, ONE - alpha
        else:
            alpha = (s / TWO) * np.sqrt((amp + ONE / amp) * F(0.11111116) + TWO)
            k = TWO * np.sqrt(amp) * alpha
            b0 = amp * ((amp + ONE) + (amp - ONE) * c + k)
            b1 = F(-2) * amp * ((amp - ONE) + (amp + ONE) * c)
            b2 = amp * ((amp + ONE) + (amp - ONE) * c - k)
            a0 = (amp + ONE) - (amp - ONE) * c + k
            a1 = TWO * ((amp - ONE) - (amp + ONE) * c)
            a2 = (amp + ONE) - (amp - ONE) * c - k
        self.b0, self.b1, self.b2 = b0 / a0, b1 / a0, b2 / a0
        self.a1, self.a2 = a1 / a0, a2 / a0
        self.active = True
        self.z1 = self.z2 = ZERO

    def process(self, x):
        b0, b1, b2, a1, a2 = self.b0, self.b1, self.b2, self.a1, self.a2
        z1, z2 = self.z1, self.z2
        out = np.empty_like(x)
        for i, v in enumerate(x):
            y = b0 * v + z1
            z1 = b1 * v - a1 * y + z2
            z2 = b2 * v - a2 * y
            out[i] = y
        self.z1, self.z2 = z1, z2
        return out


class RingMod:
    def __init__(self):
        self.active = False
        self.phase = self.inc = self.mix = ZERO

    def set(self, freq, mix, rate):
        self.mix = F(mix)
        self.inc = F(freq) / F(rate)
        self.active = F(freq) > F(0.01) and F(mix) > F(0.001)
        self.phase = ZERO

    def process(self, x):
        phases = np.empty(len(x), F)
        p, inc = self.phase, self.inc
        for i in range(len(x)):
            phases[i] = p
            p = p + inc
            if p >= ONE:
                p = p - ONE
        self.phase = p
        m = sinf(TWO_PI * phases)
        return (ONE - self.mix) * x + (m * x) * self.mix


class Echo:
    def __init__(self):
        self.active = False

    def set(self, mix, delay_ms, feedback, rate):
        self.mix, self.feedback = F(mix), F(feedback)
        self.delay = int((F(delay_ms) * F(0.001)) * F(rate))
        self.line = np.zeros(self.delay + 1, F)
        self.pos = 0
        self.active = self.mix > F(0.001) and self.delay > 8

    def process(self, x):
        out = np.empty_like(x)
        length = self.delay + 1
        start = 0
        # no sample in a run of at most `delay` reads what the same run writes
        while start < len(x):
            c = min(self.delay, len(x) - start)
            xs = x[start : start + c]
            w = (self.pos + np.arange(c)) % length
            d = self.line[(w + 1) % length]
            self.line[w] = np.clip(xs + self.feedback * d, F(-1.2), F(1.2))
            out[start : start + c] = (ONE - self.mix) * xs + self.mix * d
            self.pos = (self.pos + c) % length
            start += c
        return out


class Reverb:
    COMB_T = (1116, 1188, 1277, 1356)
    ALLP_T = (556, 441)

    def __init__(self):
        self.active = False

    def set(self, mix, rate):
        self.mix = F(mix)
        scale = F(rate) / F(44100)
        self.comb_len = [max(int(F(n) * scale), 16) for n in self.COMB_T]
        self.allp_len = [max(int(F(n) * scale), 8) for n in self.ALLP_T]
        self.combs = [[np.zeros(n, F), 0, ZERO] for n in self.comb_len]
        self.allps = [[np.zeros(n, F), 0] for n in self.allp_len]
        self.active = self.mix > F(0.001)

    def process(self, x):
        fb, damp_keep, damp_take, g = F(0.78), F(0.8), F(0.2), F(0.5)
        out = np.empty_like(x)
        wet = self.mix * F(0.6)
        dry = ONE - self.mix
        for i, v in enumerate(x):
            s = ZERO
            for comb in self.combs:
                buf, pos, damp = comb
                y = buf[pos]
                s = s + y
                damp = damp * damp_keep + y * damp_take
                buf[pos] = v + damp * fb
                comb[1] = (pos + 1) % len(buf)
                comb[2] = damp
            s = s * F(0.25)
            for allp in self.allps:
                buf, pos = allp
                b = buf[pos]
                buf[pos] = g * b + s
                s = b - g * s
                allp[1] = (pos + 1) % len(buf)
            out[i] = dry * v + wet * s
        return out


# ---------------------------------------------------------------- pitch shifter


class PitchShifter:
    def __init__(self, frame_size=1024, osamp=8, rate=48000.0):
        n = frame_size
        self.n, self.osamp, self.rate = n, osamp, F(rate)
        self.rover = 0
        self.in_fifo = np.zeros(n, F)
        self.out_fifo = np.zeros(n, F)
        self.last_phase = np.zeros(n // 2 + 1, F)
        self.phase_sum = np.zeros(n // 2 + 1, F)
        self.acc = np.zeros(2 * n, F)
        k = np.arange(n).astype(F)
        self.window = HALF - HALF * cosf((TWO_PI * k) / F(n))

    def process(self, ratio, x):
        n, hop = self.n, self.n // self.osamp
        ratio = F(ratio)
        if not ratio > F(0.02):
            ratio = F(0.02)
        ratio = min(ratio, F(n // 2))  # the engine clamps the ratio to N/2
        if abs(ratio - ONE) < F(0.0001):
            return np.array(x, F)
        latency = n - hop
        if self.rover == 0:
            self.rover = latency
        out = np.empty(len(x), F)
        pos = 0
        while pos < len(x):
            c = min(n - self.rover, len(x) - pos)
            self.in_fifo[self.rover : self.rover + c] = x[pos : pos + c]
            out[pos : pos + c] = self.out_fifo[self.rover - latency : self.rover - latency + c]
            self.rover += c
            pos += c
            if self.rover >= n:
                self.rover = latency
                self._frame(ratio, hop, latency)
        return out

    def _frame(self, ratio, hop, latency):
        n, half, osamp = self.n, self.n // 2, F(self.osamp)
        bin_width = self.rate / F(n)
        expected = (TWO_PI * F(hop)) / F(n)
        k = np.arange(half + 1).astype(F)

        spectrum = np.fft.fft((self.in_fifo * self.window).astype(np.float64))[: half + 1]
        re, im = spectrum.real.astype(F), spectrum.imag.astype(F)
        magnitude = TWO * np.sqrt(re * re + im * im)
        phase = atan2f(im, re)
        d = phase - self.last_phase
        self.last_phase = phase
        d = d - k * expected
        q = np.trunc(d / PI).astype(np.int64)
        q = np.where(q >= 0, q + (q & 1), q - (q & 1))
        d = d - PI * q.astype(F)
        ana_freq = k * bin_width + ((osamp * d) / TWO_PI) * bin_width

        syn_mag = np.zeros(half + 1, F)
        syn_freq = np.zeros(half + 1, F)
        target = np.trunc(k * ratio).astype(np.int64)
        keep = target <= half
        np.add.at(syn_mag, target[keep], magnitude[keep])
        src = np.nonzero(keep)[0]
        last = np.r_[target[src][1:] != target[src][:-1], True]  # the last source bin wins
        syn_freq[target[src][last]] = ana_freq[src][last] * ratio

        d = (syn_freq - k * bin_width) / bin_width
        d = (TWO_PI * d) / osamp
        d = d + k * expected
        self.phase_sum = (self.phase_sum + d).astype(F)
        full = np.zeros(n, np.complex128)
        full[: half + 1] = (syn_mag * cosf(self.phase_sum)).astype(np.float64) + 1j * (
            syn_mag * sinf(self.phase_sum)
        ).astype(np.float64)
        y = (np.fft.ifft(full) * n).real.astype(F)

        self.acc[:n] = self.acc[:n] + ((TWO * self.window) * y) / F(half * self.osamp)
        self.out_fifo[:hop] = self.acc[:hop]
        self.acc = np.concatenate([self.acc[hop:], np.zeros(hop, F)])
        self.in_fifo[:latency] = self.in_fifo[hop:n].copy()


# ---------------------------------------------------------------- chain and presets

FIELDS = (
    "pitchRatio",
    "formant",
    "ringHz",
    "ringMix",
    "highpassHz",
    "lowpassHz",
    "drive",
    "echoMix",
    "echoMs",
    "echoFeedback",
    "reverbMix",
    "gain",
)
DEFAULTS = (1.0, 0, 0, 0, 0, 0, 0, 0, 280, 0.35, 0, 1.0)
PRESETS = {
    "original": DEFAULTS,
    "bypass": DEFAULTS,
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
LISTED = (
    "original roboter daemon tief chipmunk yuki lena funk radio studio asmr alien cyborg echo"
).split()


def preset_by_name(name):
    """Returns (params dict of float32, ok)."""
    row = PRESETS.get(name)
    return dict(zip(FIELDS, map(F, row or DEFAULTS))), row is not None


def shifts_pitch(params):
    return not abs(params["pitchRatio"] - ONE) < F(0.0001)


class DspChain:
    """One-channel chain, the configuration the offline tool runs."""

    def __init__(self, params, rate=48000.0):
        p = self.params = params
        self.rate = F(rate)
        self.shifter = PitchShifter(1024, 8, rate)
        self.ring = RingMod()
        self.ring.set(p["ringHz"], p["ringMix"], rate)
        self.shelf, self.highpass, self.lowpass = Biquad(), Biquad(), Biquad()
        if abs(p["formant"]) > F(0.05):
            self.shelf.set(Biquad.HIGH_SHELF, 3000, 0.707, p["formant"], rate)
        if p["highpassHz"] > ONE:
            self.highpass.set(Biquad.HIGH_PASS, p["highpassHz"], 0.707, 0, rate)
        if p["lowpassHz"] > ONE:
            self.lowpass.set(Biquad.LOW_PASS, p["lowpassHz"], 0.707, 0, rate)
        self.echo = Echo()
        self.echo.set(p["echoMix"], p["echoMs"], p["echoFeedback"], rate)
        self.reverb = Reverb()
        self.reverb.set(p["reverbMix"], rate)

    def latency_samples(self):
        if not shifts_pitch(self.params):
            return 0
        return self.shifter.n - self.shifter.n // self.shifter.osamp

    def process(self, x):
        p = self.params
        x = np.asarray(x, F)
        if shifts_pitch(p) and len(x) <= 8192:
            x = self.shifter.process(p["pitchRatio"], x)
        if self.ring.active:
            x = self.ring.process(x)
        for unit in (self.shelf, self.highpass, self.lowpass):
            if unit.active:
                x = unit.process(x)
        if p["drive"] > F(0.01):
            x = tanhf(p["drive"] * x)
        if self.echo.active:
            x = self.echo.process(x)
        if self.reverb.active:
            x = self.reverb.process(x)
        x = x * p["gain"]
        # the engine stores 0 for NaN in the final limit
        return np.where(np.isnan(x), ZERO, np.clip(x, F(-1.5), F(1.5))).astype(F)


def run_chain(params, x, block=480):
    chain = DspChain(params)
    out = np.zeros(len(x), F)
    for start in range(0, len(x), block):
        out[start : start + block] = chain.process(x[start : start + block])
    return out, chain.latency_samples()


def selftestdsp(preset, in_path):
    """The offline tool's result: (48 kHz output, latency). Raises OSError, RuntimeError
    or ValueError with the engine's message for an unreadable input, a refused rate or an
    unknown preset."""
    samples, rate, channels = wav_read(in_path)
    x = mixdown(samples, channels)
    if rate != 48000:
        x = PolyphaseResampler(rate, 48000, 16).push(x)
    params, ok = preset_by_name(preset)
    if not ok:
        raise ValueError("unbekanntes Preset '%s'" % preset)
    return run_chain(params, x)


def _main(argv):
    if argv[0] == "--gen-test-wav":
        seconds = 4.0
        for i in range(2, len(argv) - 1):
            if argv[i] == "--seconds":
                seconds = float(argv[i + 1])
        wav_write_float(argv[1], gen_test_signal(seconds), 16000)
    elif argv[0] == "--selftestdsp":
        out, _ = selftestdsp(argv[1], argv[2])
        wav_write_float(argv[3], out, 48000)
    else:
        x = np.fromfile(argv[0], F)
        op, args = argv[2], argv[3:]
        if op == "chain":
            params, ok = preset_by_name(args[0])
            if not ok:
                raise SystemExit("unknown preset " + args[0])
            y = run_chain(params, x)[0]
        elif op == "resample":
            y = PolyphaseResampler(int(args[0]), int(args[1]), int(args[2])).push(x)
        elif op == "gen":
            y = gen_test_signal(float(args[0]))
        else:
            raise SystemExit("unknown operation " + op)
        y.astype(np.float64).tofile(argv[1])


if __name__ == "__main__":
    _main(sys.argv[1:])
