"""End-to-end checks of the offline tools (--gen-test-wav, --selftestdsp, --help) of the
real executable against the independent numpy reference in tests/reference."""

import os
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import numpy as np

sys.path.insert(
    0, os.environ.get("KW_REFERENCE_DIR", str(Path(__file__).resolve().parents[1] / "reference"))
)
import dsp_reference as ref  # noqa: E402

ENGINE = os.environ.get("KW_ENGINE", "")
F = np.float32

GEN_TOLERANCE = 1e-6
CHAIN_TOLERANCE = 1e-4
PITCH_MIN_SNR_DB = 40.0

HELP_TEXT = "".join(
    line + "\n"
    for line in (
        "engine.exe                 JSON-Protokoll auf stdin/stdout",
        "engine.exe --list          Geräte als JSON",
        "engine.exe --test <preset> [--seconds N]   Live-Test Mikro→DSP→Ausgabe",
        "engine.exe --selftest <in.wav> [--voice <name>] [--out <out.wav>] [--model-dir <dir>]",
        "                           WAV durch RVC-Stimme konvertieren (offline, 40 kHz out)",
        "engine.exe --selftestdsp <preset> <in.wav> <out.wav>",
        "                           WAV offline durch DSP-Preset-Kette (48 kHz out)",
        "engine.exe --gen-test-wav <out.wav> [--seconds N]   synthetisches Testsignal",
        "Presets: roboter daemon tief chipmunk yuki lena funk studio asmr alien cyborg echo original",
        "RVC-Stimmen: set_voice <name> lädt <modelDir>/<name>.onnx "
        "(modelDir via Env KW_MODEL_DIR oder Kommando set_model_dir)",
    )
).encode()

PRESET_LINE = re.compile(
    r"\[selftestdsp\] Preset '(?P<preset>[^']*)': (?P<n>\d+) Samples @48 kHz "
    r"\((?P<seconds>\d+\.\d\d) s\), Latenz (?P<lat>-?\d+) Samples \((?P<latms>-?\d+\.\d) ms\), "
    r"Proc \d+\.\d ms → RTF (?:\d+\.\d{4}|-?nan|inf)"
)


def setUpModule():
    if not ENGINE or not os.access(ENGINE, os.X_OK):
        raise unittest.SkipTest("KW_ENGINE does not name an executable engine")


def run(*args, cwd=None):
    return subprocess.run(
        [ENGINE, *map(str, args)],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        timeout=60,
        cwd=cwd,
    )


def read_float_wav(test, path, rate):
    """Checks the exact 44-byte header of a mono float file and returns its samples."""
    blob = Path(path).read_bytes()
    n = (len(blob) - 44) // 4
    test.assertEqual(blob[:44], ref.wav_header(n, rate), "header of " + str(path))
    test.assertEqual(len(blob), 44 + 4 * n)
    return np.frombuffer(blob[44:], "<f4").astype(F)


class GenTestWavTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.tmp = Path(self.dir.name)

    def tearDown(self):
        self.dir.cleanup()

    def gen_ok(self, args, path, seconds, count):
        """Runs the generator, checks status, streams and the file against the reference."""
        proc = run("--gen-test-wav", *args, cwd=self.tmp)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stdout, b"")
        expected_log = "[gen] %s geschrieben (%.1f s, 16 kHz mono float32)\n" % (
            path,
            float(F(seconds)),
        )
        self.assertEqual(proc.stderr, expected_log.encode())
        got = read_float_wav(self, self.tmp / path, 16000)
        self.assertEqual(len(got), count)
        want = ref.gen_test_signal(seconds)
        self.assertEqual(len(want), count)
        if count:
            worst = float(np.max(np.abs(got.astype(np.float64) - want)))
            self.assertLessEqual(worst, GEN_TOLERANCE)
            return worst
        return 0.0

    def test_default_four_seconds(self):
        worst = self.gen_ok(["out.wav"], "out.wav", 4.0, 64000)
        sys.stderr.write("\n  gen-test-wav 4 s: worst |engine - reference| = %.3g\n" % worst)

    def test_absolute_path_in_log(self):
        path = str(self.tmp / "abs.wav")
        self.gen_ok([path, "--seconds", "0.5"], path, 0.5, 8000)

    def test_zero_and_fractional_durations(self):
        self.gen_ok(["z.wav", "--seconds", "0"], "z.wav", 0.0, 0)
        self.assertEqual((self.tmp / "z.wav").stat().st_size, 44)
        self.gen_ok(["h.wav", "--seconds", "1.5"], "h.wav", 1.5, 24000)

    def test_option_scan(self):
        # the last occurrence wins
        self.gen_ok(["a.wav", "--seconds", "1", "--seconds", "0.5"], "a.wav", 0.5, 8000)
        # an option name as the last argument has no value and is not read
        self.gen_ok(["b.wav", "--seconds"], "b.wav", 4.0, 64000)
        self.gen_ok(["c.wav", "--seconds", "0.25", "--seconds"], "c.wav", 0.25, 4000)
        # every position is compared, also a value position
        self.gen_ok(["d.wav", "--seconds", "--seconds", "0.25"], "d.wav", 0.25, 4000)
        self.gen_ok(["e.wav", "x", "--seconds", "0.25"], "e.wav", 0.25, 4000)
        # atof conversion
        self.gen_ok(["f.wav", "--seconds", "0.25abc"], "f.wav", 0.25, 4000)
        self.gen_ok(["g.wav", "--seconds", "abc"], "g.wav", 0.0, 0)

    def test_mode_selection(self):
        # the first argument after the mode name is the output path, whatever it looks like
        self.gen_ok(["--seconds", "0.25"], "--seconds", 4.0, 64000)
        self.gen_ok(["--help"], "--help", 4.0, 64000)
        # the mode name need not come first; positions count from the mode name
        proc = run("junk", "--gen-test-wav", "m.wav", "--seconds", "0.25", cwd=self.tmp)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(len(read_float_wav(self, self.tmp / "m.wav", 16000)), 4000)

    def test_negative_duration_is_refused(self):
        for text in ("-1", "-0.25"):
            with self.subTest(seconds=text):
                proc = run("--gen-test-wav", "neg.wav", "--seconds", text, cwd=self.tmp)
                self.assertEqual(proc.returncode, 2)
                self.assertEqual(proc.stdout, b"")
                expected = "[gen] Fehler: ungültige Dauer %.1f s\n" % float(F(float(text)))
                self.assertEqual(proc.stderr, expected.encode())
                self.assertFalse((self.tmp / "neg.wav").exists())

    def test_unwritable_output(self):
        for path in (str(self.tmp / "missing" / "out.wav"), "/dev/full"):
            with self.subTest(path=path):
                proc = run("--gen-test-wav", path, "--seconds", "0.5", cwd=self.tmp)
                self.assertEqual(proc.returncode, 1)
                self.assertEqual(proc.stdout, b"")
                expected = "[gen] Fehler: kann nicht schreiben: %s\n" % path
                self.assertEqual(proc.stderr, expected.encode())
        self.assertFalse((self.tmp / "missing").exists())


