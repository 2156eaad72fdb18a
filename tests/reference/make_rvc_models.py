#!/usr/bin/python3
"""Writes small deterministic stand-ins for the three networks of neural voice conversion.

Usage: make_rvc_models.py <outdir> [--only NAME ...]   (NAME with or without ".onnx")

They meet (or deliberately break) the model file contract and echo what the engine fed them, so a
test can follow a signal through the whole conversion. Each runs in well under a millisecond.
The numbers below live in tests/e2e/rvc_models.py, which also decodes the outputs.

Content encoders (input "source" float [1, N], output "embed" float [1, F, 768]):
  hubert_v2         F = floor((N - 400) / 320) + 1, like a conv front end with kernel 400 and
                    stride 320. Row f: channel 0 = f, channel 1 = x[320 f] (first sample of its
                    window), channel 2 = mean of x[320 f .. 320 f + 319] (its stride), channel
                    767 = -(f + 1), every other channel 0.
  hubert_short      the same rows, but only the first min(F, 16).
  hubert_badshape   the same rows cut to 767 channels: [1, F, 767].

Pitch estimators (input "mel" float [1, 128, P], output "salience"):
  rmvpe             [1, P, 360]. A frame whose largest mel band exceeds -9 gets the fixed salience
                    row 0.2 at bin 98, 0.9 at 100, 0.45 at 101, 0.1 at 104, 0.4 at 105 (outside
                    the 9-bin window around the maximum at 100, so it must not count); other
                    frames are all 0 (unvoiced). A silent frame is ln 1e-5 = -11.5 in every band,
                    while audible input inside a frame's 1024-sample analysis window lifts some
                    band far above -9: chunk frame k (salience frame k + 4, centred on chunk
                    sample 160 k) is voiced when its window reaches into the signal (by a few
                    samples, depending on level: leave a frame of margin at an edge).
                    The row decodes to cents 1997.3794 + 20 * 100 + 20 * 0.45 / 1.65, that is
                    f0 = 10 * 2^(cents / 1200) = 100.959 Hz, coarse pitch 20.
  rmvpe_transposed  the same content answered as [1, 360, P].
  rmvpe_unvoiced    [1, P, 360], every frame 0.03 at bin 100 and 0 elsewhere: a maximum of exactly
                    0.03, which is unvoiced.
  rmvpe_index       [1, P, 360], frame p is 0.9 at bin p mod 360 and 0 elsewhere, whatever the
                    mel: its f0, 10 * 2^((1997.3794 + 20 (p mod 360)) / 1200), names the salience
                    frame it was decoded from.
  rmvpe_badshape    rmvpe cut to [1, P, 359].

Voice networks (inputs "phone" float [1, T, 768], "phone_lengths" int64 [1], "pitch" int64 [1, T],
"pitchf" float [1, T], "sid" int64 [1], "noise" float [1, 192, T]; output "audio" float):
  voice_echo        T free, output [1, 1, T * 400]. Frame t occupies samples 400 t .. 400 t + 399:
                      +0 pitchf[t]            +1 pitch[t]             +2 phone[t][0]
                      +3 phone[t][1]          +4 phone[t][2]          +5 phone[t][767]
                      +6 noise[0][0][t]       +7 noise[0][191][t]     +8 phone_lengths[0]
                      +9 sid[0]               +10 t                   +11 .. +399 zero
                    (integers as floats). Its inputs are declared in the order pitchf, noise,
                    phone, sid, pitch, phone_lengths, so feeding by position instead of by name
                    fails.
  voice_fixed200    voice_echo with the sequence length fixed to 200 in every input.
  voice_only400     voice_echo with the sequence length fixed to 400.
  voice_missing_sid voice_echo without the "sid" input (+9 is 0).
  voice_short       T free, output [1, 1, T * 400 - 1], sample i = i / 65536 (exact in float).
  voice_fails       voice_echo, but Run fails when any pitch[t] lies in 2 .. 99, that is on a
                    voiced frame below 353.2 Hz, with "Non-zero status code returned while running
                    Gather node. Name:'' Status Message: indices element out of data bounds,
                    idx=5 must be within the inclusive range [-1,0]"; the probe's pitch 100 and
                    unvoiced frames (pitch 1) pass, so a silent chunk converts.
  voice_sine        T free, output [1, 1, T * 400]: sample n is 0.5 sin(phi[n]) where
                    pitchf[n / 400] > 0, else 0; phi[0] = 0 and phi[n + 1] = phi[n] +
                    2 pi pitchf[n / 400] / 40000 (kept modulo whole cycles): phase-continuous
                    within a run, restarting at 0 in each run.
  empty_output      T free, output [1, 1, 0].
  not_a_model       bytes that are no model.
"""

