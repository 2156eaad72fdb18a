"""What the generated test networks encode, and how to read it back.

The numbers here are the single source of the encodings that tests/reference/make_rvc_models.py
builds into the networks (its docstring describes every network); the helpers decode the
engine's output and compute, independently of the engine, what it should have fed them.
"""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import numpy as np

F32 = np.float32

OUT_RATE = 40000
FRAME_OUT = 400  # output samples per 10 ms frame at 40 kHz
HOP_IN = 320  # content-encoder stride at 16 kHz
KERNEL_IN = 400  # content-encoder receptive field
FEATURES = 768
BINS = 360
NOISE_CHANNELS = 192

# Content encoder: channels of feature row f; every other channel is 0.
CH_INDEX, CH_FIRST, CH_MEAN, CH_LAST = 0, 1, 2, FEATURES - 1  # f, x[320f], mean, -(f + 1)
HUBERT_SHORT_FRAMES = 16

# Pitch estimator.
GATE_LOG_MEL = -9.0  # a frame is voiced when some mel band exceeds this (silence: ln 1e-5)
PEAK = {98: 0.2, 100: 0.9, 101: 0.45, 104: 0.1, 105: 0.4}  # 105 lies outside the 9-bin window
UNVOICED_PEAK = {100: 0.03}  # a maximum of exactly 0.03 is unvoiced
INDEX_PEAK = 0.9  # rmvpe_index: frame p peaks at bin p mod 360
BAD_BINS = 359

# Voice networks.
ECHO_FIELDS = (
    "pitchf",
    "pitch",
    "content_index",  # phone[t][0]
    "content_first",  # phone[t][1]
    "content_mean",  # phone[t][2]
    "content_last",  # phone[t][767]
    "noise_first",  # noise[0][0][t]
    "noise_last",  # noise[0][191][t]
    "phone_lengths",
    "sid",
    "frame",  # t, counted from 0 in each run
)
ECHO_PHONE = (CH_INDEX, CH_FIRST, CH_MEAN, CH_LAST)
ECHO_NOISE = (0, NOISE_CHANNELS - 1)
FAIL_PITCH = (2, 99)  # voice_fails: a coarse pitch in this range makes Run fail
SHORT_SCALE = 1.0 / 65536  # voice_short: sample i = i / 65536, exact in float
SINE_AMPLITUDE = 0.5


def reference_dir():
    default = Path(__file__).resolve().parents[1] / "reference"
    return Path(os.environ.get("KW_REFERENCE_DIR", default))


def build_models(outdir, *names, rename=None):
    """Writes the named networks and those in rename into outdir (all when neither names any);
    rename maps a network name to the file it is installed as, e.g.
    {"rmvpe_transposed": "rmvpe.onnx"}."""
    rename = dict(rename or {})
    wanted = list(names) + [n for n in rename if n not in names]
    outdir = Path(outdir)
    with tempfile.TemporaryDirectory() as tmp:
        args = ["/usr/bin/python3", str(reference_dir() / "make_rvc_models.py"), tmp]
        if wanted:
            args += ["--only", *wanted]
        subprocess.run(args, check=True, capture_output=True, timeout=60)
        for made in Path(tmp).iterdir():
            target = rename.get(made.stem, made.name)
            shutil.move(str(made), str(outdir / target))


def decode_echo(audio):
    """Per-frame values fed to voice_echo (or voice_fixed200/voice_only400), from its output."""
    audio = np.asarray(audio, dtype=F32)
    if audio.size % FRAME_OUT:
        raise ValueError(f"{audio.size} samples are not whole {FRAME_OUT}-sample frames")
    frames = audio.reshape(-1, FRAME_OUT)
    fields = {name: frames[:, i] for i, name in enumerate(ECHO_FIELDS)}
    fields["padding_max"] = np.abs(frames[:, len(ECHO_FIELDS) :]).max(axis=1)
    return fields


def hubert_features(source):
    """Rows [f, x[320f], mean of x[320f:320f+320], -(f + 1)] for every frame hubert_v2 emits."""
    x = np.asarray(source, dtype=np.float64)
    count = (x.size - KERNEL_IN) // HOP_IN + 1
    f = np.arange(count)
    starts = f * HOP_IN
    means = np.array([x[s : s + HOP_IN].mean() for s in starts])
    return np.stack([f, x[starts], means, -(f + 1.0)], axis=1)


def salience(peaks):
    row = np.zeros(BINS, dtype=F32)
    for i, value in peaks.items():
        row[i] = value
    return row


def index_salience(p):
    return salience({p % BINS: INDEX_PEAK})


def cents(i):
    return 1997.3794 + 20.0 * np.asarray(i, dtype=np.float64)


