"""The JSON protocol through the real executable: framing, the request frame, hostile input, mode
selection and every command that needs no sound server."""
import os
import re
import signal
import subprocess
import tempfile
import unittest

from support import ENGINE_COMMAND, WINDOWS, EngineProcess, text

BANNER = re.compile(rb"^\[engine\] bereit \xe2\x80\x94 JSON-Protokoll auf stdin/stdout \(Pid (\d+)\)\n")
PARSE_ERROR = b'{"ok":false,"error":"JSON-Parse-Fehler"}\n'
NO_CMD = b'{"ok":false,"error":"fehlendes Feld \'cmd\'"}\n'
BYE = b'{"ok":true,"bye":true}\n'
PRESETS = ('["original","roboter","daemon","tief","chipmunk","yuki","lena","funk","radio",'
           '"studio","asmr","alien","cyborg","echo"]')
NO_SERVER = {**os.environ, "PULSE_SERVER": "unix:/nonexistent/native", "KW_MODEL_DIR": ""}


def unknown(name):
    return b'{"ok":false,"error":"unbekanntes Kommando: ' + name + b'"}\n'


def session(stdin, args=()):
    p = subprocess.run([*ENGINE_COMMAND, *args], input=stdin, capture_output=True, timeout=60,
                       env=NO_SERVER)
    return p.returncode, text(p.stdout), text(p.stderr)


