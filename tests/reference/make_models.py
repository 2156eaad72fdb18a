#!/usr/bin/python3
"""Small deterministic stand-ins for the three networks of neural voice conversion that echo
what the engine fed them, and the independent reckoning of what that should have been.

Usage: make_models.py <outdir> [NAME ...]   (every network when no NAME is given)

hubert_v2 ("source" [1, N] -> "embed" [1, F, 768], F = (N - 400) // 320 + 1): row f holds f, x[320 f],
the mean of x[320 f .. 320 f + 319] and -(f + 1) in channels 0, 1, 2 and 767. rmvpe ("mel" [1, 128, P]
-> "salience" [1, P, 360]): the row PEAK for frames whose loudest band exceeds -9 (silence is ln 1e-5),
else 0; its bin 105 lies outside the 9-bin window around the maximum. rmvpe_index: frame p is 0.9 at
bin p mod 360, so its f0 names the frame it came from. voice_echo: frame t (400 samples) holds
ECHO_FIELDS[i] at sample i; its inputs are declared out of the contract's order, so feeding by
position fails. voice_level: frame t holds phone[t][2] throughout, and Run fails on a level above
0.9. voice_fails: Run fails on a pitch of 2 .. 99 (a voiced frame). voice_sine: 0.5 sin of pitchf,
phase-continuous within a run. The other networks break the contract in the way their names say.
"""

import sys
from pathlib import Path

import numpy as np

F32 = np.float32
FRAME_OUT, HOP_IN, KERNEL_IN, FEATURES, BINS, NOISE_ROWS = 400, 320, 400, 768, 360, 192
PEAK = {98: 0.2, 100: 0.9, 101: 0.45, 104: 0.1, 105: 0.4}
ECHO_FIELDS = ("pitchf", "pitch", "content_index", "content_first", "content_mean",
               "content_last", "noise_first", "noise_last", "phone_lengths", "sid", "frame")
ECHO_PHONE, ECHO_NOISE = (0, 1, 2, FEATURES - 1), (0, NOISE_ROWS - 1)
LEVEL_LIMIT = 0.9


# ---- the reckoning: what the engine should feed, and how to read it back ----

def decode_echo(audio):
    frames = np.asarray(audio, F32).reshape(-1, FRAME_OUT)
    return {name: frames[:, i] for i, name in enumerate(ECHO_FIELDS)}


def decode_salience(row):
    """f0 in Hz of one salience frame, 0.0 when unvoiced, in double."""
    row = np.asarray(row, np.float64)
    best = int(np.argmax(row))
    if not row[best] > F32(0.03):
        return 0.0
    window = np.arange(max(best - 4, 0), min(best + 4, BINS - 1) + 1)
    cents = (row[window] * (1997.3794 + 20.0 * window)).sum() / row[window].sum()
    return 10.0 * 2.0 ** (cents / 1200.0)


def coarse_pitch(f0):
    mel = 1127.0 * np.log(1.0 + f0 / 700.0)
    if mel > 0:
        mel = (mel - 77.75493) * 254.0 / 986.65326 + 1.0
    return int(np.rint(1.0 if mel <= 1 else min(mel, 255.0)))


def salience(peaks):
    row = np.zeros(BINS, F32)
    for i, value in peaks.items():
        row[i] = value
    return row


PEAK_F0 = decode_salience(salience(PEAK))  # 100.959 Hz
PEAK_PITCH = coarse_pitch(PEAK_F0)


def noise(count, state):
    """(values, state after) of the engine's Gaussian noise, in double."""
    values = np.empty(count + 1)
    for i in range(0, count, 2):
        pair = []
        for _ in range(2):
            state ^= (state << 13) & 0xFFFFFFFF
            state ^= state >> 17
            state ^= (state << 5) & 0xFFFFFFFF
            pair.append((state >> 8) * 2.0**-24)
        r, theta = np.sqrt(-2.0 * np.log(pair[0] + 1e-7)), 2.0 * np.pi * pair[1]
        values[i:i + 2] = r * np.cos(theta), r * np.sin(theta)
    return values[:count], state