def decode_salience(row):
    """f0 in Hz of one salience frame, 0.0 when unvoiced (the engine's decoding, in double)."""
    row = np.asarray(row, dtype=np.float64)
    best = int(np.argmax(row))
    if not row[best] > F32(0.03):
        return 0.0
    window = np.arange(max(best - 4, 0), min(best + 4, BINS - 1) + 1)
    total = row[window].sum()
    if not total > 1e-9:
        return 0.0
    c = (row[window] * cents(window)).sum() / total
    return 0.0 if c == 0 else 10.0 * 2.0 ** (c / 1200.0)


def coarse_pitch(f0):
    mel = 1127.0 * np.log(1.0 + f0 / 700.0)
    if mel > 0:
        mel = (mel - 77.75493) * 254.0 / 986.65326 + 1.0
    coarse = 1.0 if mel <= 1 else min(mel, 255.0)
    return int(np.rint(coarse))


def fed_pitch(f0, factor=1.0):
    """("pitchf", "pitch") the engine feeds for a decoded f0 under a pitch factor."""
    if f0 > 0 and factor != 1.0:
        f0 *= factor
    return f0, coarse_pitch(f0)


PEAK_F0 = decode_salience(salience(PEAK))
PEAK_PITCH = coarse_pitch(PEAK_F0)


def index_f0(p):
    return decode_salience(index_salience(p))


def index_of_f0(f0):
    """The rmvpe_index frame p (mod 360) whose peak decodes to f0."""
    return int(np.rint((1200.0 * np.log2(f0 / 10.0) - 1997.3794) / 20.0))


def noise(count, state=0x12345678):
    """(values, state after): the engine's Gaussian noise for count values, in double."""
    values = np.empty(count)
    mask = 0xFFFFFFFF

    def step(x):
        x ^= (x << 13) & mask
        x ^= x >> 17
        x ^= (x << 5) & mask
        return x

    for i in range(0, count, 2):
        state = step(state)
        a = state
        state = step(state)
        b = state
        r = np.sqrt(-2.0 * np.log((a >> 8) * 2.0**-24 + 1e-7))
        theta = 2.0 * np.pi * (b >> 8) * 2.0**-24
        values[i] = r * np.cos(theta)
        if i + 1 < count:
            values[i + 1] = r * np.sin(theta)
    return values, state


def echo_noise(frames, state=0x12345678):
    """(noise_first, noise_last, state after) of one chunk of T frames as voice_echo shows them."""
    values, state = noise(frames * NOISE_CHANNELS, state)
    grid = values.reshape(NOISE_CHANNELS, frames)
    return grid[ECHO_NOISE[0]], grid[ECHO_NOISE[1]], state


def offline_windows(x, chunk_samples):
    """The converter inputs of the offline tool: per chunk 640 samples of history, the chunk and
    320 of look-ahead, zero outside the signal."""
    x = np.asarray(x, dtype=F32)
    padded = np.concatenate([np.zeros(640, F32), x, np.zeros(chunk_samples + 320, F32)])
    return [padded[pos : pos + chunk_samples + 960] for pos in range(0, x.size, chunk_samples)]


def expected_echo(x, chunk_samples, state=0x12345678):
    """Every signal-independent field voice_echo shows for an offline conversion of x (behind
    hubert_v2), frame by frame over whole chunks (the tool cuts the last one); pitch fields are
    left out. content_mean and the noise match to 1e-5, every other field exactly."""
    frames = chunk_samples // 160
    k = np.arange(frames)
    chunks = []
    for window in offline_windows(x, chunk_samples):
        features = hubert_features(window)
        rows = features[np.minimum(k // 2 + 2, len(features) - 1)]
        first, last, state = echo_noise(frames, state)
        chunks.append(
            {
                "content_index": rows[:, 0],
                "content_first": rows[:, 1],
                "content_mean": rows[:, 2],
                "content_last": rows[:, 3],
                "noise_first": first,
                "noise_last": last,
                "phone_lengths": np.full(frames, frames),
                "sid": np.zeros(frames),
                "frame": k,
            }
        )
    return {name: np.concatenate([c[name] for c in chunks]) for name in chunks[0]}


def stretch(src, expected):
    """The engine's linear stretch of a wrong-length voice output, in single precision."""
    src = np.asarray(src, dtype=F32)
    n = src.size
    i = np.arange(expected, dtype=F32)
    p = i * F32(n - 1) / F32(expected - 1)
    i0 = p.astype(np.int64)
    w = p - i0.astype(F32)
    return (F32(1) - w) * src[i0] + w * src[np.minimum(i0 + 1, n - 1)]


def short_output(frames):
    """voice_short's raw output for T frames (T * 400 - 1 samples)."""
    return np.arange(frames * FRAME_OUT - 1, dtype=F32) * F32(SHORT_SCALE)
