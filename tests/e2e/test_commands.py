"""Protocol commands that need no sound server, through the real executable."""
import base64
import os
import struct
import tempfile
import unittest

from sound_server import EngineProcess

PRESETS = ('["original","roboter","daemon","tief","chipmunk","yuki","lena","funk","radio",'
           '"studio","asmr","alien","cyborg","echo"]')
# No sound server: every device access must fail cleanly.
NO_SERVER = {**os.environ, "PULSE_SERVER": "unix:/nonexistent/native", "KW_MODEL_DIR": ""}


class Commands(unittest.TestCase):
    def setUp(self):
        self.engine = EngineProcess(NO_SERVER)
        self.addCleanup(self.engine.quit)

    def ask(self, line):
        return self.engine.request_line(line.encode()).decode("utf-8").rstrip("\n")

    def test_status_of_a_fresh_engine(self):
        self.assertEqual(self.ask('{"cmd":"status"}'),
                         '{"ok":true,"running":false,"engine":"dsp","voice":"original",'
                         '"sampleRate":48000,"channels":2,"cableActive":false,"latencyMs":20.0,'
                         '"level":0.000,"underruns":0,"muted":false,"monitor":false}')
        self.assertEqual(self.ask('{"cmd":"get_level"}'), '{"ok":true,"level":0.0000,"db":-120.0}')
        self.assertEqual(self.ask('{"cmd":"get_latency"}'),
                         '{"ok":true,"latencyMs":20.0,"procUsPerBlock":0,"underruns":0}')

    def test_switches_read_only_numbers_above_one_half(self):
        cases = [('"value":1', "true"), ('"value":true', "false"), ("", "false"),
                 ('"value":0.6', "true"), ('"value":0.5', "false"), ('"value":"1"', "false")]
        for field, on in cases:
            sep = "," if field else ""
            self.assertEqual(self.ask('{"cmd":"set_mute"' + sep + field + "}"),
                             '{"ok":true,"muted":' + on + "}", field)
            self.assertEqual(self.ask('{"cmd":"set_monitor"' + sep + field + "}"),
                             '{"ok":true,"monitor":' + on + "}", field)
        self.ask('{"cmd":"set_mute","value":1}')
        self.assertIn('"muted":true,"monitor":false}', self.ask('{"cmd":"status"}'))

    def test_device_selection_and_stop_always_succeed(self):
        for line in ('{"cmd":"set_input","id":"nothing"}', '{"cmd":"set_output"}',
                     '{"cmd":"stop"}', '{"cmd":"stop"}', '{"cmd":"sb_stop"}'):
            self.assertEqual(self.ask(line), '{"ok":true}')

    def test_start_without_a_sound_server_fails_cleanly_and_the_engine_goes_on(self):
        reply = self.ask('{"cmd":"start"}')
        self.assertTrue(reply.startswith('{"ok":false,"error":"Monitor-Output: '), reply)
        self.assertIn("Soundserver", reply)
        self.ask('{"cmd":"set_output","id":"Speakers"}')
        reply = self.ask('{"cmd":"start"}')
        self.assertTrue(reply.startswith('{"ok":false,"error":"Verbindung zum Soundserver'), reply)
        self.assertIn('"running":false', self.ask('{"cmd":"status"}'))
        self.assertTrue(self.ask('{"cmd":"list_devices"}').startswith('{"ok":false,"error":"'))

    def test_set_param_routes_names_and_refuses_unknown_ones(self):
        for name in ("pitch", "pitch_ratio", "formant", "ringmod", "bandpass", "drive", "echo",
                     "reverb", "gain"):
            for value in ("12", "-12", "1e300", "-1e300", '"x"', "true", "null", "0"):
                line = '{"cmd":"set_param","name":"%s","value":%s}' % (name, value)
                self.assertEqual(self.ask(line), '{"ok":true}', line)
        self.assertEqual(self.ask('{"cmd":"set_param","name":"Pitch","value":1}'),
                         '{"ok":false,"error":"unbekannter Parameter: Pitch"}')
        self.assertEqual(self.ask('{"cmd":"set_param","value":1}'),
                         '{"ok":false,"error":"unbekannter Parameter: "}')

    def test_set_voice_presets_and_unknown_names(self):
        self.assertEqual(self.ask('{"cmd":"set_voice","id":"roboter"}'),
                         '{"ok":true,"voice":"roboter"}')
        for name in ("Roboter", "", "../x", 'a\\"b'):
            reply = self.ask('{"cmd":"set_voice","id":"%s"}' % name)
            self.assertEqual(reply, '{"ok":false,"error":"unbekannte Stimme: %s (weder RVC-Modell '
                             'noch DSP-Preset)"}' % name)
        self.assertIn('"voice":"roboter"', self.ask('{"cmd":"status"}'))
        self.ask('{"cmd":"set_voice","id":"bypass"}')
        self.assertIn('"engine":"dsp","voice":"bypass"', self.ask('{"cmd":"status"}'))

    def test_soundboard_needs_a_running_engine_and_volume_is_clamped(self):
        clip = base64.b64encode(struct.pack("<4f", 0.1, 0.2, 0.3, 0.4)).decode()
        self.assertEqual(self.ask('{"cmd":"sb_play","rate":48000,"ch":2,"b64":"%s"}' % clip),
                         '{"ok":false,"error":"Engine läuft nicht — Power-Button drücken"}')
        for value, vol in (("1.7", "1.00"), ("-3", "0.00"), ("0.254", "0.25"), ('"1"', "0.00")):
            self.assertEqual(self.ask('{"cmd":"sb_vol","value":%s}' % value),
                             '{"ok":true,"vol":%s}' % vol)
        self.assertEqual(self.ask('{"cmd":"sb_vol"}'), '{"ok":true,"vol":0.00}')

    def test_model_directory_listing(self):
        with tempfile.TemporaryDirectory() as d:
            for name in ("b.onnx", "a.onnx", "hubert_v2.onnx", "rmvpe.onnx", "C.ONNX", "x.txt",
                         'q"uote.onnx'):
                open(os.path.join(d, name), "w").close()
            os.mkdir(os.path.join(d, "dir.onnx"))
            self.assertEqual(self.ask('{"cmd":"set_model_dir","id":"%s"}' % d),
                             '{"ok":true,"modelDir":"%s"}' % d)
            self.assertEqual(self.ask('{"cmd":"list_presets"}'),
                             '{"ok":true,"presets":' + PRESETS + ',"rvc":["C.ONNX","a","b","dir",'
                             '"q\\"uote"],"modelDir":"%s"}' % d)
            # A voice file wins over the preset of the same name, even when it cannot load.
            open(os.path.join(d, "radio.onnx"), "w").close()
            reply = self.ask('{"cmd":"set_voice","id":"radio"}')
            self.assertTrue(reply.startswith('{"ok":false,"error":"ORT CreateSession: '), reply)
            self.assertIn('"engine":"dsp","voice":"original"', self.ask('{"cmd":"status"}'))
        self.assertEqual(self.ask('{"cmd":"set_model_dir","path":"","id":5}'),
                         '{"ok":false,"error":"fehlendes Feld \'path\'"}')
        self.assertEqual(self.ask('{"cmd":"set_model_dir","path":"/nowhere"}'),
                         '{"ok":true,"modelDir":"/nowhere"}')
        self.assertEqual(self.ask('{"cmd":"list_presets"}'),
                         '{"ok":true,"presets":' + PRESETS + ',"rvc":[],"modelDir":"/nowhere"}')


class ModelDirectoryDefault(unittest.TestCase):
    def test_environment_sets_the_model_directory(self):
        for value, expected in (("/models/x", "/models/x"), ("", "D:/kw-models/onnx-dyn")):
            with EngineProcess({**NO_SERVER, "KW_MODEL_DIR": value}) as engine:
                reply = engine.request(cmd="list_presets")
                self.assertEqual(reply["modelDir"], expected)


if __name__ == "__main__":
    unittest.main()