import argparse
import sys
from pathlib import Path

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import rvc_models as enc  # noqa: E402

OPSET = 17
FLOAT, INT64 = TensorProto.FLOAT, TensorProto.INT64


class Graph:
    """Nodes and constants of one model, with generated value names."""

    def __init__(self):
        self.nodes, self.constants = [], []

    def const(self, value, dtype=None):
        name = f"k{len(self.constants)}"
        self.constants.append(numpy_helper.from_array(np.asarray(value, dtype=dtype), name))
        return name

    def op(self, op_type, *inputs, **attrs):
        name = f"{op_type.lower()}{len(self.nodes)}"
        self.nodes.append(helper.make_node(op_type, list(inputs), [name], **attrs))
        return name

    def ones_like(self, x):
        value = helper.make_tensor("value", FLOAT, [1], [1.0])
        return self.op("ConstantOfShape", self.op("Shape", x), value=value)

    def index(self, x, axis):
        """0, 1, 2, ... along one axis of x, as float, shaped like x."""
        return self.op("CumSum", self.ones_like(x), self.const(axis, np.int64), exclusive=1)

    def model(self, result, inputs, output):
        self.nodes.append(helper.make_node("Identity", [result], [output.name]))
        graph = helper.make_graph(self.nodes, "kw_test", inputs, [output], self.constants)
        model = helper.make_model(
            graph, producer_name="kw-tests", opset_imports=[helper.make_opsetid("", OPSET)]
        )
        onnx.checker.check_model(model, full_check=True)
        return model


def tensor(name, elem, shape):
    return helper.make_tensor_value_info(name, elem, shape)


# Content encoders.


def hubert(frames=None, channels=enc.FEATURES):
    g = Graph()
    x = g.op("Reshape", "source", g.const([1, 1, -1], np.int64))
    kernel = np.zeros((2, 1, enc.KERNEL_IN), dtype=np.float32)
    kernel[0, 0, 0] = 1.0
    kernel[1, 0, : enc.HOP_IN] = 1.0 / enc.HOP_IN
    conv = g.op("Conv", x, g.const(kernel), strides=[enc.HOP_IN])  # [1, 2, F]
    samples = g.op("Transpose", conv, perm=[0, 2, 1])  # [1, F, 2]
    f = g.index(g.op("Slice", samples, g.const([0]), g.const([1]), g.const([2])), 1)
    head = g.op("Concat", f, samples, axis=2)  # channels 0..2
    gap = enc.CH_LAST - 3
    padded = g.op("Pad", head, g.const([0, 0, 0, 0, 0, gap], np.int64))
    last = g.op("Neg", g.op("Add", f, g.const([1.0], np.float32)))
    out = g.op("Concat", padded, last, axis=2)
    if frames is not None:
        out = g.op("Slice", out, g.const([0]), g.const([frames]), g.const([1]))
    if channels != enc.FEATURES:
        out = g.op("Slice", out, g.const([0]), g.const([channels]), g.const([2]))
    return g.model(
        out,
        [tensor("source", FLOAT, [1, "N"])],
        tensor("embed", FLOAT, [1, "F", channels]),
    )


# Pitch estimators.


def rmvpe(peaks, gated=True, transposed=False, bins=enc.BINS):
    g = Graph()
    loudest = g.op("ReduceMax", "mel", axes=[1], keepdims=1)  # [1, 1, P]
    if gated:
        loud = g.op("Greater", loudest, g.const([enc.GATE_LOG_MEL], np.float32))
        gate = g.op("Cast", loud, to=FLOAT)
    else:
        gate = g.ones_like(loudest)
    row = enc.salience(peaks)[:bins].reshape(1, 1, bins)
    out = g.op("Mul", g.op("Transpose", gate, perm=[0, 2, 1]), g.const(row))  # [1, P, bins]
    shape = [1, "P", bins]
    if transposed:
        out = g.op("Transpose", out, perm=[0, 2, 1])
        shape = [1, bins, "P"]
    return g.model(out, [tensor("mel", FLOAT, [1, 128, "P"])], tensor("salience", FLOAT, shape))


