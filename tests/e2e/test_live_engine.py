"""The live engine through a real, private sound server: devices, audio paths, failures."""
import base64
import json
import os
import signal
import subprocess
import time
import unittest

import numpy as np

from support import (CABLE_NAME, RATE, WINDOWS, EngineProcess, SoundServer, dominant_hz, run,
                     tone, typical_peak)

# How long a new stream takes to carry sound: Wine's audio driver adds its own start-up.
SETTLE = 1.0 if WINDOWS else 0.4


def rms(frames):
    return float(np.sqrt(np.mean(np.square(frames)))) if len(frames) else 0.0


class LiveEngine(unittest.TestCase):
    """One server for the class; each test runs its own engine."""

    @classmethod
    def setUpClass(cls):
        cls.server = SoundServer().start()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__()

    def setUp(self):
        self.engine = EngineProcess(self.server.env)
        self.addCleanup(self.engine.quit)

    def run_with_mic(self, seconds, mic=None, before=None):
        """Runs the engine while the microphone plays; returns cable and speakers without their
        first SETTLE seconds, where the streams are still settling."""
        player = self.server.play("micfeed", tone(seconds + SETTLE + 0.6) if mic is None else mic)
        cable = self.server.record("cable_input.monitor")
        speakers = self.server.record("speakers.monitor")
        if before:
            before()
        self.assertEqual(self.engine.request(cmd="start"), {"ok": True, "cableActive": True})
        time.sleep(seconds + SETTLE - 0.4)
        self.engine.request(cmd="stop")
        player.kill()
        player.wait()
        skip = int(SETTLE * RATE)
        return cable()[skip:], speakers()[skip:]

    def test_voice_reaches_the_cable_and_the_monitor_only_when_monitoring(self):
        # Left 440 Hz at 0.5, right 660 Hz at 0.25: channel order and level survive the way.
        mic = np.concatenate([tone(1.8 + SETTLE, channels=1),
                              tone(1.8 + SETTLE, hz=660, amp=0.25, channels=1)], 1)
        cable, speakers = self.run_with_mic(1.2, mic)
        self.assertLess(rms(speakers), 1e-4)
        self.assertEqual(self.engine.request(cmd="set_monitor", value=1),
                         {"ok": True, "monitor": True})
        _, monitor = self.run_with_mic(1.2, mic)
        for out in (cable, monitor):
            self.assertAlmostEqual(typical_peak(out[:, 0]), 0.5, delta=0.02)
            self.assertAlmostEqual(typical_peak(out[:, 1]), 0.25, delta=0.02)
            self.assertLess(abs(dominant_hz(out[:, 0]) - 440) + abs(dominant_hz(out[:, 1]) - 660), 4)

    def test_voice_and_gain_change_while_running(self):
        cable, _ = self.run_with_mic(1.5, before=lambda: self.engine.request(cmd="set_voice",
                                                                              id="chipmunk"))
        self.assertAlmostEqual(dominant_hz(cable[int(0.3 * RATE):, 0]), 440 * 1.55, delta=12)
        self.engine.request(cmd="set_voice", id="original")
        self.engine.request(cmd="set_param", name="gain", value=0.5)
        cable, _ = self.run_with_mic(1.0)
        self.assertAlmostEqual(typical_peak(cable[:, 0]), 0.25, delta=0.02)

    def test_mute_level_and_status(self):
        player = self.server.play("micfeed", tone(3.0))
        self.engine.request(cmd="start")
        time.sleep(SETTLE + 0.4)
        level = self.engine.request(cmd="get_level")
        self.assertAlmostEqual(level["level"], 0.5, delta=0.02)
        self.assertAlmostEqual(level["db"], -6.0, delta=0.4)
        status = self.engine.request(cmd="status")
        self.assertEqual((status["running"], status["sampleRate"], status["channels"],
                          status["cableActive"]), (True, 48000, 2, True))
        self.assertTrue(10.0 < status["latencyMs"] < 60.0, status)
        self.assertEqual(self.engine.request(cmd="start"), {"ok": True, "cableActive": True})
        self.engine.request(cmd="stop")
        player.kill()
        self.assertEqual(self.engine.request(cmd="status")["running"], False)

        self.engine.request(cmd="set_mute", value=1)
        cable, _ = self.run_with_mic(1.0)
        self.assertLess(rms(cable), 1e-4)
        self.assertIn('"level":0.000', self.engine.ask('{"cmd":"status"}'))

    def test_soundboard(self):
        player = self.server.play("micfeed", np.zeros((3 * RATE, 2)))
        cable, speakers = self.server.record("cable_input.monitor"), self.server.record("speakers.monitor")
        self.engine.request(cmd="start")
        self.assertEqual(self.engine.request(cmd="sb_vol", value=0.5), {"ok": True, "vol": 0.5})
        clip = tone(1.5, hz=1000.0).astype("<f4")
        clip[:480], clip[480:960] = [8e29, np.inf], [np.nan, -8e29]  # 10 ms each, first
        clip = base64.b64encode(clip.tobytes())
        self.assertEqual(self.engine.ask(b'{"cmd":"sb_play","rate":48000,"ch":2,"b64":"' + clip
                                         + b'"}'), b'{"ok":true,"seconds":1.50}')
        floats = base64.b64encode(np.zeros(2, "<f4").tobytes())
        mismatch = b"Samplerate/Kan\xc3\xa4le passen nicht zur Engine"
        for fields, error in (  # refused clips leave the playing one alone
                (b'"rate":"48000","ch":"2","b64":"' + floats, mismatch),
                (b'"rate":1e300,"ch":2,"b64":"' + floats, mismatch),
                (b'"rate":48000,"ch":2,"b64":"!!!!', b"ung\xc3\xbcltige PCM-Daten"),
                (b'"rate":48000,"ch":2,"b64":"AAAAAAAA', b"ung\xc3\xbcltige PCM-Daten"),  # 6 bytes
                (b'"rate":48000,"ch":2,"b64":"' + base64.b64encode(bytes(48000 * 2 * 120 + 4)),
                 b"Sound zu lang (max 30 s)")):
            self.assertEqual(self.engine.ask(b'{"cmd":"sb_play",' + fields + b'"}'),
                             b'{"ok":false,"error":"' + error + b'"}')
        time.sleep(1.2)
        for b64, seconds in ((b"AAAA\\r\\nAAAA AAAA\\tAAAA=garbage", b"0.00"),
                             (base64.b64encode(bytes(48000 * 2 * 120)), b"30.00")):
            self.assertEqual(self.engine.ask(b'{"cmd":"sb_play","rate":48000.9,"ch":2.2,"b64":"'
                                             + b64 + b'"}'), b'{"ok":true,"seconds":' + seconds + b"}")
        self.engine.request(cmd="stop")
        player.kill()
        for out in (cable(), speakers()):
            loud = np.flatnonzero(np.abs(out[:, 0]) > 0.01)
            self.assertGreater(loud[-1] - loud[0], RATE)
            self.assertTrue(np.isfinite(out).all())
            # The hostile samples bounded on arrival (±1 or 0), at volume 0.5.
            self.assertAlmostEqual(np.max(np.abs(out)), 0.5, delta=0.05)
            self.assertAlmostEqual(typical_peak(out[loud[0]:loud[-1], 0]), 0.25, delta=0.01)
            self.assertAlmostEqual(dominant_hz(out[loud[0]:loud[0] + RATE, 0]), 1000.0, delta=5)

    @unittest.skipIf(WINDOWS, "a console's interrupt is no POSIX signal")
    def test_terminated_while_running(self):
        player = self.server.play("micfeed", tone(3.0))
        self.assertTrue(self.engine.request(cmd="start")["ok"])
        self.engine.p.send_signal(signal.SIGTERM)
        self.assertEqual(self.engine.p.wait(timeout=5), 0)
        player.kill()

    @unittest.skipIf(WINDOWS, "Wine names endpoints its own way, lists monitors as inputs and "
                              "reads the device list once per process")
    def test_device_names_resolve_within_their_direction(self):
        decoy = self.pactl("load-module", "module-null-sink", "sink_name=decoy",
                           "sink_properties=\"device.description='Copy of cable_input'\"")
        self.addCleanup(self.pactl, "unload-module", decoy)
        player = self.server.play("micfeed", np.zeros((10 * RATE, 2)))
        sinks = dict(line.split("\t")[:2] for line in self.pactl("list", "short", "sinks").splitlines())
        for output, sink in (("speakers", "speakers"), ("sPEAK", "speakers"), ("default", "speakers"),
                             ("", "speakers"), ("cable input", "cable_input"),
                             ("cable_input", "cable_input"), ("copy of CABLE", "decoy")):
            self.engine.request(cmd="set_output", id=output)
            self.engine.request(cmd="set_input", id="MICRO")
            self.assertEqual(self.engine.request(cmd="start"), {"ok": True, "cableActive": True})
            playing = {sinks[line.split("\t")[1]] for line in
                       self.pactl("list", "short", "sink-inputs").splitlines()} - {"micfeed"}
            self.assertEqual(playing, {sink, "cable_input"}, output)  # monitor and cable
            self.engine.request(cmd="stop")
        for device, name, kind in (("output", "nothing like it", "Monitor-Output: Render"),
                                   ("output", "micro", "Monitor-Output: Render"),
                                   ("input", "speakers", "Capture: Capture"),
                                   ("input", "Monitor of", "Capture: Capture")):
            self.engine.request(cmd="set_output", id="")
            self.engine.request(cmd="set_input", id="")
            self.engine.request(cmd="set_" + device, id=name)
            self.assertEqual(self.engine.request(cmd="start"), {
                "ok": False, "error": f"{kind}-Endpoint nicht gefunden: {name}"})
        status = self.engine.request(cmd="status")
        self.assertEqual((status["running"], status["cableActive"]), (False, False))
        player.kill()

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.server.env, check=True,
                              capture_output=True, text=True).stdout.strip()

    def test_live_test_mode_and_list(self):
        player = self.server.play("micfeed", tone(4.0))
        code, out, lines = run("--test", "roboter", "--seconds", "1", env=self.server.env)
        player.kill()
        self.assertEqual((code, out), (0, b""), lines)
        cable = lines.index("[test] VB-CABLE gefunden: " + CABLE_NAME)
        if WINDOWS:  # Wine's ids, and its monitors and "PulseAudio" endpoints besides
            self.assertEqual((lines[0], cable), ("[test] Geräte:", 10))
        else:
            self.assertEqual(lines[:cable], [
                "[test] Geräte:", "  IN  Microphone [Standard] — mic",
                "  OUT Speakers [Standard] — speakers", "  OUT " + CABLE_NAME + " — cable_input",
                "  OUT Mic Feed — micfeed"])
        self.assertEqual(lines[cable + 1], "[test] Läuft: 48000 Hz, 2 ch, Preset 'roboter' — 1 s … "
                                           "(in das Mikro sprechen!)")
        for t, line in zip(("0.5", "1.0"), lines[cable + 2:cable + 4]):
            self.assertRegex(line, r"^\[test\] t= %ss  Level= *-?\d+\.\d dB  Latenz≈\d+\.\d ms"
                                   r"  Proc=\d+ µs/Block  Underruns=\d+$" % t.replace(".", r"\."))
        self.assertEqual(lines[cable + 4:], ["[test] fertig."])
        code, _, lines = run("--test", "nope", env=self.server.env)
        self.assertEqual((code, lines[-1]), (2, "[test] Preset-Fehler: unbekannte Stimme: nope "
                                                "(weder RVC-Modell noch DSP-Preset)"))
        code, out, _ = run("--list", env=self.server.env)
        self.assertEqual(out, (self.engine.ask('{"cmd":"list_devices"}') + "\n").encode())
        if WINDOWS:  # in Wine's order; its "PulseAudio" endpoints stand for the defaults
            devices = json.loads(out)
            names = {kind: sorted((d["name"], "default" in d) for d in devices[kind])
                     for kind in ("inputs", "outputs")}
            monitors = [("Monitor of " + name, False) for name in (CABLE_NAME, "Mic Feed", "Speakers")]
            self.assertEqual((names, devices["cable"]), ({
                "inputs": [("Microphone", False)] + monitors + [("PulseAudio", True)],
                "outputs": [(CABLE_NAME, False), ("Mic Feed", False), ("PulseAudio", True),
                            ("Speakers", False)]}, True))
            return
        self.assertEqual(
            out, b'{"ok":true,"inputs":[{"id":"mic","name":"Microphone","default":true}],"outputs":['
            b'{"id":"speakers","name":"Speakers","default":true},{"id":"cable_input","name":"'
            + CABLE_NAME.encode() + b'"},{"id":"micfeed","name":"Mic Feed"}],"cable":true}\n')


