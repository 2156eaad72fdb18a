"""The JSON protocol mode and mode selection, through the real executable."""
import os
import re
import subprocess
import unittest

ENGINE = os.environ["KW_ENGINE"]
BANNER = re.compile(rb"^\[engine\] bereit \xe2\x80\x94 JSON-Protokoll auf stdin/stdout \(Pid (\d+)\)\n")
PARSE_ERROR = b'{"ok":false,"error":"JSON-Parse-Fehler"}\n'
NO_CMD = b'{"ok":false,"error":"fehlendes Feld \'cmd\'"}\n'
BYE = b'{"ok":true,"bye":true}\n'


def unknown(name: bytes) -> bytes:
    return b'{"ok":false,"error":"unbekanntes Kommando: ' + name + b'"}\n'


def session(stdin: bytes, args=(), timeout=60):
    """Runs the engine on the given input; returns (exit status, stdout, stderr)."""
    p = subprocess.run([ENGINE, *args], input=stdin, capture_output=True, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


class Framing(unittest.TestCase):
    def test_banner_names_the_process_and_end_of_input_exits_cleanly(self):
        p = subprocess.Popen([ENGINE], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        out, err = p.communicate(b"", timeout=30)
        self.assertEqual(p.returncode, 0)
        self.assertEqual(out, b"")
        m = BANNER.match(err)
        self.assertIsNotNone(m, err)
        self.assertEqual(int(m.group(1)), p.pid)

    def test_blank_lines_get_no_reply_and_trailing_cr_lf_are_stripped(self):
        code, out, _ = session(b"\n\r\n\r\r\n" + b'{"cmd":"x"}\r\r\n' + b'  {"cmd":"y"}  \n')
        self.assertEqual(code, 0)
        self.assertEqual(out, unknown(b"x") + unknown(b"y"))

    def test_whitespace_only_and_trailing_garbage_are_parse_errors(self):
        code, out, _ = session(b"   \n" + b'{"cmd":"status"} x\n' + b"{\n" + b"\t\n")
        self.assertEqual(out, PARSE_ERROR * 4)

    def test_line_longer_than_a_read_piece_is_answered_once(self):
        pad = b"a" * (200 * 1024)
        code, out, _ = session(b'{"pad":"' + pad + b'","cmd":"big"}\n')
        self.assertEqual(out, unknown(b"big"))

    def test_unterminated_last_line_is_not_answered(self):
        code, out, _ = session(b'{"cmd":"a"}\n{"cmd":"b"}')
        self.assertEqual((code, out), (0, unknown(b"a")))

    def test_quit_answers_bye_and_reads_no_further(self):
        code, out, _ = session(b'{"cmd":"a"}\n{"cmd":"quit","id":1}\n{"cmd":"b"}\n')
        self.assertEqual((code, out), (0, unknown(b"a") + BYE))


class RequestFrame(unittest.TestCase):
    def test_requests_without_a_usable_cmd(self):
        lines = [b"[1,2]", b"5", b"{}", b'{"cmd":""}', b'{"cmd":5}', b'"status"', b"null",
                 b'{"cmd":true}', b'{"Cmd":"status"}']
        code, out, _ = session(b"\n".join(lines) + b"\n")
        self.assertEqual(out, NO_CMD * len(lines))

    def test_unrecognised_names_are_escaped_and_case_sensitive(self):
        code, out, _ = session(b'{"cmd":"STATUS"}\n{"cmd":"a\\"b"}\n{"cmd":"__quit__"}\n'
                               b'{"cmd":"t\\u0001\\n\xc3\xa9"}\n')
        self.assertEqual(out, unknown(b"STATUS") + unknown(b'a\\"b') + unknown(b"__quit__")
                         + unknown(b"t\\u0001\\n\xc3\xa9"))

    def test_last_duplicate_member_wins(self):
        code, out, _ = session(b'{"cmd":"quit","cmd":"x"}\n')
        self.assertEqual(out, unknown(b"x"))


class HostileInput(unittest.TestCase):
    def test_deep_nesting_is_a_parse_error_and_the_engine_goes_on(self):
        code, out, _ = session(b"[" * 100000 + b"\n" + b'{"a":' * 50000 + b"\n" + b'{"cmd":"x"}\n')
        self.assertEqual((code, out), (0, PARSE_ERROR * 2 + unknown(b"x")))

    def test_soundboard_sized_line_is_still_accepted(self):
        pad = b"QUJD" * (16 * 1024 * 1024 // 4)
        code, out, _ = session(b'{"cmd":"big","pcm":"' + pad + b'"}\n')
        self.assertEqual(out, unknown(b"big"))

    def test_endless_line_is_discarded_with_an_error_and_the_engine_goes_on(self):
        chunk = b"x" * (1 << 20)
        p = subprocess.Popen([ENGINE], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
        for _ in range(80):
            p.stdin.write(chunk)
        p.stdin.write(b'\n{"cmd":"after"}\n')
        out, _ = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 0)
        self.assertEqual(out, b'{"ok":false,"error":"Zeile zu lang (\xc3\xbcber 64 MiB)"}\n'
                         + unknown(b"after"))

    def test_binary_garbage_and_zero_bytes_never_crash(self):
        junk = (bytes(range(256)) * 64 + b"\n" + b'{"cmd":"x\x00y"}\n' + b'{"cmd":"w"}\n'
                + b'{"cmd":"z"}\n')
        code, out, _ = session(junk)
        self.assertEqual(code, 0)
        self.assertTrue(out.endswith(unknown(b"z")), out)


class ModeSelection(unittest.TestCase):
    def test_no_mode_runs_the_protocol(self):
        for args in ([], ["foo", "bar"], ["--test"], ["--selftestdsp", "a", "b"],
                     ["--gen-test-wav"]):
            code, out, err = session(b'{"cmd":"quit"}\n', args)
            self.assertEqual((code, out), (0, BYE), args)
            self.assertRegex(err, BANNER)

    def test_leftmost_mode_wins_and_later_ones_are_operands(self):
        code, _, err = session(b"", ["foo", "--help", "--list"])
        self.assertEqual(code, 0)
        self.assertTrue(err.startswith(b"engine.exe                 JSON-Protokoll"), err)
        self.assertEqual(len(err), 763)


if __name__ == "__main__":
    unittest.main()