def rmvpe_index():
    g = Graph()
    frames = g.op("Gather", g.op("Shape", "mel"), g.const(2, np.int64))
    p = g.op("Range", g.const(0, np.int64), frames, g.const(1, np.int64))
    bins = g.op("Mod", p, g.const(enc.BINS, np.int64))
    values = g.const([0.0, enc.INDEX_PEAK], np.float32)
    hot = g.op("OneHot", bins, g.const([enc.BINS], np.int64), values, axis=-1)  # [P, 360]
    out = g.op("Unsqueeze", hot, g.const([0], np.int64))
    return g.model(
        out,
        [tensor("mel", FLOAT, [1, 128, "P"])],
        tensor("salience", FLOAT, [1, "P", enc.BINS]),
    )


# Voice networks.

VOICE_INPUTS = ("phone", "phone_lengths", "pitch", "pitchf", "sid", "noise")
ECHO_ORDER = ("pitchf", "noise", "phone", "sid", "pitch", "phone_lengths")


def voice_inputs(order, frames="T"):
    shapes = {
        "phone": (FLOAT, [1, frames, enc.FEATURES]),
        "phone_lengths": (INT64, [1]),
        "pitch": (INT64, [1, frames]),
        "pitchf": (FLOAT, [1, frames]),
        "sid": (INT64, [1]),
        "noise": (FLOAT, [1, enc.NOISE_CHANNELS, frames]),
    }
    return [tensor(name, *shapes[name]) for name in order]


def echo(g, pitchf="pitchf", sid="sid"):
    """[1, 1, T * 400] holding the per-frame fields of rvc_models.ECHO_FIELDS."""
    column = g.const([-1, 1], np.int64)
    pf = g.op("Reshape", pitchf, column)  # [T, 1]
    ones = g.ones_like(pf)

    def per_run(value):
        return g.op("Mul", ones, g.op("Cast", value, to=FLOAT))

    phone = g.op("Gather", "phone", g.const(enc.ECHO_PHONE, np.int64), axis=2)
    noise = g.op("Gather", "noise", g.const(enc.ECHO_NOISE, np.int64), axis=1)
    noise = g.op("Transpose", noise, perm=[0, 2, 1])
    fields = [
        pf,
        g.op("Reshape", g.op("Cast", "pitch", to=FLOAT), column),
        g.op("Reshape", phone, g.const([-1, len(enc.ECHO_PHONE)], np.int64)),
        g.op("Reshape", noise, g.const([-1, len(enc.ECHO_NOISE)], np.int64)),
        per_run("phone_lengths"),
        per_run(sid) if sid else g.op("Mul", ones, g.const([0.0], np.float32)),
        g.index(pf, 0),
    ]
    rows = g.op("Concat", *fields, axis=1)  # [T, 11]
    gap = enc.FRAME_OUT - len(enc.ECHO_FIELDS)
    frames = g.op("Pad", rows, g.const([0, 0, 0, gap], np.int64))
    return g.op("Reshape", frames, g.const([1, 1, -1], np.int64))


def audio(length="S"):
    return tensor("audio", FLOAT, [1, 1, length])


def voice_echo(frames="T", order=ECHO_ORDER):
    g = Graph()
    length = frames * enc.FRAME_OUT if isinstance(frames, int) else "S"
    return g.model(echo(g), voice_inputs(order, frames), audio(length))


def voice_missing_sid():
    g = Graph()
    order = [name for name in VOICE_INPUTS if name != "sid"]
    return g.model(echo(g, sid=None), voice_inputs(order), audio())


def voice_short():
    g = Graph()
    cut = g.op("Slice", echo(g), g.const([0]), g.const([-1]), g.const([2]))
    out = g.op("Mul", g.index(cut, 2), g.const([enc.SHORT_SCALE], np.float32))
    return g.model(out, voice_inputs(VOICE_INPUTS), audio())