class DeviceVariants(unittest.TestCase):
    def test_without_a_cable_only_the_monitor_runs(self):
        with SoundServer("--no-cable") as server, EngineProcess(server.env) as engine:
            for name in ("HDMI Cable", "Cable-Input", "VB-Audio Point"):  # none is the cable
                subprocess.run(["pactl", "load-module", "module-null-sink", f"sink_name={name[:4]}",
                                f"sink_properties=\"device.description='{name}'\""],
                               env=server.env, check=True, capture_output=True)
            player = server.play("micfeed", np.zeros((3 * RATE, 2)))
            self.assertEqual(engine.request(cmd="start"), {"ok": True, "cableActive": False})
            self.assertTrue(engine.ask('{"cmd":"list_devices"}').endswith('"cable":false}'))
            if WINDOWS:  # the cable is a driver there
                refused = {"ok": False, "error": "Unter Windows ist das virtuelle Kabel ein Treiber "
                           "(VB-CABLE): installieren oder entfernen wie jeden Treiber"}
                self.assertEqual((engine.request(cmd="create_cable"), run("--remove-cable")[0]),
                                 (refused, 2))
                player.kill()
                return
            # One step makes a cable; a second finds it; only what was made is removed again.
            self.assertEqual(engine.request(cmd="create_cable"),
                             {"ok": True, "created": ["kw_cable_input", "kw_cable_output"]})
            self.assertEqual(run("--create-cable", env=server.env)[:2],
                             (0, b'{"ok":true,"created":[],"existing":"CABLE Input"}\n'))
            engine.request(cmd="stop")
            self.assertEqual(engine.request(cmd="start"), {"ok": True, "cableActive": True})
            engine.request(cmd="stop")
            self.assertEqual(engine.request(cmd="remove_cable"),
                             {"ok": True, "removed": ["kw_cable_output", "kw_cable_input"]})
            self.assertTrue(engine.ask('{"cmd":"list_devices"}').endswith('"cable":false}'))
            player.kill()

    def test_any_microphone_and_cable_format(self):
        """The voice arrives at its pitch and level on a cable and on 48 kHz stereo speakers in
        every pairing of formats, and so does a soundboard clip in the microphone's format."""
        for mic, cable in (("16000:1", "16000:1"), ("44100:2", "44100:2"), ("48000:1", "48000:6"),
                           ("48000:6", "44100:1"), ("48000:2", "48000:2")):
            rate, channels = map(int, mic.split(":"))
            with self.subTest(mic=mic, cable=cable), \
                    SoundServer("--mic", mic, "--cable", cable) as server, \
                    EngineProcess(server.env) as engine:
                player = server.play("micfeed", tone(4.0))
                on_cable, on_speakers = server.record("cable_input.monitor"), server.record(
                    "speakers.monitor")
                self.assertEqual(engine.request(cmd="start"), {"ok": True, "cableActive": True})
                status = engine.request(cmd="status")
                self.assertEqual((status["sampleRate"], status["channels"]), (rate, channels))
                clip = tone(1.0, hz=660, amp=0.4, channels=channels, rate=rate).astype("<f4")
                time.sleep(0.8)
                self.assertTrue(engine.request(cmd="sb_play", rate=rate, ch=channels, b64=base64.b64encode(
                    clip.tobytes()).decode())["ok"])
                time.sleep(1.0)
                engine.request(cmd="stop")
                player.kill()
                voice, speakers = on_cable(), on_speakers()
                voice = voice[np.argmax(np.abs(voice[:, 0]) > 0.1) + int(0.1 * RATE):]
                for out in (voice[:, 0], voice[:, 1]):  # before the clip is mixed in
                    self.assertAlmostEqual(dominant_hz(out[:int(0.3 * RATE)]), 440, delta=4)
                    self.assertAlmostEqual(typical_peak(out[:int(0.3 * RATE)]), 0.5, delta=0.03)
                heard = speakers[np.argmax(np.abs(speakers[:, 0]) > 0.1):][:int(0.5 * RATE)]
                self.assertAlmostEqual(dominant_hz(heard[:, 0]), 660, delta=4)  # the clip alone
                self.assertAlmostEqual(typical_peak(heard[:, 1]), 0.4 * 0.8, delta=0.03)

    def test_server_killed_while_running_then_back(self):
        """The engine tells it stopped while the server is gone and resumes by itself within 2 s
        of its return; after stop it waits for start again."""
        def running(engine):
            status = engine.request(cmd="status")
            return status["running"], status["cableActive"]

        with SoundServer() as server, EngineProcess(server.env) as engine:
            player = server.play("micfeed", tone(10.0))
            self.assertTrue(engine.request(cmd="start")["ok"])
            time.sleep(0.3)
            os.kill(server.pid(), signal.SIGKILL)
            player.kill()
            time.sleep(0.5)
            self.assertEqual(running(engine), (False, False))
            refused = ("Render Initialize fehlgeschlagen (HRESULT -2147467259)" if WINDOWS  # E_FAIL
                       else "Verbindung zum Soundserver fehlgeschlagen: Connection refused")
            self.assertEqual(engine.request(cmd="start"),
                             {"ok": False, "error": "Monitor-Output: " + refused})
            server.start()
            player = server.play("micfeed", tone(4.0))
            time.sleep(2.0)
            self.assertEqual(running(engine), (True, True))
            self.assertGreater(engine.request(cmd="get_level")["level"], 0.4)
            t0 = time.monotonic()
            self.assertEqual(engine.request(cmd="stop"), {"ok": True})
            self.assertLess(time.monotonic() - t0, 1.0)
            os.kill(server.pid(), signal.SIGKILL)
            server.start()
            time.sleep(1.5)
            self.assertEqual(running(engine), (False, False))
            player.kill()
            code, err = engine.quit()
            self.assertEqual(code, 0)
            self.assertEqual(err.decode().count("[engine] Audiogeräte verloren"), 1)  # no flood


if __name__ == "__main__":
    unittest.main()