class Framing(unittest.TestCase):
    def test_banner_and_end_of_input(self):
        p = subprocess.Popen(ENGINE_COMMAND, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        out, err = p.communicate(b"", timeout=30)
        self.assertEqual((p.returncode, out), (0, b""))
        pid = int(BANNER.match(text(err)).group(1))
        if not WINDOWS:  # Wine's process ids are its own
            self.assertEqual(pid, p.pid)

    def test_lines(self):
        cases = [
            (b"\n\r\n\r\r\n" + b'{"cmd":"x"}\r\r\n' + b'  {"cmd":"y"}  \n', unknown(b"x") + unknown(b"y")),
            (b"   \n" + b'{"cmd":"status"} x\n' + b"{\n" + b"\t\n", PARSE_ERROR * 4),
            (b'{"pad":"' + b"a" * (200 * 1024) + b'","cmd":"big"}\n', unknown(b"big")),
            (b'{"cmd":"a"}\n{"cmd":"b"}', unknown(b"a")),  # the unterminated line is not answered
            (b'{"cmd":"a"}\n{"cmd":"quit","id":1}\n{"cmd":"b"}\n', unknown(b"a") + BYE),
            (b"\n".join([b"[1,2]", b"5", b"{}", b'{"cmd":""}', b'{"cmd":5}', b'"status"', b"null",
                         b'{"cmd":true}', b'{"Cmd":"status"}']) + b"\n", NO_CMD * 9),
            (b'{"cmd":"STATUS"}\n{"cmd":"a\\"b"}\n{"cmd":"__quit__"}\n{"cmd":"t\\u0001\\n\xc3\xa9"}\n',
             unknown(b"STATUS") + unknown(b'a\\"b') + unknown(b"__quit__")
             + unknown(b"t\\u0001\\n\xc3\xa9")),
            (b'{"cmd":"quit","cmd":"x"}\n', unknown(b"x")),
            (b"[" * 100000 + b"\n" + b'{"a":' * 50000 + b"\n" + b'{"cmd":"x"}\n',
             PARSE_ERROR * 2 + unknown(b"x")),
            (b'{"cmd":"big","pcm":"' + b"QUJD" * (4 << 20) + b'"}\n', unknown(b"big")),
            (b"x" * (80 << 20) + b'\n{"cmd":"after"}\n',
             b'{"ok":false,"error":"Zeile zu lang (\xc3\xbcber 64 MiB)"}\n' + unknown(b"after")),
        ]
        for stdin, expected in cases:
            self.assertEqual(session(stdin)[:2], (0, expected), stdin[:60])

    def test_json_reading(self):
        """Strings come back decoded and escaped in the reply to an unknown command; numbers are
        read leniently, as the soundboard volume shows."""
        cases = [
            (rb'{"cmd":"\"\\\/\b\f\n\r\t"}', unknown(rb'\"\\/\u0008\u000c\n\r\t')),
            (rb'{"cmd":"\u00e9\u07FF\u0800\u20AC\ud83d\ude00"}',  # surrogates are not combined
             unknown(b"\xc3\xa9\xdf\xbf\xe0\xa0\x80\xe2\x82\xac\xed\xa0\xbd\xed\xb8\x80")),
            (rb'{"cmd":"a\u0000b\u7gzzc"}', unknown(rb"a\u0000b\u0007c")),  # all four are taken
            (b'{"cmd":"a\tb\rc\x80/\x7f"}', unknown(b"a\\tb\\rc\x80/\x7f")),
            (b'{"cmd":"sb_vol","value":.5}', b'{"ok":true,"vol":0.50}\n'),
            (b'{"cmd":"sb_vol","value":3e-1}', b'{"ok":true,"vol":0.30}\n'),
            (b'{"cmd":"sb_vol","value":0.3e}', b'{"ok":true,"vol":0.30}\n'),
            (b'{"cmd":"sb_vol","value":-}', b'{"ok":true,"vol":0.00}\n'),
            (b"[" * 512 + b"]" * 512, NO_CMD),
            (b"[" * 513 + b"]" * 513, PARSE_ERROR),
        ] + [(bad, PARSE_ERROR) for bad in (b"[1,]", b'{"a":1,}', b"{a:1}", b"'x'", b'"abc', b"+1",
                                            b"[1 2]", rb'"\x"', b"\"\\'\"", rb'"\u12"',
                                            b"tru", b"truex", b"fals")]
        for line, reply in cases:
            self.assertEqual(session(line + b"\n")[1], reply, line[:40])

    def test_binary_garbage_never_crashes(self):
        code, out, _ = session(bytes(range(256)) * 64 + b'\n{"cmd":"x\x00y"}\n{"cmd":"w"}\n{"cmd":"z"}\n')
        self.assertTrue(code == 0 and out.endswith(unknown(b"z")), out)

    @unittest.skipIf(WINDOWS, "a console's interrupt is no POSIX signal")
    def test_termination_signals_stop_the_engine_quietly(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with EngineProcess(NO_SERVER) as engine:
                self.assertEqual(engine.ask('{"cmd":"sb_stop"}'), '{"ok":true}')
                engine.p.stdin.write(b'{"cmd":"status"')  # a line begun, never ended
                engine.p.stdin.flush()
                engine.p.send_signal(sig)
                self.assertEqual((engine.p.wait(timeout=10), engine.p.stdout.read()), (0, b""), sig)

    def test_mode_selection(self):
        for args in ([], ["foo", "bar"], ["--test"], ["--selftestdsp", "a", "b"], ["--gen-test-wav"]):
            code, out, err = session(b'{"cmd":"quit"}\n', args)
            self.assertEqual((code, out), (0, BYE), args)
            self.assertRegex(err, BANNER)
        for args in (["--help"], ["foo", "--help", "--list"]):  # the usage text, whole
            code, out, err = session(b"", args)
            self.assertEqual((code, out, len(err), err.count(b"\n")), (0, b"", 763, 10))
            self.assertTrue(err.startswith(b"engine.exe                 JSON-Protokoll"), err)
            self.assertIn(b"\nPresets: roboter daemon tief chipmunk yuki lena funk studio asmr alien "
                          b"cyborg echo original\n", err)


def unknown_voice(name):
    return '{"ok":false,"error":"unbekannte Stimme: %s (weder RVC-Modell noch DSP-Preset)"}' % name


if WINDOWS:  # under Wine without a sound server there is no audio driver: no device enumerator
    NO_DEVICES = ('{"ok":false,"error":"CoCreateInstance(MMDeviceEnumerator) fehlgeschlagen"}',) * 3
else:  # the default devices need no device list; a name does
    NO_DEVICES = ('{"ok":false,"error":"Monitor-Output: Verbindung zum Soundserver fehlgeschlagen: …',
                  '{"ok":false,"error":"Verbindung zum Soundserver fehlgeschlagen: …',
                  '{"ok":false,"error":"Verbindung zum Soundserver fehlgeschlagen: …')

# Requests and replies in this order on one engine without a sound server; a reply ending in "…"
# is matched as a prefix.
CONVERSATION = [
    ('{"cmd":"status"}', '{"ok":true,"running":false,"engine":"dsp","voice":"original","sampleRate":'
     '48000,"channels":2,"cableActive":false,"latencyMs":20.0,"level":0.000,"underruns":0,'
     '"muted":false,"monitor":false}'),
    ('{"cmd":"get_level"}', '{"ok":true,"level":0.0000,"db":-120.0}'),
    ('{"cmd":"get_latency"}', '{"ok":true,"latencyMs":20.0,"procUsPerBlock":0,"underruns":0}'),
    ('{"cmd":"start"}', NO_DEVICES[0]),
    ('{"cmd":"set_input","id":"nothing"}', '{"ok":true}'),
    ('{"cmd":"start"}', NO_DEVICES[1]),
    ('{"cmd":"list_devices"}', NO_DEVICES[2]),
    ('{"cmd":"set_output"}', '{"ok":true}'), ('{"cmd":"stop"}', '{"ok":true}'),
    ('{"cmd":"stop"}', '{"ok":true}'), ('{"cmd":"sb_stop"}', '{"ok":true}'),
    ('{"cmd":"sb_play","rate":48000,"ch":2,"b64":"AAAAAAAAAAA="}',
     '{"ok":false,"error":"Engine läuft nicht — Power-Button drücken"}'),
] + [('{"cmd":"sb_vol","value":%s}' % value, '{"ok":true,"vol":%s}' % vol)
     for value, vol in (("1.7", "1.00"), ("-3", "0.00"), ("0.254", "0.25"), ('"1"', "0.00"))] + [
    ('{"cmd":"%s"%s}' % (cmd, field), '{"ok":true,"%s":%s}' % (key, on))
    for field, on in ((',"value":1', "true"), (',"value":true', "false"), ("", "false"),
                      (',"value":false', "false"),
                      (',"value":0.6', "true"), (',"value":0.5', "false"), (',"value":"1"', "false"))
    for cmd, key in (("set_mute", "muted"), ("set_monitor", "monitor"))] + [
    ('{"cmd":"set_param","name":"%s","value":%s}' % (name, value), '{"ok":true}')
    for name in ("pitch", "pitch_ratio", "formant", "ringmod", "bandpass", "drive", "echo",
                 "reverb", "gain") for value in ("12", "-1e300", '"x"', "null")] + [
    ('{"cmd":"set_param","name":"Pitch","value":1}', '{"ok":false,"error":"unbekannter Parameter: Pitch"}'),
    ('{"cmd":"set_param","value":1}', '{"ok":false,"error":"unbekannter Parameter: "}'),
    ('{"cmd":"set_voice","id":"roboter"}', '{"ok":true,"voice":"roboter"}'),
    ('{"cmd":"set_voice","id":"Roboter"}', unknown_voice("Roboter")),
    ('{"cmd":"set_voice","id":""}', unknown_voice("")),
    ('{"cmd":"set_voice","id":"a\\"b"}', unknown_voice('a\\"b')),
    ('{"cmd":"set_mute","value":1}', '{"ok":true,"muted":true}'),
    ('{"cmd":"status"}', '{"ok":true,"running":false,"engine":"dsp","voice":"roboter","sampleRate":'
     '48000,"channels":2,"cableActive":false,"latencyMs":20.0,"level":0.000,"underruns":0,'
     '"muted":true,"monitor":false}'),
    ('{"cmd":"set_voice","id":"bypass"}', '{"ok":true,"voice":"bypass"}'),
    ('{"cmd":"set_model_dir","path":"","id":5}', '{"ok":false,"error":"fehlendes Feld \'path\'"}'),
    ('{"cmd":"set_model_dir","path":"/nowhere"}', '{"ok":true,"modelDir":"/nowhere"}'),
    ('{"cmd":"list_presets"}', '{"ok":true,"presets":' + PRESETS + ',"rvc":[],"modelDir":"/nowhere"}'),
]


class Commands(unittest.TestCase):
    def test_conversation(self):
        with EngineProcess(NO_SERVER) as engine:
            for request, reply in CONVERSATION:
                got = engine.ask(request)
                self.assertEqual(got[:len(reply) - 1] + "…" if reply.endswith("…") else got, reply,
                                 request)

    def test_model_directory(self):
        with tempfile.TemporaryDirectory() as d, EngineProcess(NO_SERVER) as engine:
            for name in ("b.onnx", "a.onnx", "hubert_v2.onnx", "rmvpe.onnx", "C.ONNX", "x.txt",
                         'q"uote.onnx', "radio.onnx"):
                open(os.path.join(d, name), "w").close()
            os.mkdir(os.path.join(d, "dir.onnx"))
            self.assertEqual(engine.ask('{"cmd":"set_model_dir","id":"%s"}' % d),
                             '{"ok":true,"modelDir":"%s"}' % d)
            # Only what set_voice takes: no directory; a suffix in another case where the file
            # system ignores case; no name that Windows refuses.
            voices = '"C","a","b"' if WINDOWS else '"a","b","q\\"uote"'
            self.assertEqual(engine.ask('{"cmd":"list_presets"}'),
                             '{"ok":true,"presets":' + PRESETS + ',"rvc":[' + voices + ','
                             '"radio"],"modelDir":"%s"}' % d)
            # A voice file wins over the preset of the same name, even when it cannot load.
            self.assertTrue(engine.ask('{"cmd":"set_voice","id":"radio"}').startswith(
                '{"ok":false,"error":"ORT CreateSession: '))
            self.assertIn('"engine":"dsp","voice":"original"', engine.ask('{"cmd":"status"}'))
        for value, expected in (("/models/x", "/models/x"), ("", "D:/kw-models/onnx-dyn")):
            with EngineProcess({**NO_SERVER, "KW_MODEL_DIR": value}) as engine:
                self.assertEqual(engine.request(cmd="list_presets")["modelDir"], expected)


if __name__ == "__main__":
    unittest.main()