def expected_echo(x, chunk):
    """The signal-independent fields voice_echo shows for an offline conversion of x behind
    hubert_v2, over whole chunks: per chunk 640 samples of history, the chunk and 320 of
    look-ahead, zero outside the signal."""
    x = np.asarray(x, F32)
    padded = np.concatenate([np.zeros(640, F32), x, np.zeros(chunk + 320, F32)])
    frames, state, parts = chunk // 160, 0x12345678, []
    k = np.arange(frames)
    for pos in range(0, x.size, chunk):
        window = padded[pos:pos + chunk + 960].astype(np.float64)
        starts = np.arange((window.size - KERNEL_IN) // HOP_IN + 1) * HOP_IN
        f = np.minimum(k // 2 + 2, starts.size - 1)
        values, state = noise(frames * NOISE_ROWS, state)
        grid = values.reshape(NOISE_ROWS, frames)
        parts.append({"content_index": f, "content_first": window[starts[f]],
                      "content_mean": np.array([window[s:s + HOP_IN].mean() for s in starts[f]]),
                      "content_last": -(f + 1.0), "noise_first": grid[0], "noise_last": grid[-1],
                      "phone_lengths": np.full(frames, frames), "sid": np.zeros(frames),
                      "frame": k})
    return {name: np.concatenate([p[name] for p in parts]) for name in parts[0]}


# ---- the networks ----

def build(outdir, names=()):
    import onnx
    from onnx import TensorProto, helper, numpy_helper
    FLOAT, INT64 = TensorProto.FLOAT, TensorProto.INT64

    class Graph:
        def __init__(self):
            self.nodes, self.constants = [], []

        def const(self, value, dtype=None):
            name = f"k{len(self.constants)}"
            self.constants.append(numpy_helper.from_array(np.asarray(value, dtype), name))
            return name

        def op(self, kind, *inputs, **attrs):
            name = f"{kind.lower()}{len(self.nodes)}"
            self.nodes.append(helper.make_node(kind, list(inputs), [name], **attrs))
            return name

        def ones_like(self, x):
            return self.op("ConstantOfShape", self.op("Shape", x),
                           value=helper.make_tensor("v", FLOAT, [1], [1.0]))

        def index(self, x, axis):  # 0, 1, 2, ... along one axis, shaped like x
            return self.op("CumSum", self.ones_like(x), self.const(axis, np.int64), exclusive=1)

        def model(self, result, inputs, out_name, out_shape, opset=17):
            outputs = [helper.make_tensor_value_info(out_name, FLOAT, out_shape)] if result else []
            if result:
                self.nodes.append(helper.make_node("Identity", [result], [out_name]))
            model = helper.make_model(helper.make_graph(self.nodes, "kw", inputs, outputs,
                                                        self.constants),
                                      opset_imports=[helper.make_opsetid("", opset)])
            onnx.checker.check_model(model)
            return model.SerializeToString()

    def tensor(name, elem, shape):
        return helper.make_tensor_value_info(name, elem, shape)

    def hubert(frames=None, channels=FEATURES):
        g = Graph()
        x = g.op("Reshape", "source", g.const([1, 1, -1], np.int64))
        kernel = np.zeros((2, 1, KERNEL_IN), F32)
        kernel[0, 0, 0], kernel[1, 0, :HOP_IN] = 1.0, 1.0 / HOP_IN
        samples = g.op("Transpose", g.op("Conv", x, g.const(kernel), strides=[HOP_IN]), perm=[0, 2, 1])
        f = g.index(g.op("Slice", samples, g.const([0]), g.const([1]), g.const([2])), 1)
        head = g.op("Pad", g.op("Concat", f, samples, axis=2),
                    g.const([0, 0, 0, 0, 0, FEATURES - 4], np.int64))
        out = g.op("Concat", head, g.op("Neg", g.op("Add", f, g.const([1.0], F32))), axis=2)
        if frames:
            out = g.op("Slice", out, g.const([0]), g.const([frames]), g.const([1]))
        if channels != FEATURES:
            out = g.op("Slice", out, g.const([0]), g.const([channels]), g.const([2]))
        return g.model(out, [tensor("source", FLOAT, [1, "N"])], "embed", [1, "F", channels])

    def rmvpe(peaks, gated=True, transposed=False, bins=BINS):
        g = Graph()
        loudest = g.op("ReduceMax", "mel", axes=[1], keepdims=1)  # [1, 1, P]
        gate = (g.op("Cast", g.op("Greater", loudest, g.const([-9.0], F32)), to=FLOAT) if gated
                else g.ones_like(loudest))
        out = g.op("Mul", g.op("Transpose", gate, perm=[0, 2, 1]),
                   g.const(salience(peaks)[:bins].reshape(1, 1, bins)))
        shape = [1, "P", bins]
        if transposed:
            out, shape = g.op("Transpose", out, perm=[0, 2, 1]), [1, bins, "P"]
        return g.model(out, [tensor("mel", FLOAT, [1, 128, "P"])], "salience", shape)

    def rmvpe_index():
        g = Graph()
        frames = g.op("Gather", g.op("Shape", "mel"), g.const(2, np.int64))
        p = g.op("Range", g.const(0, np.int64), frames, g.const(1, np.int64))
        hot = g.op("OneHot", g.op("Mod", p, g.const(BINS, np.int64)), g.const([BINS], np.int64),
                   g.const([0.0, 0.9], F32), axis=-1)
        return g.model(g.op("Unsqueeze", hot, g.const([0], np.int64)),
                       [tensor("mel", FLOAT, [1, 128, "P"])], "salience", [1, "P", BINS])

    contract = ("phone", "phone_lengths", "pitch", "pitchf", "sid", "noise")

    def voice_inputs(order=contract, frames="T"):
        shapes = {"phone": (FLOAT, [1, frames, FEATURES]), "phone_lengths": (INT64, [1]),
                  "pitch": (INT64, [1, frames]), "pitchf": (FLOAT, [1, frames]),
                  "sid": (INT64, [1]), "noise": (FLOAT, [1, NOISE_ROWS, frames])}
        return [tensor(name, *shapes[name]) for name in order]

    def fail_when(g, index):
        """Zeros [1, T] whose computation fails where index (int64 [1, T]) is not 0."""
        return g.op("Gather", g.const([0.0], F32), index, axis=0)

    def echo(g, pitchf="pitchf", sid="sid"):
        column = g.const([-1, 1], np.int64)
        pf = g.op("Reshape", pitchf, column)
        ones = g.ones_like(pf)
        phone = g.op("Gather", "phone", g.const(ECHO_PHONE, np.int64), axis=2)
        noise_rows = g.op("Transpose", g.op("Gather", "noise", g.const(ECHO_NOISE, np.int64), axis=1),
                          perm=[0, 2, 1])
        fields = [pf, g.op("Reshape", g.op("Cast", "pitch", to=FLOAT), column),
                  g.op("Reshape", phone, g.const([-1, 4], np.int64)),
                  g.op("Reshape", noise_rows, g.const([-1, 2], np.int64)),
                  g.op("Mul", ones, g.op("Cast", "phone_lengths", to=FLOAT)),
                  g.op("Mul", ones, g.op("Cast", sid, to=FLOAT) if sid else g.const([0.0], F32)),
                  g.index(pf, 0)]
        rows = g.op("Pad", g.op("Concat", *fields, axis=1),
                    g.const([0, 0, 0, FRAME_OUT - len(ECHO_FIELDS)], np.int64))
        return g.op("Reshape", rows, g.const([1, 1, -1], np.int64))

    def voice(body, order=contract, frames="T", length="S"):
        g = Graph()
        return g.model(body(g), voice_inputs(order, frames), "audio", [1, 1, length])

    def voice_fails(g):
        table = np.zeros(256, np.int64)
        table[2:100] = 5  # out of range for the one-element tensor
        return echo(g, pitchf=g.op("Add", "pitchf", fail_when(g, g.op("Gather", g.const(table), "pitch"))))

    def voice_level(g):
        level = g.op("Gather", "phone", g.const([2], np.int64), axis=2)  # [1, T, 1]
        over = g.op("Cast", g.op("Greater", level, g.const([LEVEL_LIMIT], F32)), to=INT64)
        level = g.op("Add", level, fail_when(g, g.op("Mul", over, g.const(5, np.int64))))
        return g.op("Reshape", g.op("Mul", level, g.const(np.ones((1, 1, FRAME_OUT), F32))),
                    g.const([1, 1, -1], np.int64))

    def voice_sine(g):
        pf = g.op("Reshape", "pitchf", g.const([-1, 1], np.int64))
        one = g.const([1.0], F32)  # whole cycles are dropped to keep the phase precise
        advance = g.op("Mod", g.op("Div", pf, g.const([100.0], F32)), one, fmod=1)
        start = g.op("Mod", g.op("CumSum", advance, g.const(0, np.int64), exclusive=1), one, fmod=1)
        steps = np.arange(FRAME_OUT, dtype=F32).reshape(1, -1) / F32(40000)
        wave = g.op("Sin", g.op("Mul", g.op("Add", start, g.op("Mul", pf, g.const(steps))),
                                g.const([2.0 * np.pi], F32)))
        gain = g.op("Mul", g.op("Cast", g.op("Greater", pf, g.const([0.0], F32)), to=FLOAT),
                    g.const([0.5], F32))
        return g.op("Reshape", g.op("Mul", wave, gain), g.const([1, 1, -1], np.int64))

    def cut(g, end):
        return g.op("Slice", echo(g), g.const([0]), g.const([end]), g.const([2]))

    def no_output():
        g = Graph()
        g.op("Identity", "x")
        return g.model(None, [tensor("x", FLOAT, [1])], "", [], opset=13)

    models = {
        "hubert_v2": hubert, "hubert_short": lambda: hubert(frames=16),
        "hubert_badshape": lambda: hubert(channels=FEATURES - 1),
        "rmvpe": lambda: rmvpe(PEAK), "rmvpe_transposed": lambda: rmvpe(PEAK, transposed=True),
        "rmvpe_unvoiced": lambda: rmvpe({100: 0.03}, gated=False), "rmvpe_index": rmvpe_index,
        "rmvpe_badshape": lambda: rmvpe(PEAK, bins=BINS - 1),
        "voice_echo": lambda: voice(echo, ("pitchf", "noise", "phone", "sid", "pitch", "phone_lengths")),
        "voice_fixed200": lambda: voice(echo, frames=200, length=200 * FRAME_OUT),
        "voice_missing_sid": lambda: voice(lambda g: echo(g, sid=None),
                                           [n for n in contract if n != "sid"]),
        "voice_short": lambda: voice(lambda g: g.op("Mul", g.index(cut(g, -1), 2),
                                                    g.const([1.0 / 65536], F32))),
        "voice_fails": lambda: voice(voice_fails), "voice_level": lambda: voice(voice_level),
        "voice_sine": lambda: voice(voice_sine), "empty_output": lambda: voice(lambda g: cut(g, 0), length=0),
        "not_a_model": lambda: b"not an ONNX model\n", "no_output": no_output,
    }
    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    for name in names or models:
        (outdir / f"{name.removesuffix('.onnx')}.onnx").write_bytes(models[name.removesuffix(".onnx")]())


if __name__ == "__main__":
    build(sys.argv[1], sys.argv[2:])
