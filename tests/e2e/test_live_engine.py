"""The live engine through a real, private sound server: devices, audio paths, failures."""
import base64
import signal
import time
import unittest

import numpy as np

from sound_server import CABLE_NAME, RATE, EngineProcess, SoundServer

TONE_HZ = 440.0


def tone(seconds, hz=TONE_HZ, amp=0.5, channels=2):
    t = np.arange(int(seconds * RATE)) / RATE
    return np.repeat((amp * np.sin(2 * np.pi * hz * t))[:, None], channels, axis=1)


def rms(frames):
    return float(np.sqrt(np.mean(np.square(frames)))) if len(frames) else 0.0


def dominant_hz(mono):
    spectrum = np.abs(np.fft.rfft(mono * np.hanning(len(mono))))
    return np.argmax(spectrum) * RATE / len(mono)


def steady(frames, skip=0.4):
    """The recording without its start, where streams are still settling."""
    return frames[int(skip * RATE):]


def typical_peak(mono, block=480):
    """Median peak of 10 ms blocks: the signal's amplitude, robust against a slow start or a
    dropout on a loaded machine."""
    n = len(mono) // block
    return float(np.median(np.max(np.abs(mono[:n * block].reshape(n, block)), axis=1))) if n else 0.0


class LiveEngine(unittest.TestCase):
    """One server for the class; each test runs its own engine."""

    @classmethod
    def setUpClass(cls):
        cls.server = SoundServer().start()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def setUp(self):
        self.engine = EngineProcess(self.server.env)
        self.addCleanup(self.engine.quit)

    def run_with_mic(self, seconds, signal_frames=None, before=None):
        """Starts the engine while the microphone plays; records cable and speakers."""
        mic = signal_frames if signal_frames is not None else tone(seconds + 1.0)
        player = self.server.play("micfeed", mic)
        cable = self.server.record("cable_input.monitor")
        speakers = self.server.record("speakers.monitor")
        if before:
            before()
        self.assertEqual(self.engine.request(cmd="start"), {"ok": True, "cableActive": True})
        time.sleep(seconds)
        self.engine.request(cmd="stop")
        player.kill()
        player.wait()
        return steady(cable.stop()), steady(speakers.stop())

    def test_device_list_names_the_cable(self):
        self.assertEqual(
            self.engine.request_line(b'{"cmd":"list_devices"}'),
            b'{"ok":true,"inputs":[{"id":"mic","name":"Microphone","default":true}],"outputs":['
            b'{"id":"speakers","name":"Speakers","default":true},{"id":"cable_input","name":"'
            + CABLE_NAME.encode() + b'"},{"id":"micfeed","name":"Mic Feed"}],"cable":true}\n')

    def test_voice_reaches_the_cable_and_the_monitor_only_when_monitoring(self):
        cable, speakers = self.run_with_mic(1.2)
        self.assertAlmostEqual(typical_peak(cable[:, 0]), 0.5, delta=0.02)
        self.assertAlmostEqual(dominant_hz(cable[:, 1]), TONE_HZ, delta=3)
        self.assertLess(rms(speakers), 1e-4)

        self.assertEqual(self.engine.request(cmd="set_monitor", value=1),
                         {"ok": True, "monitor": True})
        cable, speakers = self.run_with_mic(1.2)
        self.assertAlmostEqual(typical_peak(speakers[:, 0]), 0.5, delta=0.02)
        self.assertAlmostEqual(dominant_hz(speakers[:, 0]), TONE_HZ, delta=3)

    def test_preset_changes_the_voice_while_running(self):
        def switch():
            self.engine.request(cmd="set_voice", id="chipmunk")

        cable, _ = self.run_with_mic(1.5, before=switch)
        # chipmunk shifts up by 1.55 and lifts the highs with a shelf.
        self.assertAlmostEqual(dominant_hz(cable[int(0.3 * RATE):, 0]), TONE_HZ * 1.55, delta=12)

        self.engine.request(cmd="set_voice", id="original")
        self.engine.request(cmd="set_param", name="gain", value=0.5)
        cable, _ = self.run_with_mic(1.0)
        self.assertAlmostEqual(typical_peak(cable[:, 0]), 0.25, delta=0.02)

    def test_mute_silences_the_voice_and_lets_the_level_decay(self):
        self.engine.request(cmd="set_mute", value=1)
        cable, _ = self.run_with_mic(1.0)
        self.assertLess(rms(cable), 1e-4)
        self.assertIn('"level":0.000', self.engine.request_line(b'{"cmd":"status"}').decode())

    def test_level_and_status_while_running(self):
        player = self.server.play("micfeed", tone(3.0))
        self.engine.request(cmd="start")
        time.sleep(0.8)
        level = self.engine.request(cmd="get_level")
        self.assertAlmostEqual(level["level"], 0.5, delta=0.02)
        self.assertAlmostEqual(level["db"], -6.0, delta=0.4)
        status = self.engine.request(cmd="status")
        self.assertEqual((status["running"], status["sampleRate"], status["channels"],
                          status["cableActive"]), (True, 48000, 2, True))
        self.assertGreater(status["latencyMs"], 10.0)
        self.assertLess(status["latencyMs"], 60.0)
        self.assertEqual(self.engine.request(cmd="start"), {"ok": True, "cableActive": True})
        self.engine.request(cmd="stop")
        player.kill()
        self.assertEqual(self.engine.request(cmd="status")["running"], False)

    def test_soundboard_clip_reaches_cable_and_monitor_with_monitoring_off(self):
        clip = tone(1.5, hz=1000.0, amp=0.5).astype("<f4")
        b64 = base64.b64encode(clip.tobytes()).decode()

        silence = np.zeros((3 * RATE, 2))
        player = self.server.play("micfeed", silence)
        cable = self.server.record("cable_input.monitor")
        speakers = self.server.record("speakers.monitor")
        self.engine.request(cmd="start")
        self.assertEqual(self.engine.request(cmd="sb_vol", value=0.5), {"ok": True, "vol": 0.5})
        self.assertEqual(self.engine.request_line(
            b'{"cmd":"sb_play","rate":48000,"ch":2,"b64":"' + b64.encode() + b'"}'),
            b'{"ok":true,"seconds":1.50}\n')
        time.sleep(1.2)
        self.engine.request(cmd="stop")
        player.kill()
        cable, speakers = cable.stop(), speakers.stop()
        for out in (cable, speakers):
            loud = np.flatnonzero(np.abs(out[:, 0]) > 0.01)
            clip_part = out[loud[0]:loud[-1], 0]
            self.assertGreater(len(clip_part), RATE // 2)
            self.assertAlmostEqual(np.max(np.abs(out)), 0.25, delta=0.01)
            self.assertAlmostEqual(dominant_hz(clip_part), 1000.0, delta=5)

    def test_soundboard_bad_input(self):
        player = self.server.play("micfeed", np.zeros((3 * RATE, 2)))
        self.engine.request(cmd="start")
        ask = self.engine.request_line
        floats = base64.b64encode(np.zeros(2, "<f4").tobytes())
        self.assertEqual(ask(b'{"cmd":"sb_play","rate":"48000","ch":"2","b64":"' + floats + b'"}'),
                         b'{"ok":false,"error":"Samplerate/Kan\xc3\xa4le passen nicht zur Engine"}\n')
        self.assertEqual(ask(b'{"cmd":"sb_play","rate":1e300,"ch":2,"b64":"' + floats + b'"}'),
                         b'{"ok":false,"error":"Samplerate/Kan\xc3\xa4le passen nicht zur Engine"}\n')
        self.assertEqual(ask(b'{"cmd":"sb_play","rate":48000.9,"ch":2.2,"b64":"' + floats + b'"}'),
                         b'{"ok":true,"seconds":0.00}\n')
        for b64 in (b"", b"!!!!", b"AAAAAAAA", b"=AAAAAAAAAAA"):  # nothing, or 6 bytes
            self.assertEqual(ask(b'{"cmd":"sb_play","rate":48000,"ch":2,"b64":"' + b64 + b'"}'),
                             b'{"ok":false,"error":"ung\xc3\xbcltige PCM-Daten"}\n', b64)
        # Line breaks and blanks inside the text are skipped; text after '=' is ignored.
        broken = b"AAAA\\r\\nAAAA AAAA\\tAAAA=garbage"
        self.assertEqual(ask(b'{"cmd":"sb_play","rate":48000,"ch":2,"b64":"' + broken + b'"}'),
                         b'{"ok":true,"seconds":0.00}\n')
        exactly_30s = base64.b64encode(bytes(48000 * 2 * 120))
        self.assertEqual(ask(b'{"cmd":"sb_play","rate":48000,"ch":2,"b64":"' + exactly_30s + b'"}'),
                         b'{"ok":true,"seconds":30.00}\n')
        too_long = base64.b64encode(bytes(48000 * 2 * 120 + 4))
        self.assertEqual(ask(b'{"cmd":"sb_play","rate":48000,"ch":2,"b64":"' + too_long + b'"}'),
                         b'{"ok":false,"error":"Sound zu lang (max 30 s)"}\n')
        self.assertEqual(ask(b'{"cmd":"sb_stop"}'), b'{"ok":true}\n')
        self.engine.request(cmd="stop")
        player.kill()

    def test_device_names_resolve_by_id_part_of_name_and_default(self):
        player = self.server.play("micfeed", np.zeros((8 * RATE, 2)))
        for output in ("speakers", "sPEAK", "default", "", "cable input"):
            self.engine.request(cmd="set_output", id=output)
            self.engine.request(cmd="set_input", id="MICRO")
            self.assertEqual(self.engine.request(cmd="start"), {"ok": True, "cableActive": True},
                             output)
            self.engine.request(cmd="stop")
        self.engine.request(cmd="set_output", id="nothing like it")
        self.assertEqual(self.engine.request(cmd="start"), {
            "ok": False, "error": "Monitor-Output: Render-Endpoint nicht gefunden: nothing like it"})
        self.engine.request(cmd="set_output", id="")
        self.engine.request(cmd="set_input", id="no mic")
        self.assertEqual(self.engine.request(cmd="start"), {
            "ok": False, "error": "Capture: Capture-Endpoint nicht gefunden: no mic"})
        status = self.engine.request(cmd="status")
        self.assertEqual((status["running"], status["cableActive"]), (False, False))
        player.kill()


class DeviceVariants(unittest.TestCase):
    def test_without_a_cable_only_the_monitor_runs(self):
        with SoundServer("--no-cable") as server, EngineProcess(server.env) as engine:
            player = server.play("micfeed", np.zeros((3 * RATE, 2)))
            self.assertEqual(engine.request(cmd="start"), {"ok": True, "cableActive": False})
            self.assertIn('"cable":false', engine.request_line(b'{"cmd":"list_devices"}').decode())
            engine.request(cmd="stop")
            player.kill()

    def test_mono_microphone_with_stereo_speakers_is_refused(self):
        with SoundServer("--mono-mic") as server, EngineProcess(server.env) as engine:
            player = server.play("micfeed", np.zeros((3 * RATE, 2)))
            self.assertEqual(engine.request(cmd="start"), {
                "ok": False,
                "error": "Sampleraten/Kanäle von Capture (48000 Hz/1 ch) und Render (48000 Hz/2 ch)"
                         " weichen ab — Resampling ist noch nicht drin"})
            status = engine.request(cmd="status")
            self.assertEqual((status["running"], status["cableActive"]), (False, False))
            player.kill()

    def test_server_killed_while_running_then_back(self):
        with SoundServer() as server, EngineProcess(server.env) as engine:
            player = server.play("micfeed", tone(10.0))
            self.assertTrue(engine.request(cmd="start")["ok"])
            time.sleep(0.3)
            pid = int(open(server.dir + "/pid").read())
            import os
            os.kill(pid, signal.SIGKILL)
            player.kill()
            time.sleep(0.2)
            self.assertTrue(engine.request(cmd="status")["ok"])
            self.assertTrue(engine.request(cmd="get_latency")["ok"])
            t0 = time.monotonic()
            self.assertEqual(engine.request(cmd="stop"), {"ok": True})
            self.assertLess(time.monotonic() - t0, 1.0)
            reply = engine.request(cmd="start")
            self.assertFalse(reply["ok"])
            self.assertIn("Soundserver", reply["error"])

            server.start()
            player = server.play("micfeed", tone(3.0))
            self.assertEqual(engine.request(cmd="start"), {"ok": True, "cableActive": True})
            time.sleep(0.5)
            self.assertGreater(engine.request(cmd="get_level")["level"], 0.4)
            engine.request(cmd="stop")
            player.kill()
            code, _ = engine.quit()
            self.assertEqual(code, 0)


class LiveTestMode(unittest.TestCase):
    def test_live_test_lists_devices_and_prints_status_lines(self):
        import subprocess
        from sound_server import ENGINE
        with SoundServer() as server:
            player = server.play("micfeed", tone(4.0))
            p = subprocess.run([ENGINE, "--test", "roboter", "--seconds", "1"], env=server.env,
                               capture_output=True, timeout=30)
            player.kill()
            lines = p.stderr.decode().splitlines()
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(p.stdout, b"")
            self.assertEqual(lines[:6], [
                "[test] Geräte:",
                "  IN  Microphone [Standard] — mic",
                "  OUT Speakers [Standard] — speakers",
                "  OUT " + CABLE_NAME + " — cable_input",
                "  OUT Mic Feed — micfeed",
                "[test] VB-CABLE gefunden: " + CABLE_NAME])
            self.assertEqual(lines[6], "[test] Läuft: 48000 Hz, 2 ch, Preset 'roboter' — 1 s … "
                                       "(in das Mikro sprechen!)")
            self.assertRegex(lines[7], r"^\[test\] t= 0\.5s  Level= *-?\d+\.\d dB  Latenz≈\d+\.\d ms"
                                       r"  Proc=\d+ µs/Block  Underruns=\d+$")
            self.assertTrue(lines[8].startswith("[test] t= 1.0s"))
            self.assertEqual(lines[9:], ["[test] fertig."])

            p = subprocess.run([ENGINE, "--test", "nope", "--seconds", "1"], env=server.env,
                               capture_output=True, timeout=30)
            self.assertEqual(p.returncode, 2)
            self.assertTrue(p.stderr.decode().endswith(
                "[test] Preset-Fehler: unbekannte Stimme: nope (weder RVC-Modell noch DSP-Preset)\n"))

            p = subprocess.run([ENGINE, "--list"], env=server.env, capture_output=True, timeout=30)
            self.assertEqual((p.returncode, p.stdout.count(b"\n")), (0, 1))
            self.assertTrue(p.stdout.startswith(b'{"ok":true,"inputs":[{"id":"mic"'))


if __name__ == "__main__":
    unittest.main()