def voice_fails():
    g = Graph()
    lo, hi = enc.FAIL_PITCH
    table = np.zeros(256, dtype=np.int64)
    table[lo : hi + 1] = 5  # out of range for the one-element tensor below
    index = g.op("Gather", g.const(table), "pitch", axis=0)
    zeros = g.op("Gather", g.const([0.0], np.float32), index, axis=0)  # [1, T]
    out = echo(g, pitchf=g.op("Add", "pitchf", zeros))
    return g.model(out, voice_inputs(VOICE_INPUTS), audio())


def voice_sine():
    g = Graph()
    pf = g.op("Reshape", "pitchf", g.const([-1, 1], np.int64))  # [T, 1]
    # Whole cycles are dropped before and after summing so the phase keeps float precision.
    one = g.const([1.0], np.float32)
    per_frame = g.op("Div", pf, g.const([enc.OUT_RATE / enc.FRAME_OUT], np.float32))
    advance = g.op("Mod", per_frame, one, fmod=1)
    start = g.op("Mod", g.op("CumSum", advance, g.const(0, np.int64), exclusive=1), one, fmod=1)
    steps = np.arange(enc.FRAME_OUT, dtype=np.float32).reshape(1, -1) / np.float32(enc.OUT_RATE)
    cycles = g.op("Add", start, g.op("Mul", pf, g.const(steps)))  # [T, 400]
    wave = g.op("Sin", g.op("Mul", cycles, g.const([2.0 * np.pi], np.float32)))
    voiced = g.op("Cast", g.op("Greater", pf, g.const([0.0], np.float32)), to=FLOAT)
    gain = g.op("Mul", voiced, g.const([enc.SINE_AMPLITUDE], np.float32))  # [T, 1]
    out = g.op("Mul", wave, gain)
    flat = g.op("Reshape", out, g.const([1, 1, -1], np.int64))
    return g.model(flat, voice_inputs(VOICE_INPUTS), audio())


def empty_output():
    g = Graph()
    out = g.op("Slice", echo(g), g.const([0]), g.const([0]), g.const([2]))
    return g.model(out, voice_inputs(VOICE_INPUTS), audio(0))


MODELS = {
    "hubert_v2": hubert,
    "hubert_short": lambda: hubert(frames=enc.HUBERT_SHORT_FRAMES),
    "hubert_badshape": lambda: hubert(channels=enc.FEATURES - 1),
    "rmvpe": lambda: rmvpe(enc.PEAK),
    "rmvpe_transposed": lambda: rmvpe(enc.PEAK, transposed=True),
    "rmvpe_unvoiced": lambda: rmvpe(enc.UNVOICED_PEAK, gated=False),
    "rmvpe_index": rmvpe_index,
    "rmvpe_badshape": lambda: rmvpe(enc.PEAK, bins=enc.BAD_BINS),
    "voice_echo": voice_echo,
    "voice_fixed200": lambda: voice_echo(200, VOICE_INPUTS),
    "voice_only400": lambda: voice_echo(400, VOICE_INPUTS),
    "voice_missing_sid": voice_missing_sid,
    "voice_short": voice_short,
    "voice_fails": voice_fails,
    "voice_sine": voice_sine,
    "empty_output": empty_output,
    "not_a_model": lambda: b"not an ONNX model\n",
}


def main():
    parser = argparse.ArgumentParser(description="Write the test networks.")
    parser.add_argument("outdir", type=Path)
    parser.add_argument("--only", nargs="+", action="extend", metavar="NAME")
    args = parser.parse_args()
    names = [n.removesuffix(".onnx") for n in args.only] if args.only else list(MODELS)
    unknown = [n for n in names if n not in MODELS]
    if unknown:
        parser.error(f"unknown model(s): {', '.join(unknown)}")
    args.outdir.mkdir(parents=True, exist_ok=True)
    for name in names:
        model = MODELS[name]()
        data = model if isinstance(model, bytes) else model.SerializeToString()
        (args.outdir / f"{name}.onnx").write_bytes(data)


if __name__ == "__main__":
    main()
