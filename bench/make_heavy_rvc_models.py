#!/usr/bin/python3
"""Writes random-weight networks with the size and arithmetic of real voice-conversion networks,
so that bench/rvc_stage_bench measures what a real voice costs. Not used by tests or CI; the
files (about 850 MB together) are not kept in the repository.

Usage: make_heavy_rvc_models.py <outdir>

Their outputs mean nothing; only shapes, operator mix, parameter and multiply-add counts follow
the real layouts (normalisations folded away as inference folds them). Weights are scaled so
that activations stay in the normal float range through every layer: denormals or overflow
would make a random network slower than a trained one.

  hubert_v2.onnx    content encoder "source" [1, N] -> "embed" [1, F, 768]: seven-layer conv
                    feature extractor (512 channels, kernels 10 3 3 3 3 2 2, strides 5 2 2 2 2
                    2 2: F = floor((N - 400) / 320) + 1), projection to 768, grouped positional
                    convolution (kernel 128, 16 groups), 12 post-norm transformer layers (12
                    heads, feed-forward 3072, GELU).
  rmvpe.onnx        pitch estimator "mel" [1, 128, P] -> "salience" [1, P, 360]: a U-Net over
                    (time, mel band) with five encoder levels of 4 residual 3x3 conv blocks
                    (16 to 256 channels, 2x2 average pooling), 4 intermediate levels at 512
                    channels, five transposed-conv decoder levels with skip connections, a 3
                    channel output conv, a bidirectional GRU (384 -> 2 x 256), and a linear
                    512 -> 360 layer with sigmoid.
  voice_heavy.onnx  voice network with the six contract inputs -> "audio" [1, 1, T * 400] at
                    40 kHz: text encoder (phone 768 -> 192 plus pitch embedding, 6 transformer
                    layers with conv feed-forward 768 kernel 3), 4 affine coupling flows
                    (3 gated conv layers of 192, kernel 5, speaker-conditioned), and an
                    NSF-HiFiGAN decoder (512 channels, upsampling 10 10 2 2 with kernels 16 16
                    4 4, residual blocks of kernels 3 7 11 with dilations 1 3 5, sine source
                    from pitchf at 40 kHz fed in at every level).

Printed per network: parameters, file size, and multiply-adds at the size of a 1 s chunk
(N = 16960, P = 128, T = 100; each grows linearly with the length, attention slightly faster).
"""

import argparse
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "reference"))
from make_rvc_models import FLOAT, INT64, Graph, tensor  # noqa: E402

SQRT2 = float(np.sqrt(2.0))
RESIDUAL_GAIN = 0.5  # a residual branch adds a quarter of the variance it passes on


