"""Neural voices end to end, with the generated networks that reveal what they were fed."""
import os
import shutil
import tempfile
import time
import unittest

import numpy as np

import make_models as mm
from support import RATE, WINDOWS, EngineProcess, SoundServer, read_wav, run, write_wav

# The Windows build's DirectML runtime writes this line of its own at exit where Direct3D 12 is
# missing (under Wine here).
NO_DIRECT3D = "Failed to create DXGI factory."


def silence_then_tone(seconds, tone_from, rate=16000, hz=220.0):
    t = np.arange(int(seconds * rate)) / rate
    return np.where(t >= tone_from, 0.5 * np.sin(2 * np.pi * hz * t), 0.0).astype(np.float32)


class Models(unittest.TestCase):
    """A model directory with every network."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="kw_models_")
        mm.build(cls.dir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="kw_neural_")
        self.addCleanup(shutil.rmtree, self.work, True)
        # The runtime must write nothing under HOME, whatever the user's setting says.
        self.env = {k: v for k, v in os.environ.items() if not k.startswith(("KW_", "XDG_"))}
        self.env.update(KW_MODEL_DIR=self.dir, HOME=self.work, ORT_DISABLE_TELEMETRY="0")

    def base(self, hubert="hubert_v2", rmvpe="rmvpe"):
        """A model directory with other base networks beside voice_echo."""
        # A non-ASCII name: on Windows model paths reach the runtime as UTF-16.
        d = tempfile.mkdtemp(prefix="kw_base_ü_")
        self.addCleanup(shutil.rmtree, d, True)
        for name, file in ((hubert, "hubert_v2"), (rmvpe, "rmvpe"), ("voice_echo", "voice_echo")):
            shutil.copy(os.path.join(self.dir, name + ".onnx"), os.path.join(d, file + ".onnx"))
        return ["--voice", "voice_echo", "--model-dir", d]

    def selftest(self, samples, *args, rate=16000, channels=1, env=None):
        with tempfile.TemporaryDirectory() as tmp:
            src, out = os.path.join(tmp, "in.wav"), os.path.join(tmp, "out.wav")
            write_wav(src, samples, rate, channels)
            code, _, lines = run("--selftest", src, "--out", out, *args, env={**self.env, **(env or {})})
            lines = [line.replace(tmp, "<tmp>") for line in lines
                     if not (WINDOWS and line == NO_DIRECT3D)]
            # Every diagnostic is one tagged line, also when it carries a runtime's message.
            self.assertEqual([line for line in lines if not line.lstrip("\x1b").startswith("[")], [])
            return code, lines, (read_wav(out) if os.path.exists(out) else None)


class SelfTest(Models):
    def setUp(self):
        super().setUp()
        self.addCleanup(lambda: self.assertEqual(os.listdir(self.work), []))

    def test_conversion_feeds_the_networks_what_the_chunks_hold(self):
        x = silence_then_tone(1.5, 0.75)
        code, lines, out = self.selftest(x, "--voice", "voice_echo")
        self.assertEqual((code, lines[0]), (0, "[selftest] Eingabe: <tmp>/in.wav (16000 Hz, 1 ch, 1.50 s)"))
        self.assertRegex(lines[-3], r"^\[selftest\] 2 Chunks à 1000 ms \| Stage-Zeiten gesamt: "
                                    r"mel \d+ ms, rmvpe \d+ ms, hubert \d+ ms, voice \d+ ms$")
        self.assertRegex(lines[-2], r"^\[selftest\] Wall \d+ ms für 1\.50 s Audio → RTF "
                                    r"\d+\.\d\d \(\d+ ms Inferenz pro 1000 ms Chunk\)$")
        fed, expected = mm.decode_echo(out), mm.expected_echo(x, 16000)
        for name in ("content_index", "content_first", "content_last", "phone_lengths", "sid", "frame"):
            np.testing.assert_array_equal(fed[name], expected[name][:150], name)
        for name in ("content_mean", "noise_first", "noise_last"):
            np.testing.assert_allclose(fed[name], expected[name][:150], atol=1e-5, err_msg=name)
        voiced = fed["pitchf"] > 0
        self.assertFalse(voiced[:60].any())
        self.assertTrue(voiced[85:].all())
        np.testing.assert_array_equal(fed["pitch"][~voiced], 1)
        np.testing.assert_allclose(fed["pitchf"][voiced], mm.PEAK_F0, rtol=1e-5)
        np.testing.assert_array_equal(fed["pitch"][voiced], mm.PEAK_PITCH)

    def test_pitch_frames_pitch_file_and_resampled_input(self):
        # rmvpe_index names the salience frame each f0 came from: chunk frame k is frame k + 4.
        code, lines, out = self.selftest(np.zeros(32000, np.float32), *self.base(rmvpe="rmvpe_index"))
        self.assertEqual(code, 0, lines)
        fed = mm.decode_echo(out)
        frames = np.arange(200) % 100 + 4
        np.testing.assert_allclose(fed["pitchf"], [mm.decode_salience(mm.salience({p: 0.9}))
                                                   for p in frames], rtol=1e-5)
        with open(os.path.join(self.dir, "voice_echo.semitones"), "w") as f:
            f.write("+12 semitones\n")
        self.addCleanup(os.remove, os.path.join(self.dir, "voice_echo.semitones"))
        x = np.repeat(silence_then_tone(1.0, 0.0, rate=48000)[:, None], 2, axis=1)
        code, lines, out = self.selftest(x.ravel(), "--voice", "voice_echo", rate=48000, channels=2)
        self.assertEqual(code, 0, lines)
        fed = mm.decode_echo(out[:len(out) // 400 * 400])
        np.testing.assert_allclose(fed["pitchf"][10:90], 2 * mm.PEAK_F0, rtol=1e-5)
        np.testing.assert_array_equal(fed["pitch"][10:90], mm.coarse_pitch(2 * mm.PEAK_F0))

    def test_chunk_length_and_output_length(self):
        x = silence_then_tone(1.0, 0.5)
        code, lines, out = self.selftest(x, "--voice", "voice_echo", env={"KW_RVC_CHUNK_MS": "510"})
        self.assertEqual((code, len(out)), (0, 40000))
        self.assertTrue(lines[-3].startswith("[selftest] 2 Chunks à 500 ms"), lines[-3])
        code, lines, out = self.selftest(x, "--voice", "voice_fixed200")
        self.assertEqual(len([line for line in lines if line.startswith(
            "[rvc] Probe T=100 fehlgeschlagen: ")]), 1, lines)
        self.assertTrue(lines[-3].startswith("[selftest] 1 Chunks à 2000 ms"), lines[-3])
        code, lines, out = self.selftest(np.zeros(16000, np.float32), "--voice", "voice_short")
        self.assertEqual(code, 0, lines)
        np.testing.assert_allclose(out, np.linspace(0, 39998, 40000) / 65536, atol=1e-6)  # stretched
        code, lines, out = self.selftest(np.zeros(0, np.float32), "--voice", "voice_echo")
        self.assertEqual((code, len(out), lines[-2][-61:]),
                         (0, 0, "für 0.00 s Audio → RTF 0.00 (0 ms Inferenz pro 1000 ms Chunk)"))

    def test_networks_in_other_layouts(self):
        x = silence_then_tone(1.0, 0.3)
        _, _, plain = self.selftest(x, *self.base())
        code, _, transposed = self.selftest(x, *self.base(rmvpe="rmvpe_transposed"))
        self.assertEqual(code, 0)
        np.testing.assert_array_equal(transposed, plain)
        code, _, out = self.selftest(x, *self.base(rmvpe="rmvpe_unvoiced"))
        fed = mm.decode_echo(out)
        self.assertEqual((code, fed["pitchf"].max(), fed["pitch"].max()), (0, 0.0, 1.0))
        code, _, out = self.selftest(x, *self.base(hubert="hubert_short"))
        np.testing.assert_array_equal(mm.decode_echo(out)["content_index"][28:], 15)

    def test_refusals_and_their_exit_statuses(self):
        x = silence_then_tone(1.5, 0.5)
        cases = [
            (["--voice", "voice_missing_sid"], 3,
             "[selftest] voice: Voice-Modell ohne Input 'sid' — Export-Vertrag verletzt"),
            (["--voice", "not_a_model"], 3, "[selftest] voice: ORT CreateSession: "),
            (["--voice", "nowhere"], 3, "[selftest] voice: ORT CreateSession: "),
            (self.base(hubert="hubert_badshape"), 4,
             "[selftest] convert @0.00s: hubert: unerwartete Ausgabeform"),
            (self.base(rmvpe="rmvpe_badshape"), 4,
             "[selftest] convert @0.00s: rmvpe: unerwartete Ausgabeform"),
            (self.base(hubert="no_output"), 3,
             "[selftest] init: Basismodell ohne Ein- oder Ausgang: "),
            (["--voice", "voice_echo", "--model-dir", self.work], 3,
             "[selftest] init: ORT CreateSession: "),
        ]
        for args, status, last in cases:
            code, lines, out = self.selftest(x, *args, env={"KW_BASE_MODEL_DIR": self.work})
            self.assertEqual((code, lines[-1][:len(last)], out), (status, last, None), args)
        code, lines, out = self.selftest(silence_then_tone(1.5, 1.1), "--voice", "voice_fails")
        self.assertEqual((code, out), (4, None))
        self.assertTrue(lines[-1].startswith("[selftest] convert @1.00s: voice: "), lines[-1])
        args = self.base()
        shutil.copy(os.path.join(self.dir, "empty_output.onnx"), os.path.join(args[3], "voice_echo.onnx"))
        code, lines, _ = self.selftest(x, *args)
        self.assertEqual((code, lines[-1]), (4, "[selftest] convert @0.00s: voice: leere Ausgabe"))

    def test_providers_follow_the_environment(self):
        # Windows: the runtime's own reason (no Direct3D 12 device under Wine).
        dml = "[rvc] DML-Registrierung fehlgeschlagen: " + (
            "" if WINDOWS else "DirectML ist auf dieser Plattform nicht verfügbar")
        for env, attempts in (({}, 1), ({"KW_RVC_PROVIDER": "CPU"}, 0),
                              ({"KW_RVC_PROVIDER": "gpu"}, 1),
                              ({"KW_RVC_PROVIDER": "cpu", "KW_RVC_PROVIDER_VOICE": "Dml"}, 1),
                              ({"KW_RVC_PROVIDER_BASE": "auto"}, 3)):
            _, lines, _ = self.selftest(np.zeros(1600, np.float32), "--voice", "voice_echo", env=env)
            self.assertEqual(sum(line.startswith(dml) for line in lines), attempts, env)


class ProtocolVoices(Models):
    def test_switching_to_a_neural_voice_and_back(self):
        for name in ("radio", "original"):
            shutil.copy(os.path.join(self.dir, "voice_echo.onnx"), os.path.join(self.dir, name + ".onnx"))
            self.addCleanup(os.remove, os.path.join(self.dir, name + ".onnx"))
        os.mkdir(os.path.join(self.dir, "tief.onnx"))
        self.addCleanup(os.rmdir, os.path.join(self.dir, "tief.onnx"))
        with EngineProcess(self.env) as engine:
            self.assertIn("voice_echo", engine.request(cmd="list_presets")["rvc"])
            self.assertEqual(engine.request(cmd="set_voice", id="voice_echo"),
                             {"ok": True, "voice": "voice_echo"})
            status = engine.request(cmd="status")
            self.assertEqual((status["engine"], status["voice"]), ("rvc-onnx", "voice_echo"))
            self.assertGreater(status["latencyMs"], 1000.0)
            self.assertEqual(engine.request(cmd="set_param", name="nope", value=1),
                             {"ok": False, "error": "unbekannter Parameter: nope"})
            self.assertEqual(engine.request(cmd="set_voice", id="voice_missing_sid"), {
                "ok": False, "error": "Voice-Modell ohne Input 'sid' — Export-Vertrag verletzt"})
            self.assertEqual(engine.request(cmd="status")["voice"], "voice_echo")
            for name in ("../" + os.path.basename(self.dir) + "/voice_echo", "a/b", "x\\y"):
                self.assertTrue(engine.request(cmd="set_voice", id=name)["error"].startswith(
                    "unbekannte Stimme: "))
            for name, kind in (("original", "dsp"), ("radio", "rvc-onnx"), ("tief", "dsp")):
                engine.request(cmd="set_voice", id=name)
                self.assertEqual(engine.request(cmd="status")["engine"], kind, name)
            code, err = engine.quit()
            self.assertEqual(code, 0)

    def test_neural_voice_replaces_the_preset_without_stopping_the_audio(self):
        with SoundServer() as server:
            env = {**self.env, "PULSE_SERVER": server.env["PULSE_SERVER"], "KW_RVC_CHUNK_MS": "200"}
            # Long enough for a slow model load (under Wine); cut when the engine stops.
            t = np.arange(30 * RATE) / RATE
            player = server.play("micfeed", np.repeat(0.5 * np.sin(2 * np.pi * 440 * t)[:, None], 2, 1))
            cable = server.record("cable_input.monitor")
            with EngineProcess(env) as engine:
                self.assertTrue(engine.request(cmd="start")["ok"])
                time.sleep(0.8)
                self.assertEqual(engine.request(cmd="set_voice", id="voice_sine"),
                                 {"ok": True, "voice": "voice_sine"})
                time.sleep(2.5)
                self.assertTrue(engine.request(cmd="set_voice", id="original")["ok"])
                time.sleep(1.0)
                engine.request(cmd="stop")
            player.kill()
            audio = cable()[:, 0]
        # voice_sine sings the decoded f0; before and after, the microphone's tone.
        loud = np.flatnonzero(np.abs(audio) > 0.05)
        segment = audio[loud[0]:loud[-1]]
        blocks = segment[:len(segment) // 4800 * 4800].reshape(-1, 4800)
        freqs = [np.argmax(np.abs(np.fft.rfft(b * np.hanning(4800)))) * RATE / 4800 for b in blocks]
        self.assertTrue(any(abs(f - 440) < 25 for f in freqs[:5]), freqs)
        self.assertGreaterEqual(sum(abs(f - mm.PEAK_F0) < 25 for f in freqs), 10, freqs)
        self.assertTrue(any(abs(f - 440) < 25 for f in freqs[-5:]), freqs)


if __name__ == "__main__":
    unittest.main()