class HelpTest(unittest.TestCase):
    def test_help_text(self):
        self.assertEqual(len(HELP_TEXT), 763)
        for args in (["--help"], ["whatever", "--help"], ["--help", "--list"]):
            with self.subTest(args=args):
                proc = run(*args)
                self.assertEqual(proc.returncode, 0)
                self.assertEqual(proc.stdout, b"")
                self.assertEqual(proc.stderr, HELP_TEXT)


def _voice_like(rate, seconds, f0, seed):
    """A harmonic test input with a little noise, float32, deterministic."""
    t = np.arange(int(rate * seconds)) / rate
    sig = sum(np.sin(2 * np.pi * f0 * k * t + k) / k for k in range(1, 12))
    sig = 0.25 * sig * (0.6 + 0.4 * np.sin(2 * np.pi * 3 * t))
    sig += 0.02 * np.random.RandomState(seed).standard_normal(len(t))
    return sig.astype(F)


class SelftestDspOutputTest(unittest.TestCase):
    """Every preset on three inputs: 16 kHz float (resampled), 48 kHz stereo float (mixed
    down, not resampled) and 44.1 kHz 16-bit PCM (resampled 160/147)."""

    PRESETS = ["bypass"] + ref.LISTED
    figures = {}

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.tmp = Path(cls.dir.name)
        ref.wav_write_float(cls.tmp / "in16k.wav", ref.gen_test_signal(1.0), 16000)
        left, right = _voice_like(48000, 0.5, 150, 1), _voice_like(48000, 0.5, 210, 2)
        stereo = np.empty(2 * len(left), F)
        stereo[0::2], stereo[1::2] = left, right
        ref.wav_write_float_multi(cls.tmp / "stereo48k.wav", stereo, 48000, 2)
        pcm = np.round(_voice_like(44100, 0.5, 120, 3) * 32767).clip(-32768, 32767)
        ref.wav_write_pcm16(cls.tmp / "pcm44k.wav", pcm.astype(np.int16), 44100, 1)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()
        if cls.figures:
            out = ["", "  selftestdsp vs reference (max |err| unshifted, SNR pitch-shifted):"]
            for (inp, preset), fig in sorted(cls.figures.items()):
                out.append("    %-14s %-9s %s" % (inp, preset, fig))
            sys.stderr.write("\n".join(out) + "\n")

    def check_presets(self, input_name, expected_n=None):
        in_path = self.tmp / input_name
        for preset in self.PRESETS:
            with self.subTest(input=input_name, preset=preset):
                out_path = self.tmp / ("%s.%s.out.wav" % (input_name, preset))
                proc = run("--selftestdsp", preset, in_path, out_path)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(proc.stdout, b"")
                want, lat = ref.selftestdsp(preset, str(in_path))
                if expected_n is not None:
                    self.assertEqual(len(want), expected_n)
                lines = proc.stderr.decode().splitlines()
                self.assertEqual(len(lines), 2, proc.stderr)
                m = PRESET_LINE.fullmatch(lines[0])
                self.assertIsNotNone(m, lines[0])
                n = len(want)
                self.assertEqual(m["preset"], preset)
                self.assertEqual(int(m["n"]), n)
                self.assertEqual(m["seconds"], "%.2f" % (n / 48.0 / 1000.0))
                self.assertEqual(int(m["lat"]), lat)
                self.assertEqual(m["latms"], "%.1f" % (lat / 48.0))
                self.assertEqual(lines[1], "[selftestdsp] Ausgabe: %s" % out_path)

                got = read_float_wav(self, out_path, 48000).astype(np.float64)
                self.assertEqual(len(got), n)
                err = got - want
                if lat:
                    signal = np.sum(want.astype(np.float64) ** 2)
                    snr = 10 * np.log10(signal / max(np.sum(err**2), 1e-30))
                    self.figures[(input_name, preset)] = "SNR %.1f dB" % snr
                    self.assertGreater(snr, PITCH_MIN_SNR_DB)
                else:
                    worst = float(np.max(np.abs(err))) if n else 0.0
                    self.figures[(input_name, preset)] = "max |err| %.3g" % worst
                    self.assertLessEqual(worst, CHAIN_TOLERANCE)

    def test_16k_float_through_resampler(self):
        # 16000 samples, up 3: output m needs input floor(m/3) + 8
        self.check_presets("in16k.wav", expected_n=47976)

    def test_48k_stereo_mixed_down(self):
        self.check_presets("stereo48k.wav", expected_n=24000)

    def test_44k1_pcm16_through_resampler(self):
        self.check_presets("pcm44k.wav")

    def test_trailing_partial_frame_is_dropped(self):
        data = np.arange(1, 11, dtype=F) / F(16)
        ref.wav_write_float_multi(self.tmp / "three.wav", data, 48000, 3)
        out_path = self.tmp / "three.out.wav"
        proc = run("--selftestdsp", "original", self.tmp / "three.wav", out_path)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        got = read_float_wav(self, out_path, 48000)
        want = ref.mixdown(data, 3)
        self.assertEqual(len(want), 3)
        np.testing.assert_array_equal(got, want)


class SelftestDspFailureTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.tmp = Path(self.dir.name)
        self.good = self.tmp / "good.wav"
        ref.wav_write_float(self.good, ref.gen_test_signal(0.1), 16000)

    def tearDown(self):
        self.dir.cleanup()

    def fails(self, args, status, last_line):
        proc = run("--selftestdsp", *args)
        self.assertEqual(proc.returncode, status, proc.stderr)
        self.assertEqual(proc.stdout, b"")
        self.assertTrue(proc.stderr.endswith(b"\n"), proc.stderr)
        self.assertEqual(proc.stderr.decode().splitlines()[-1], last_line)
        return proc.stderr.decode().splitlines()

    def test_unreadable_input(self):
        missing = self.tmp / "nope.wav"
        out = self.tmp / "out.wav"
        for preset in ("roboter", "x"):  # the input is read before the preset is looked up
            with self.subTest(preset=preset):
                lines = self.fails(
                    [preset, missing, out], 2, "[selftestdsp] kann nicht öffnen: %s" % missing
                )
                self.assertEqual(len(lines), 1)
        self.assertFalse(out.exists())

    def test_not_a_wav(self):
        text = self.tmp / "text.wav"
        text.write_bytes(b"this is not audio at all\n")
        lines = self.fails(
            ["roboter", text, self.tmp / "o.wav"], 2, "[selftestdsp] kein RIFF/WAVE: %s" % text
        )
        self.assertEqual(len(lines), 1)

    def test_unknown_preset(self):
        out = self.tmp / "o.wav"
        for preset in ("x", "Roboter", "roboter ", ""):
            with self.subTest(preset=preset):
                lines = self.fails(
                    [preset, self.good, out], 2, "[selftestdsp] unbekanntes Preset '%s'" % preset
                )
                self.assertEqual(len(lines), 1)
        self.assertFalse(out.exists())

    def test_refused_resampling_ratio(self):
        odd = self.tmp / "odd.wav"
        ref.wav_write_float(odd, np.zeros(441, F), 44101)
        with self.assertRaises(RuntimeError):  # 48000/44101 has terms above 1024
            ref.PolyphaseResampler(44101, 48000, 16)
        message = (
            "[selftestdsp] Resampling 44101→48000 nicht unterstützt: "
            "Resampler: unplausibles Verhältnis"
        )
        for preset in ("roboter", "x"):  # resampling comes before the preset lookup
            with self.subTest(preset=preset):
                lines = self.fails([preset, odd, self.tmp / "o.wav"], 2, message)
                self.assertEqual(len(lines), 1)
        self.assertFalse((self.tmp / "o.wav").exists())

    def test_unwritable_output(self):
        for out in (str(self.tmp / "missing" / "o.wav"), "/dev/full"):
            with self.subTest(out=out):
                lines = self.fails(
                    ["roboter", self.good, out], 5, "[selftestdsp] kann nicht schreiben: %s" % out
                )
                self.assertEqual(len(lines), 2)
                self.assertIsNotNone(PRESET_LINE.fullmatch(lines[0]), lines[0])
        self.assertFalse((self.tmp / "missing").exists())


if __name__ == "__main__":
    unittest.main()