class Net(Graph):
    """A graph with random He-scaled weights that counts parameters and multiply-adds."""

    def __init__(self, seed):
        super().__init__()
        self.rng = np.random.default_rng(seed)
        self.params = 0
        self.macs = 0

    def weight(self, shape, fan_in, gain=SQRT2):
        self.params += int(np.prod(shape))
        scale = np.float32(gain / np.sqrt(fan_in))
        return self.const(self.rng.standard_normal(shape, dtype=np.float32) * scale)

    def bias(self, n):
        self.params += n
        return self.const(self.rng.uniform(-0.05, 0.05, n).astype(np.float32))

    def conv(self, x, cin, cout, kernel, positions, *, gain=SQRT2, bias=True, groups=1, **attrs):
        """N-d convolution; positions = output positions at the reference size."""
        kernel = list(kernel)
        fan_in = cin // groups * int(np.prod(kernel))
        inputs = [x, self.weight([cout, cin // groups, *kernel], fan_in, gain)]
        if bias:
            inputs.append(self.bias(cout))
        self.macs += positions * cout * fan_in
        return self.op("Conv", *inputs, kernel_shape=kernel, group=groups, **attrs)

    def conv_t(self, x, cin, cout, kernel, in_positions, **attrs):
        kernel = list(kernel)
        taps = int(np.prod(kernel))
        w = self.weight([cin, cout, *kernel], cin * taps / int(np.prod(attrs["strides"])))
        self.macs += in_positions * cin * cout * taps
        return self.op("ConvTranspose", x, w, self.bias(cout), kernel_shape=kernel, **attrs)

    def linear(self, x, din, dout, rows, gain=1.0):
        self.macs += rows * din * dout
        y = self.op("MatMul", x, self.weight([din, dout], din, gain))
        return self.op("Add", y, self.bias(dout))

    def layer_norm(self, x, d):
        self.params += 2 * d
        ones, zeros = np.ones(d, np.float32), np.zeros(d, np.float32)
        return self.op("LayerNormalization", x, self.const(ones), self.const(zeros), axis=-1)

    def gelu(self, x):
        erf = self.op("Erf", self.op("Mul", x, self.const([1.0 / SQRT2], np.float32)))
        half = self.op("Mul", x, self.const([0.5], np.float32))
        return self.op("Mul", half, self.op("Add", erf, self.const([1.0], np.float32)))

    def scaled(self, x, factor):
        return self.op("Mul", x, self.const([factor], np.float32))

    def attention(self, x, d, heads, rows):
        """Multi-head self-attention over [1, rows, d]."""
        split = self.const([0, 0, heads, d // heads], np.int64)

        def project(perm):
            return self.op("Transpose", self.op("Reshape", self.linear(x, d, d, rows), split),
                           perm=perm)

        q, k, v = project([0, 2, 1, 3]), project([0, 2, 3, 1]), project([0, 2, 1, 3])
        scores = self.scaled(self.op("MatMul", q, k), 1.0 / float(np.sqrt(d // heads)))
        context = self.op("MatMul", self.op("Softmax", scores, axis=-1), v)
        self.macs += 2 * rows * rows * d
        merged = self.op("Reshape", self.op("Transpose", context, perm=[0, 2, 1, 3]),
                         self.const([0, 0, d], np.int64))
        return self.linear(merged, d, d, rows)

    def build(self, result, inputs, output):
        model = self.model(result, inputs, output)
        model.producer_name = "kw-bench"
        return model


def conv_out(length, kernel, stride):
    return (length - kernel) // stride + 1


# Content encoder.

HUBERT_REF_N = 16960
FEATURE_LAYERS = [(10, 5)] + [(3, 2)] * 4 + [(2, 2)] * 2


def hubert_frames(n):
    for kernel, stride in FEATURE_LAYERS:
        n = conv_out(n, kernel, stride)
    return n


def hubert():
    g = Net(1)
    width, d, heads, ffn, layers = 512, 768, 12, 3072, 12
    x = g.op("Reshape", "source", g.const([1, 1, -1], np.int64))
    length, cin = HUBERT_REF_N, 1
    for i, (kernel, stride) in enumerate(FEATURE_LAYERS):
        length = conv_out(length, kernel, stride)
        x = g.conv(x, cin, width, [kernel], length, bias=False, strides=[stride])
        if i == 0:  # one group per channel: instance normalisation
            g.params += 2 * width
            scale, shift = g.const(np.ones(width, np.float32)), g.const(np.zeros(width, np.float32))
            x = g.op("InstanceNormalization", x, scale, shift)
        x = g.gelu(x)
        cin = width
    frames = length
    x = g.layer_norm(g.op("Transpose", x, perm=[0, 2, 1]), width)  # [1, F, 512]
    x = g.linear(x, width, d, frames)
    # Positional convolution: kernel 128 padded by 64 gives F + 1 frames; the last is dropped.
    pos = g.conv(g.op("Transpose", x, perm=[0, 2, 1]), d, d, [128], frames, groups=16,
                 pads=[64, 64])
    pos = g.op("Slice", pos, g.const([0]), g.const([-1]), g.const([2]))
    x = g.layer_norm(g.op("Add", x, g.op("Transpose", g.gelu(pos), perm=[0, 2, 1])), d)
    for _ in range(layers):
        x = g.layer_norm(g.op("Add", x, g.attention(x, d, heads, frames)), d)
        hidden = g.gelu(g.linear(x, d, ffn, frames, gain=SQRT2))
        x = g.layer_norm(g.op("Add", x, g.linear(hidden, ffn, d, frames)), d)
    model = g.build(x, [tensor("source", FLOAT, [1, "N"])], tensor("embed", FLOAT, [1, "F", d]))
    return model, g, f"N = {HUBERT_REF_N} (F = {frames})"


# Pitch estimator.

RMVPE_REF_P = 128
MEL_BANDS = 128
UNET_BLOCKS = 4  # residual blocks per U-Net level


def res_block(g, x, cin, cout, positions):
    """Two 3x3 conv + ReLU layers with a (1x1-projected) shortcut."""
    h = g.op("Relu", g.conv(x, cin, cout, [3, 3], positions, pads=[1, 1, 1, 1]))
    h = g.conv(h, cout, cout, [3, 3], positions, gain=SQRT2 * RESIDUAL_GAIN, pads=[1, 1, 1, 1])
    shortcut = x if cin == cout else g.conv(x, cin, cout, [1, 1], positions, gain=1.0)
    return g.op("Relu", g.op("Add", h, shortcut))


def res_stack(g, x, cin, cout, positions):
    for _ in range(UNET_BLOCKS):
        x = res_block(g, x, cin, cout, positions)
        cin = cout
    return x


def rmvpe():
    g = Net(2)
    levels, inter_levels, base, bins, hidden = 5, 4, 16, 360, 256
    x = g.op("Unsqueeze", g.op("Transpose", "mel", perm=[0, 2, 1]), g.const([1], np.int64))
    positions, cin, skips = RMVPE_REF_P * MEL_BANDS, 1, []
    for level in range(levels):
        cout = base << level
        x = res_stack(g, x, cin, cout, positions)
        skips.append((x, cout, positions))
        x = g.op("AveragePool", x, kernel_shape=[2, 2], strides=[2, 2])
        positions //= 4
        cin = cout
    for _ in range(inter_levels):
        x = res_stack(g, x, cin, 2 * (base << (levels - 1)), positions)
        cin = 2 * (base << (levels - 1))
    for skip, cout, skip_positions in reversed(skips):
        up = g.conv_t(x, cin, cout, [3, 3], positions, strides=[2, 2], pads=[1, 1, 1, 1],
                      output_padding=[1, 1])
        x = g.op("Concat", g.op("Relu", up), skip, axis=1)
        positions = skip_positions
        x = res_stack(g, x, 2 * cout, cout, positions)
        cin = cout
    x = g.conv(x, cin, 3, [3, 3], positions, gain=1.0, pads=[1, 1, 1, 1])  # [1, 3, P, 128]
    features = 3 * MEL_BANDS
    x = g.op("Reshape", g.op("Transpose", x, perm=[2, 0, 1, 3]),
             g.const([0, 1, features], np.int64))  # [P, 1, 384]
    w = g.weight([2, 3 * hidden, features], features, 1.0)
    r = g.weight([2, 3 * hidden, hidden], hidden, 1.0)
    b = g.const(np.zeros((2, 6 * hidden), np.float32))
    g.params += 2 * 6 * hidden
    g.macs += RMVPE_REF_P * 2 * 3 * hidden * (features + hidden)
    y = g.op("GRU", x, w, r, b, hidden_size=hidden, direction="bidirectional",
             linear_before_reset=1)  # [P, 2, 1, 256]
    y = g.op("Reshape", g.op("Transpose", y, perm=[2, 0, 1, 3]),
             g.const([0, 0, 2 * hidden], np.int64))
    out = g.op("Sigmoid", g.linear(y, 2 * hidden, bins, RMVPE_REF_P))
    model = g.build(
        out,
        [tensor("mel", FLOAT, [1, MEL_BANDS, "P"])],
        tensor("salience", FLOAT, [1, "P", bins]),
    )
    return model, g, f"P = {RMVPE_REF_P}"


# Voice network.

VOICE_REF_T = 100
OUT_RATE = 40000
UPSAMPLE = [(10, 16), (10, 16), (2, 4), (2, 4)]  # (rate, kernel)
RES_KERNELS = [3, 7, 11]
RES_DILATIONS = [1, 3, 5]
HIDDEN, INTER, GIN = 192, 192, 256


def leaky(g, x, alpha=0.1):
    return g.op("LeakyRelu", x, alpha=alpha)


def text_encoder(g, mask):
    """[1, 192, T] mean and log-scale of the prior from phone and pitch."""
    t = VOICE_REF_T
    # Small enough that the sqrt(192) scaling below leaves unit-size features: larger ones make
    # the attention pick single frames, with denormal weights everywhere else.
    x = g.linear("phone", 768, HIDDEN, t, gain=0.1)
    g.params += 256 * HIDDEN
    table = g.rng.standard_normal((256, HIDDEN), dtype=np.float32) * np.float32(0.01)
    x = g.op("Add", x, g.op("Gather", g.const(table), "pitch", axis=0))
    x = leaky(g, g.scaled(x, float(np.sqrt(HIDDEN))))  # [1, T, 192]
    x = g.op("Mul", x, g.op("Transpose", mask, perm=[0, 2, 1]))
    for _ in range(6):
        x = g.layer_norm(g.op("Add", x, g.attention(x, HIDDEN, 2, t)), HIDDEN)
        h = g.op("Transpose", x, perm=[0, 2, 1])
        h = g.op("Relu", g.conv(h, HIDDEN, 768, [3], t, pads=[1, 1]))
        h = g.op("Mul", g.conv(h, 768, HIDDEN, [3], t, gain=1.0, pads=[1, 1]), mask)
        x = g.layer_norm(g.op("Add", x, g.op("Transpose", h, perm=[0, 2, 1])), HIDDEN)
    stats = g.conv(g.op("Transpose", x, perm=[0, 2, 1]), HIDDEN, 2 * INTER, [1], t, gain=0.1)
    return g.op("Mul", stats, mask)


def coupling_flow(g, z, mask, speaker, flip):
    """One mean-only affine coupling layer run in reverse, then a channel flip."""
    t, half, layers = VOICE_REF_T, INTER // 2, 3
    x0 = g.op("Slice", z, g.const([0]), g.const([half]), g.const([1]))
    x1 = g.op("Slice", z, g.const([half]), g.const([INTER]), g.const([1]))
    h = g.op("Mul", g.conv(x0, half, HIDDEN, [1], t), mask)
    cond = g.conv(speaker, GIN, 2 * HIDDEN * layers, [1], 1, gain=0.1)
    skip = None
    for i in range(layers):
        a = g.conv(h, HIDDEN, 2 * HIDDEN, [5], t, pads=[2, 2], gain=1.0)
        c = g.op("Slice", cond, g.const([2 * HIDDEN * i]), g.const([2 * HIDDEN * (i + 1)]),
                 g.const([1]))
        a = g.op("Add", a, c)
        tanh = g.op("Tanh", g.op("Slice", a, g.const([0]), g.const([HIDDEN]), g.const([1])))
        gate = g.op("Sigmoid", g.op("Slice", a, g.const([HIDDEN]), g.const([2 * HIDDEN]),
                                    g.const([1])))
        acts = g.op("Mul", tanh, gate)
        last = i == layers - 1
        rs = g.conv(acts, HIDDEN, HIDDEN if last else 2 * HIDDEN, [1], t, gain=1.0)
        if last:
            out = rs
        else:
            res = g.op("Slice", rs, g.const([0]), g.const([HIDDEN]), g.const([1]))
            h = g.op("Mul", g.op("Add", h, g.scaled(res, RESIDUAL_GAIN)), mask)
            out = g.op("Slice", rs, g.const([HIDDEN]), g.const([2 * HIDDEN]), g.const([1]))
        skip = out if skip is None else g.op("Add", skip, out)
    mean = g.conv(g.op("Mul", skip, mask), HIDDEN, half, [1], t, gain=0.1)
    x1 = g.op("Mul", g.op("Sub", x1, mean), mask)
    z = g.op("Concat", x0, x1, axis=1)
    return g.op("Gather", z, g.const(np.arange(INTER - 1, -1, -1, dtype=np.int64)), axis=1) \
        if flip else z


def sine_source(g):
    """[1, 1, T * 400]: the harmonic source at 40 kHz, a sine at pitchf where voiced."""
    hop = int(np.prod([rate for rate, _ in UPSAMPLE]))
    f0 = g.op("Unsqueeze", "pitchf", g.const([2], np.int64))  # [1, T, 1]
    f0 = g.op("Reshape", g.op("Mul", f0, g.const(np.ones((1, 1, hop), np.float32))),
              g.const([1, 1, -1], np.int64))
    step = g.op("Div", f0, g.const([float(OUT_RATE)], np.float32))
    phase = g.op("Mod", g.op("CumSum", step, g.const(2, np.int64)),
                 g.const([1.0], np.float32), fmod=1)
    sine = g.scaled(g.op("Sin", g.scaled(phase, 2.0 * np.pi)), 0.1)
    voiced = g.op("Cast", g.op("Greater", f0, g.const([0.0], np.float32)), to=FLOAT)
    g.params += 2
    merged = g.op("Add", g.scaled(g.op("Mul", sine, voiced), 0.7), g.const([0.01], np.float32))
    return g.op("Tanh", merged)


def res_block1(g, x, ch, kernel, length):
    for d in RES_DILATIONS:
        h = g.conv(leaky(g, x), ch, ch, [kernel], length, dilations=[d],
                   pads=[d * (kernel - 1) // 2] * 2, gain=1.0)
        h = g.conv(leaky(g, h), ch, ch, [kernel], length, pads=[(kernel - 1) // 2] * 2,
                   gain=RESIDUAL_GAIN)
        x = g.op("Add", x, h)
    return x


def nsf_decoder(g, z, speaker, source):
    ch, length = 512, VOICE_REF_T
    x = g.conv(z, INTER, ch, [7], length, pads=[3, 3])
    x = g.op("Add", x, g.conv(speaker, GIN, ch, [1], 1, gain=0.1))
    for level, (rate, kernel) in enumerate(UPSAMPLE):
        x = g.conv_t(leaky(g, x), ch, ch // 2, [kernel], length, strides=[rate],
                     pads=[(kernel - rate) // 2] * 2)
        ch //= 2
        length *= rate
        rest = int(np.prod([r for r, _ in UPSAMPLE[level + 1:]]))
        if rest > 1:
            noise = g.conv(source, 1, ch, [2 * rest], length, strides=[rest],
                           pads=[rest // 2] * 2, gain=1.0)
        else:
            noise = g.conv(source, 1, ch, [1], length, gain=1.0)
        x = g.op("Add", x, noise)
        blocks = [res_block1(g, x, ch, k, length) for k in RES_KERNELS]
        x = g.scaled(g.op("Sum", *blocks), 1.0 / len(blocks))
    x = g.conv(leaky(g, x, 0.01), ch, 1, [7], length, pads=[3, 3], bias=False, gain=1.0)
    return g.op("Tanh", x)


def voice_heavy():
    g = Net(3)
    frames = g.op("Gather", g.op("Shape", "phone"), g.const(1, np.int64))
    positions = g.op("Range", g.const(0, np.int64), frames, g.const(1, np.int64))
    valid = g.op("Less", positions, "phone_lengths")
    mask = g.op("Reshape", g.op("Cast", valid, to=FLOAT), g.const([1, 1, -1], np.int64))
    g.params += GIN
    table = g.rng.standard_normal((1, GIN), dtype=np.float32)
    speaker = g.op("Unsqueeze", g.op("Gather", g.const(table), "sid", axis=0),
                   g.const([2], np.int64))  # [1, 256, 1]

    stats = text_encoder(g, mask)
    mean = g.op("Slice", stats, g.const([0]), g.const([INTER]), g.const([1]))
    log_scale = g.op("Slice", stats, g.const([INTER]), g.const([2 * INTER]), g.const([1]))
    spread = g.op("Mul", g.op("Exp", log_scale), g.scaled("noise", 0.66666))
    z = g.op("Mul", g.op("Add", mean, spread), mask)
    for i in range(4):
        z = coupling_flow(g, z, mask, speaker, flip=i < 3)
    audio = nsf_decoder(g, g.op("Mul", z, mask), speaker, sine_source(g))

    inputs = [
        tensor("phone", FLOAT, [1, "T", 768]),
        tensor("phone_lengths", INT64, [1]),
        tensor("pitch", INT64, [1, "T"]),
        tensor("pitchf", FLOAT, [1, "T"]),
        tensor("sid", INT64, [1]),
        tensor("noise", FLOAT, [1, INTER, "T"]),
    ]
    model = g.build(audio, inputs, tensor("audio", FLOAT, [1, 1, "S"]))
    return model, g, f"T = {VOICE_REF_T}"


MODELS = {"hubert_v2": hubert, "rmvpe": rmvpe, "voice_heavy": voice_heavy}


def main():
    parser = argparse.ArgumentParser(description="Write the heavy benchmark networks.")
    parser.add_argument("outdir", type=Path)
    args = parser.parse_args()
    for n in range(HUBERT_REF_N - 640, HUBERT_REF_N + 640):
        assert hubert_frames(n) == (n - 400) // 320 + 1, n
    args.outdir.mkdir(parents=True, exist_ok=True)
    for name, make in MODELS.items():
        model, net, reference = make()
        path = args.outdir / f"{name}.onnx"
        path.write_bytes(model.SerializeToString())
        print(f"{path.name:18} {net.params / 1e6:6.1f} M parameters  "
              f"{path.stat().st_size / 2**20:6.0f} MiB  {net.macs / 1e9:6.2f} GMAC at {reference}",
              flush=True)


if __name__ == "__main__":
    main()
