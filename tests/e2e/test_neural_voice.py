"""Neural voices end to end, with small generated networks that reveal what they were fed."""
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time
import unittest

import numpy as np

import rvc_models as rm
from sound_server import ENGINE, RATE, EngineProcess, SoundServer

CHUNK = 16000


def write_wav(path, samples, rate, channels=1):
    data = np.asarray(samples, dtype="<f4").tobytes()
    header = b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " + struct.pack(
        "<IHHIIHH", 16, 3, channels, rate, rate * 4 * channels, 4 * channels, 32)
    with open(path, "wb") as f:
        f.write(header + b"data" + struct.pack("<I", len(data)) + data)


def read_wav(path):
    with open(path, "rb") as f:
        return np.frombuffer(f.read()[44:], dtype="<f4")


def silence_then_tone(seconds, tone_from, rate=16000, hz=220.0):
    t = np.arange(int(seconds * rate)) / rate
    return np.where(t >= tone_from, 0.5 * np.sin(2 * np.pi * hz * t), 0.0).astype(np.float32)


class Models(unittest.TestCase):
    """A model directory with the base networks and every voice."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="kw_models_")
        rm.build_models(cls.dir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="kw_neural_")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.env = {**os.environ, "KW_MODEL_DIR": self.dir, "HOME": self.work}
        for name in ("KW_RVC_CHUNK_MS", "KW_BASE_MODEL_DIR", "KW_RVC_PROVIDER",
                     "KW_RVC_PROVIDER_VOICE", "KW_RVC_PROVIDER_BASE"):
            self.env.pop(name, None)

    def selftest(self, samples, *args, rate=16000, channels=1, env=None):
        src = os.path.join(self.work, "in.wav")
        write_wav(src, samples, rate, channels)
        out = os.path.join(self.work, "out.wav")
        if os.path.exists(out):
            os.remove(out)
        p = subprocess.run([ENGINE, "--selftest", src, "--out", out, *args],
                           env={**self.env, **(env or {})}, capture_output=True, timeout=120)
        lines = p.stderr.decode("utf-8", "replace").splitlines()
        return p.returncode, lines, (read_wav(out) if os.path.exists(out) else None)


class SelfTest(Models):
    def test_conversion_feeds_the_networks_what_the_chunks_hold(self):
        x = silence_then_tone(1.5, 0.75)
        code, lines, out = self.selftest(x, "--voice", "voice_echo")
        self.assertEqual(code, 0, lines)
        d = self.dir
        self.assertEqual(lines[0], "[selftest] Eingabe: %s (16000 Hz, 1 ch, 1.50 s)"
                         % os.path.join(self.work, "in.wav"))
        self.assertIn(f"[rvc] lade {d}/hubert_v2.onnx …", lines)
        self.assertIn(f"[rvc] lade {d}/rmvpe.onnx …", lines)
        self.assertIn("[rvc] provider=cpu | hubert in=source out=embed | rmvpe in=mel "
                      "out=salience", lines)
        self.assertIn(f"[rvc] lade Stimme {d}/voice_echo.onnx …", lines)
        self.assertIn("[rvc] Stimme provider=cpu", lines)
        self.assertTrue(any(line.startswith("[rvc] DML-Registrierung fehlgeschlagen: ")
                            for line in lines), lines)
        self.assertRegex(lines[-3], r"^\[selftest\] 2 Chunks à 1000 ms \| Stage-Zeiten gesamt: "
                                    r"mel \d+ ms, rmvpe \d+ ms, hubert \d+ ms, voice \d+ ms$")
        self.assertRegex(lines[-2], r"^\[selftest\] Wall \d+ ms für 1\.50 s Audio → RTF "
                                    r"\d+\.\d\d \(\d+ ms Inferenz pro 1000 ms Chunk\)$")
        self.assertEqual(lines[-1], "[selftest] Ausgabe: %s (60000 Samples @40 kHz)"
                         % os.path.join(self.work, "out.wav"))

        fed = rm.decode_echo(out)
        expected = rm.expected_echo(x, CHUNK)
        for name in ("content_index", "content_first", "content_last", "phone_lengths", "sid",
                     "frame"):
            np.testing.assert_array_equal(fed[name], expected[name][:150], name)
        for name in ("content_mean", "noise_first", "noise_last"):
            np.testing.assert_allclose(fed[name], expected[name][:150], atol=1e-5, err_msg=name)
        voiced = fed["pitchf"] > 0
        self.assertFalse(voiced[:60].any())  # silence: unvoiced, coarse pitch 1
        self.assertTrue(voiced[85:].all())
        np.testing.assert_array_equal(fed["pitch"][~voiced], 1)
        np.testing.assert_allclose(fed["pitchf"][voiced], rm.PEAK_F0, rtol=1e-5)
        np.testing.assert_array_equal(fed["pitch"][voiced], rm.PEAK_PITCH)

    def test_resampled_input_pitch_file_and_transposed_estimator(self):
        with open(os.path.join(self.dir, "voice_echo.semitones"), "w") as f:
            f.write("+12 semitones\n")
        self.addCleanup(os.remove, os.path.join(self.dir, "voice_echo.semitones"))
        x = np.repeat(silence_then_tone(1.0, 0.0, rate=48000)[:, None], 2, axis=1)
        code, lines, out = self.selftest(x.ravel(), "--voice", "voice_echo", rate=48000,
                                         channels=2)
        self.assertEqual(code, 0, lines)
        self.assertIn("[rvc] Pitch-Shift +12.0 Halbtöne (%s/voice_echo.semitones)" % self.dir,
                      lines)
        fed = rm.decode_echo(out[: len(out) // 400 * 400])
        np.testing.assert_allclose(fed["pitchf"][10:90], 2 * rm.PEAK_F0, rtol=1e-5)
        np.testing.assert_array_equal(fed["pitch"][10:90], rm.coarse_pitch(2 * rm.PEAK_F0))

    def test_chunk_length_follows_the_environment_and_the_network(self):
        x = silence_then_tone(1.0, 0.5)
        code, lines, out = self.selftest(x, "--voice", "voice_echo",
                                         env={"KW_RVC_CHUNK_MS": "500"})
        self.assertEqual(code, 0, lines)
        self.assertTrue(lines[-3].startswith("[selftest] 2 Chunks à 500 ms"), lines[-3])
        self.assertEqual(len(out), 40000)

        code, lines, out = self.selftest(x, "--voice", "voice_fixed200")
        self.assertEqual(code, 0, lines)
        probe = [line for line in lines if line.startswith("[rvc] Probe T=100 fehlgeschlagen: ")]
        self.assertEqual(len(probe), 1, lines)
        self.assertNotIn("\n", probe[0])
        self.assertIn("[rvc] Chunk angepasst: T=200 → 32000 Samples @16 kHz (2000 ms)", lines)
        self.assertTrue(lines[-3].startswith("[selftest] 1 Chunks à 2000 ms"), lines[-3])

    def test_wrong_length_output_is_stretched(self):
        code, lines, out = self.selftest(np.zeros(16000, np.float32), "--voice", "voice_short")
        self.assertEqual(code, 0, lines)
        self.assertIn("[rvc] Hinweis: T=100 → 39999 Ausgangssamples (erwartet 40000)", lines)
        self.assertIn("[rvc] Warnung: voice-Ausgabe 39999 Samples, erwartet 40000 — strecke "
                      "linear", lines)
        np.testing.assert_array_equal(out, rm.stretch(rm.short_output(100), 40000))

    def test_refusals_and_their_exit_statuses(self):
        x = silence_then_tone(1.5, 0.5)
        code, lines, _ = self.selftest(x, "--voice", "voice_missing_sid")
        self.assertEqual((code, lines[-1]), (3, "[selftest] voice: Voice-Modell ohne Input "
                                                "'sid' — Export-Vertrag verletzt"))
        code, lines, _ = self.selftest(x, "--voice", "voice_only400",
                                       env={"KW_RVC_CHUNK_MS": "100"})
        self.assertEqual(code, 0, lines)
        self.assertIn("[rvc] Chunk angepasst: T=400 → 64000 Samples @16 kHz (4000 ms)", lines)
        code, lines, _ = self.selftest(x, "--voice", "not_a_model")
        self.assertEqual(code, 3)
        self.assertTrue(lines[-1].startswith("[selftest] voice: ORT CreateSession: "), lines)
        code, lines, _ = self.selftest(x, "--voice", "nowhere")
        self.assertEqual(code, 3)
        code, lines, out = self.selftest(silence_then_tone(1.5, 1.1), "--voice", "voice_fails")
        self.assertEqual(code, 4)
        self.assertTrue(lines[-1].startswith("[selftest] convert @1.00s: voice: "), lines[-1])
        self.assertIsNone(out)
        code, lines, _ = self.selftest(x, "--voice", "voice_echo", "--model-dir", self.work,
                                       env={"KW_BASE_MODEL_DIR": self.work})
        self.assertEqual(code, 3)
        self.assertTrue(lines[-1].startswith("[selftest] init: ORT CreateSession: "), lines)


class NetworkVariants(Models):
    """Base networks that answer in the other layout, say nothing, or break the contract."""

    def with_base(self, **installed):
        d = tempfile.mkdtemp(prefix="kw_variant_", dir=self.work)
        rm.build_models(d, "voice_echo", "empty_output", rename={
            installed.get("hubert", "hubert_v2"): "hubert_v2.onnx",
            installed.get("rmvpe", "rmvpe"): "rmvpe.onnx"})
        return ["--voice", "voice_echo", "--model-dir", d]

    def test_layouts_and_contract_breaches(self):
        x = silence_then_tone(1.0, 0.3)
        _, _, plain = self.selftest(x, *self.with_base())
        code, _, transposed = self.selftest(x, *self.with_base(rmvpe="rmvpe_transposed"))
        self.assertEqual(code, 0)
        np.testing.assert_array_equal(transposed, plain)

        code, _, out = self.selftest(x, *self.with_base(rmvpe="rmvpe_unvoiced"))
        fed = rm.decode_echo(out)
        self.assertEqual((code, fed["pitchf"].max(), fed["pitch"].max()), (0, 0.0, 1.0))

        code, _, out = self.selftest(x, *self.with_base(hubert="hubert_short"))
        fed = rm.decode_echo(out)
        self.assertEqual(code, 0)
        np.testing.assert_array_equal(fed["content_index"][28:], rm.HUBERT_SHORT_FRAMES - 1)

        for base, stage in ((dict(hubert="hubert_badshape"), "hubert"),
                            (dict(rmvpe="rmvpe_badshape"), "rmvpe")):
            code, lines, out = self.selftest(x, *self.with_base(**base))
            self.assertEqual((code, lines[-1], out), (
                4, f"[selftest] convert @0.00s: {stage}: unerwartete Ausgabeform", None))

        args = self.with_base()
        args[1] = "empty_output"
        code, lines, _ = self.selftest(x, *args)
        self.assertIn("[rvc] Hinweis: T=100 → 0 Ausgangssamples (erwartet 40000)", lines)
        self.assertEqual((code, lines[-1]), (4, "[selftest] convert @0.00s: voice: leere Ausgabe"))


class ProtocolVoices(Models):
    def test_switching_to_a_neural_voice_and_back(self):
        with EngineProcess(self.env) as engine:
            presets = engine.request(cmd="list_presets")
            self.assertIn("voice_echo", presets["rvc"])
            self.assertNotIn("hubert_v2", presets["rvc"])
            self.assertEqual(engine.request(cmd="set_voice", id="voice_echo"),
                             {"ok": True, "voice": "voice_echo"})
            status = engine.request(cmd="status")
            self.assertEqual((status["engine"], status["voice"]), ("rvc-onnx", "voice_echo"))
            self.assertGreater(status["latencyMs"], 1000.0)
            self.assertEqual(engine.request(cmd="set_param", name="pitch", value=30), {"ok": True})
            self.assertEqual(engine.request(cmd="set_param", name="reverb", value=0.3),
                             {"ok": True})
            self.assertEqual(engine.request(cmd="set_param", name="nope", value=1),
                             {"ok": False, "error": "unbekannter Parameter: nope"})

            reply = engine.request(cmd="set_voice", id="voice_missing_sid")
            self.assertEqual(reply, {"ok": False, "error": "Voice-Modell ohne Input 'sid' — "
                                                           "Export-Vertrag verletzt"})
            self.assertEqual(engine.request(cmd="status")["voice"], "voice_echo")
            for name in ("../" + os.path.basename(self.dir) + "/voice_echo", "a/b", "x\\y"):
                reply = engine.request(cmd="set_voice", id=name)
                self.assertFalse(reply["ok"])
                self.assertTrue(reply["error"].startswith("unbekannte Stimme: "))
            self.assertEqual(engine.request(cmd="set_voice", id="original"),
                             {"ok": True, "voice": "original"})
            self.assertEqual(engine.request(cmd="status")["engine"], "dsp")
            code, err = engine.quit()
            self.assertEqual(code, 0)
            for line in err.decode().splitlines():
                self.assertFalse("\n" in line)

    def test_a_voice_file_wins_over_a_preset_but_not_over_original(self):
        for name in ("radio", "original"):
            shutil.copy(os.path.join(self.dir, "voice_echo.onnx"),
                        os.path.join(self.dir, name + ".onnx"))
            self.addCleanup(os.remove, os.path.join(self.dir, name + ".onnx"))
        os.mkdir(os.path.join(self.dir, "tief.onnx"))
        self.addCleanup(os.rmdir, os.path.join(self.dir, "tief.onnx"))
        with EngineProcess(self.env) as engine:
            engine.request(cmd="set_voice", id="radio")
            self.assertEqual(engine.request(cmd="status")["engine"], "rvc-onnx")
            engine.request(cmd="set_voice", id="original")
            self.assertEqual(engine.request(cmd="status")["engine"], "dsp")
            engine.request(cmd="set_voice", id="tief")
            self.assertEqual(engine.request(cmd="status")["engine"], "dsp")


class LiveNeuralVoice(Models):
    def test_neural_voice_replaces_the_preset_without_stopping_the_audio(self):
        self.env["KW_RVC_CHUNK_MS"] = "200"
        with SoundServer() as server:
            env = {**server.env, **{k: v for k, v in self.env.items() if k.startswith("KW_")}}
            mic = np.repeat(silence_then_tone(8.0, 0.0, rate=RATE, hz=440.0)[:, None], 2, axis=1)
            player = server.play("micfeed", mic)
            cable = server.record("cable_input.monitor")
            with EngineProcess(env) as engine:
                self.assertTrue(engine.request(cmd="start")["ok"])
                time.sleep(0.8)
                self.assertEqual(engine.request(cmd="set_voice", id="voice_sine"),
                                 {"ok": True, "voice": "voice_sine"})
                time.sleep(2.5)
                self.assertEqual(engine.request(cmd="set_voice", id="original")["ok"], True)
                time.sleep(1.0)
                engine.request(cmd="stop")
            player.kill()
            audio = cable.stop()[:, 0]
        # The voice_sine network sings the decoded f0; before and after, the microphone's tone.
        loud = np.flatnonzero(np.abs(audio) > 0.05)
        self.assertGreater(len(loud), RATE)
        segment = audio[loud[0]:loud[-1]]
        blocks = segment[: len(segment) // 4800 * 4800].reshape(-1, 4800)
        freqs = [np.argmax(np.abs(np.fft.rfft(b * np.hanning(4800)))) * RATE / 4800
                 for b in blocks]
        near = lambda f, hz: abs(f - hz) < 25  # noqa: E731
        self.assertTrue(any(near(f, 440.0) for f in freqs[:5]), freqs)
        self.assertTrue(sum(near(f, rm.PEAK_F0) for f in freqs) >= 10, freqs)
        self.assertTrue(any(near(f, 440.0) for f in freqs[-5:]), freqs)


if __name__ == "__main__":
    unittest.main()
