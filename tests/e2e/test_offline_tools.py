"""The offline tools (--gen-test-wav, --selftestdsp, --help) against the independent numpy reading
in tests/reference/dsp_reference.py."""
import io
import os
import re
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import wave
from pathlib import Path

import numpy as np

import dsp_reference as ref
from support import ENGINE, ENGINE_COMMAND, WINDOWS, chunk, fmt, riff, run, text, write_wav

PRESET_LINE = re.compile(
    r"\[selftestdsp\] Preset '(?P<preset>[^']*)': (?P<n>\d+) Samples @48 kHz \((?P<s>\d+\.\d\d) s\), "
    r"Latenz (?P<lat>\d+) Samples \((?P<latms>\d+\.\d) ms\), Proc \d+\.\d ms → RTF \d+\.\d{4}")


class Tmp(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.tmp = Path(self.dir.name)
        self.addCleanup(self.dir.cleanup)

    def float_wav(self, path, rate):
        """The samples of a mono float file whose 44-byte header is exactly the writer's."""
        blob = Path(path).read_bytes()
        n = (len(blob) - 44) // 4
        self.assertEqual(blob[:44], ref.wav_header(n, rate))
        return np.frombuffer(blob[44:], "<f4")


class GenTestWav(Tmp):
    def test_signal_against_the_reference_and_the_option_scan(self):
        cases = [  # arguments after the mode, the file, the seconds the tool reads
            (["out.wav"], "out.wav", 4.0),
            (["z.wav", "--seconds", "0"], "z.wav", 0.0),
            (["a.wav", "--seconds", "1", "--seconds", "0.5"], "a.wav", 0.5),  # the last wins
            (["b.wav", "--seconds"], "b.wav", 4.0),  # no value after it
            (["d.wav", "--seconds", "--seconds", "0.25"], "d.wav", 0.25),  # every position
            (["f.wav", "--seconds", "0.25abc"], "f.wav", 0.25),  # atof
            (["--help"], "--help", 4.0),  # the first operand is the output, whatever it says
        ]
        for args, name, seconds in cases:
            code, out, err = run("--gen-test-wav", *args, cwd=self.tmp)
            self.assertEqual((code, out), (0, b""), err)
            self.assertEqual(err, ["[gen] %s geschrieben (%.1f s, 16 kHz mono float32)"
                                   % (name, seconds)])
            got = self.float_wav(self.tmp / name, 16000)
            want = ref.gen_test_signal(seconds)
            self.assertEqual(len(got), len(want))
            if len(want):
                self.assertLessEqual(np.max(np.abs(got - want)), 1e-6, args)

    def test_bad_durations_and_unwritable_files(self):
        for text in ("-1", "-0.25", "nan", "4000"):
            code, _, err = run("--gen-test-wav", self.tmp / "x.wav", "--seconds", text)
            self.assertEqual((code, err), (2, ["[gen] Fehler: ungültige Dauer %.1f s"
                                               % np.float32(float(text))]))
        self.assertFalse((self.tmp / "x.wav").exists())
        for path in (self.tmp / "missing" / "out.wav", "/dev/full"):
            code, _, err = run("--gen-test-wav", path, "--seconds", "0.5")
            self.assertEqual((code, err), (1, ["[gen] Fehler: kann nicht schreiben: %s" % path]))


def pcm(*values):
    return struct.pack(f"<{len(values)}h", *values)


def wave_file(width, data, channels=1):
    """PCM as Python's wave module writes it."""
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(channels), w.setsampwidth(width), w.setframerate(48000), w.writeframes(data)
    return out.getvalue()


def extensible(channels, bits, valid, subformat, tail=b"\0\0\x10\0\x80\0\0\xaa\0\x38\x9b\x71"):
    return fmt(0xFFFE, channels, 48000, bits,
               extra=struct.pack("<HHII", 22, valid, 3, subformat) + tail)


class WavFiles(Tmp):
    """Reading through --selftestdsp original at 48 kHz (the output is the mixdown, limited to
    1.5), writing through --gen-test-wav."""

    def test_reading(self):
        mono, long_data = fmt(1, 1, 48000, 16), 16 << 20
        i24, i32 = np.array([-2**23, 2**22, 2**23 - 1, -1]), np.array([-2**31, 2**30, 2**31 - 1, 12345])
        f64 = np.array([0.25, -1 / 3, 1e-3, 1e-300])
        odd_fmt = fmt(1, 1, 48000, 16, extra=b"x")
        cases = [
            (riff(mono, chunk(b"data", pcm(-32768, 16384, 32767, 0))), [-1, 0.5, 32767 / 32768, 0]),
            (riff(fmt(1, 2, 48000, 16), chunk(b"data", pcm(1, 2, 3, 4, 5) + b"\x7f")), [1.5 / 32768, 3.5 / 32768]),
            (riff(fmt(3, 3, 48000, 32), chunk(b"data", (np.arange(1, 9, dtype="<f4") / 16).tobytes())), [2 / 16, 5 / 16]),
            # Odd chunks with pad bytes; a later fmt replaces an earlier one; nothing after data counts.
            (riff(fmt(1, 2, 11025, 16), chunk(b"LIST", b"abc"),
                  chunk(b"fmt ", fmt(3, 1, 48000, 32)[8:] + b"x" * 27), chunk(b"junk", b"j" * 7),
                  chunk(b"data", np.array([0.1, -2.5, 1e-40], "<f4").tobytes()), chunk(b"LIST", b"after")), [0.1, -1.5, 1e-40]),
            (riff(odd_fmt[:-1], chunk(b"data", pcm(7))), [7 / 32768]),  # a writer that left out the pad byte
            (riff(mono, chunk(b"data", b"")), []),
            # A data chunk cut short is completed with zeros, at most as many as it holds.
            (riff(mono) + b"data" + struct.pack("<I", 10) + pcm(1000, -1000) + b"\x01",
             [1000 / 32768, -1000 / 32768, 1 / 32768, 0, 0]),
            (riff(mono) + b"data" + struct.pack("<I", long_data - 2) + pcm(5, 6), [5 / 32768, 6 / 32768]),
            (riff(mono) + b"data" + struct.pack("<I", 0xFFFFFFFF) + pcm(5, 6), [5 / 32768, 6 / 32768]),
            # Every PCM width and double floats, plain and extensible; block-align gives the slot.
            (wave_file(1, bytes([0, 128, 255, 64])), [-1, 0, 127 / 128, -0.5]),
            (wave_file(3, i24.astype("<i4").view("u1").reshape(-1, 4)[:, :3].tobytes()), i24 / 2**23),
            (wave_file(4, i32.astype("<i4").tobytes()), i32 / 2**31),
            (riff(fmt(3, 1, 48000, 64), chunk(b"data", f64.astype("<f8").tobytes())), f64),
            (riff(extensible(2, 32, 24, 1), chunk(b"data", (i24 * 256).astype("<i4").tobytes())),
             ref.mixdown((i24 / 2**23).astype(np.float32), 2)),
            (riff(extensible(1, 64, 64, 3), chunk(b"data", f64.astype("<f8").tobytes())), f64),
            (riff(fmt(1, 1, 48000, 12, align=2), chunk(b"data", pcm(-32768, 16 * 1000))), [-1, 1000 / 2048]),
            (riff(fmt(1, 1, 48000, 24, align=4), chunk(b"data", (i24 * 256).astype("<i4").tobytes())), i24 / 2**23),
        ]
        for data, expected in cases:
            (self.tmp / "in.wav").write_bytes(data)
            code, _, err = run("--selftestdsp", "original", self.tmp / "in.wav", self.tmp / "o.wav")
            self.assertEqual(code, 0, err)
            self.assertRegex(err[0], PRESET_LINE)  # also for no samples
            np.testing.assert_array_equal(self.float_wav(self.tmp / "o.wav", 48000),
                                          np.array(expected, np.float32))

        data = chunk(b"data", pcm(1, 2))
        path = str(self.tmp / "in.wav")
        readable = " (lesbar: PCM 8/16/24/32 bit, Float 32/64 bit)"
        for wav, message in (
                (riff(data, mono), "fmt/data-Chunk fehlt: " + path),
                (riff(mono, chunk(b"LIST", b"abc")), "fmt/data-Chunk fehlt: " + path),
                (riff(mono) + b"LIST" + struct.pack("<I", 1000) + b"abcd" + data, "fmt/data-Chunk fehlt: " + path),
                (b"RIFF\x04\0\0\0WAV", "kein RIFF/WAVE: " + path),
                (b"RIFX\x04\0\0\0WAVE" + data, "kein RIFF/WAVE: " + path),
                (riff(fmt(1, 1, 48000, 64), data), "WAV-Format nicht unterstützt: PCM 64 bit" + readable),
                (riff(mono, chunk(b"fmt ", struct.pack("<HH", 1, 1)), data), "WAV-Format nicht unterstützt: PCM 0 bit" + readable),
                (riff(fmt(3, 1, 48000, 16), data), "WAV-Format nicht unterstützt: Float 16 bit" + readable),
                (riff(fmt(7, 1, 48000, 8), data), "WAV-Format nicht unterstützt: µ-law" + readable),
                (riff(fmt(0x1234, 1, 48000, 8), data), "WAV-Format nicht unterstützt: Formattag 0x1234" + readable),
                (riff(extensible(1, 8, 8, 6), data), "WAV-Format nicht unterstützt: A-law" + readable),
                (riff(extensible(1, 16, 16, 1, tail=bytes(12)), data),
                 "WAV-Format nicht unterstützt: Extensible mit fremdem Subformat" + readable),
                (riff(fmt(0xFFFE, 2, 48000, 16), data),
                 "WAV-Format nicht unterstützt: Extensible mit fremdem Subformat" + readable),
                (riff(fmt(3, 0, 48000, 32), data), "ungültige Kanalzahl 0: " + path),
                (riff(fmt(1, 2, 48000, 16, align=2), data), "ungültige Blockgröße 2 bei 2 Kanälen à 16 bit: " + path),
                (riff(fmt(3, 1, 48000, 32, align=8), data), "ungültige Blockgröße 8 bei 1 Kanälen à 32 bit: " + path),
                # The 44-byte file that once asked for gigabytes, and a rate beyond int.
                (riff(fmt(1, 1, 48, 16)) + b"data" + struct.pack("<I", long_data - 2),
                 "Samplerate 48 Hz nicht unterstützt (4000 bis 768000 Hz): " + path),
                (riff(fmt(1, 1, 4000000000, 16), data),
                 "Samplerate 4000000000 Hz nicht unterstützt (4000 bis 768000 Hz): " + path)):
            (self.tmp / "in.wav").write_bytes(wav)
            code, _, err = run("--selftestdsp", "original", path, self.tmp / "o.wav")
            self.assertEqual((code, err), (2, ["[selftestdsp] " + message]))

    def test_writing_replaces_whole_files_only(self):
        old, link, long_name = self.tmp / "old.wav", self.tmp / "link.wav", self.tmp / ("n" * 250 + ".wav")
        old.write_bytes(b"x" * 100000)
        os.symlink(self.tmp / "target.wav", link)
        # A link is followed (Wine shows a Unix link as a plain file); a name too long for a
        # temporary is written in place.
        for path in (old, long_name) if WINDOWS else (old, link, long_name):
            self.assertEqual(run("--gen-test-wav", path, "--seconds", "0.01")[0], 0)
            self.assertEqual(len(self.float_wav(path, 16000)), 160)
        self.assertTrue(link.is_symlink())
        names = sorted(os.listdir(self.tmp))
        self.assertEqual(names, sorted([old.name, link.name, long_name.name]
                                       + ([] if WINDOWS else ["target.wav"])))
        if WINDOWS:  # Wine reports the short write that a file size limit causes as success
            return

        def small_disk():  # a file size limit stands in for a full disk; it only shows when the
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # file is closed, as on a network share
            resource.setrlimit(resource.RLIMIT_FSIZE, (512, 512))

        if not WINDOWS:  # no POSIX signals there
            # Interrupted while writing (into a pipe at the temporary's name, so that it waits there).
            out = self.tmp / "cut.wav"
            p = subprocess.Popen(["sh", "-c", 'mkfifo "$1.tmp-$$" && exec "$0" --gen-test-wav "$1" --seconds 10',
                                  ENGINE, out], stderr=subprocess.DEVNULL)
            fifo = self.tmp / f"cut.wav.tmp-{p.pid}"
            while not fifo.exists():
                time.sleep(0.01)
            with open(fifo, "rb") as f:
                self.assertEqual(f.read(4), b"RIFF")
                p.send_signal(signal.SIGTERM)
                f.read()  # ThreadSanitizer holds the signal back until the next write
            self.assertEqual(p.wait(timeout=10), -signal.SIGTERM)
            self.assertFalse(fifo.exists() or out.exists())

        p = subprocess.run([*ENGINE_COMMAND, "--gen-test-wav", old, "--seconds", "0.01"],
                           capture_output=True, preexec_fn=small_disk)
        self.assertEqual((p.returncode, text(p.stderr).decode()),
                         (1, f"[gen] Fehler: kann nicht schreiben: {old}\n"))
        self.assertEqual(len(self.float_wav(old, 16000)), 160)
        self.assertEqual(sorted(os.listdir(self.tmp)), names)


class SelfTestDsp(Tmp):
    def test_every_preset_on_three_inputs_matches_the_reference(self):
        write_wav(self.tmp / "a.wav", ref.gen_test_signal(1.0), 16000)  # resampled by 3
        t = np.arange(24000) / 48000
        stereo = np.stack([0.4 * np.sin(2 * np.pi * 150 * t), 0.3 * np.sin(2 * np.pi * 210 * t)], 1)
        write_wav(self.tmp / "b.wav", stereo.ravel(), 48000, 2)  # mixed down only
        t = np.arange(22050) / 44100
        write_wav(self.tmp / "c.wav", 0.5 * np.sin(2 * np.pi * 120 * t) * np.sin(9 * t), 44100,
                  pcm16=True)  # 160/147
        figures = []
        for name in ("a.wav", "b.wav", "c.wav"):
            for preset in ["bypass"] + ref.LISTED:
                src, dst = self.tmp / name, self.tmp / f"{name}.{preset}.out"
                code, out, err = run("--selftestdsp", preset, src, dst)
                self.assertEqual((code, out, len(err)), (0, b"", 2), err)
                want, lat = ref.selftestdsp(preset, str(src))
                m = PRESET_LINE.fullmatch(err[0])
                self.assertIsNotNone(m, err[0])
                self.assertEqual((m["preset"], int(m["n"]), m["s"], int(m["lat"]), m["latms"]),
                                 (preset, len(want), "%.2f" % (len(want) / 48000), lat,
                                  "%.1f" % (lat / 48)))
                self.assertEqual(err[1], "[selftestdsp] Ausgabe: %s" % dst)
                error = self.float_wav(dst, 48000).astype(np.float64) - want
                if lat:  # pitch-shifted: float noise in the two transforms
                    snr = 10 * np.log10(np.sum(want.astype(np.float64) ** 2) / np.sum(error ** 2))
                    figures.append(f"{name} {preset} SNR {snr:.0f} dB")
                    self.assertGreater(snr, 60, (name, preset))
                else:
                    self.assertLessEqual(np.max(np.abs(error)), 1e-4, (name, preset))
        sys.stderr.write("\n  " + ", ".join(figures) + "\n")

    @unittest.skipUnless(os.environ.get("KW_LINUX_ENGINE"), "needs the Linux build beside this one")
    def test_the_windows_build_gives_the_samples_of_the_linux_build(self):
        """Only the pitch shifter's sines and cosines come from another math library: 4.4e-5 at
        most was measured, so 1e-4 holds (-80 dB)."""
        write_wav(self.tmp / "a.wav", ref.gen_test_signal(1.0), 16000)
        for preset in ["bypass"] + ref.LISTED:
            outs = []
            for engine in ([os.environ["KW_LINUX_ENGINE"]], ENGINE_COMMAND):
                out = self.tmp / f"{preset}{len(outs)}.wav"
                subprocess.run([*engine, "--selftestdsp", preset, self.tmp / "a.wav", out],
                               check=True, capture_output=True)
                outs.append(self.float_wav(out, 48000))
            self.assertEqual(len(outs[0]), len(outs[1]), preset)
            self.assertLessEqual(np.max(np.abs(outs[0] - outs[1])), 1e-4, preset)

    def test_failures(self):
        good, odd = self.tmp / "good.wav", self.tmp / "odd.wav"
        write_wav(good, ref.gen_test_signal(0.1), 16000)
        write_wav(odd, np.zeros(441), 44101)  # 48000/44101 has terms above 1024
        out = self.tmp / "o.wav"
        refused = "Resampling 44101→48000 nicht unterstützt: Resampler: unplausibles Verhältnis"
        cases = [  # the input is read and resampled before the preset is looked up
            (["x", self.tmp / "nope.wav", out], 2, ["kann nicht öffnen: %s" % (self.tmp / "nope.wav")]),
            (["x", odd, out], 2, [refused]),
            (["Roboter", good, out], 2, ["unbekanntes Preset 'Roboter'"]),
            (["", good, out], 2, ["unbekanntes Preset ''"]),
            (["roboter", good, self.tmp / "missing" / "o.wav"], 5,
             [None, "kann nicht schreiben: %s" % (self.tmp / "missing" / "o.wav")]),
            (["roboter", good, "/dev/full"], 5, [None, "kann nicht schreiben: /dev/full"]),
        ]
        for args, status, lines in cases:
            code, stdout, err = run("--selftestdsp", *args)
            self.assertEqual((code, stdout, len(err)), (status, b"", len(lines)), err)
            for line, expected in zip(err, lines):
                if expected:
                    self.assertEqual(line, "[selftestdsp] " + expected)
        self.assertFalse(out.exists())

    @unittest.skipIf(os.environ.get("KW_SANITIZE") or WINDOWS,
                     "a sanitizer, or Wine, reserves more address space")
    def test_memory_running_out_is_reported_as_such(self):
        src = self.tmp / "big.wav"
        with open(src, "wb") as f:  # 1 GiB of silence, sparse on disk
            f.write(riff(fmt(3, 1, 44100, 32)) + b"data" + struct.pack("<I", 1 << 30))
            f.truncate(44 + (1 << 30))
        p = subprocess.run([ENGINE, "--selftestdsp", "original", src, self.tmp / "o.wav"], capture_output=True,
                           preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (256 << 20,) * 2))
        self.assertEqual((p.returncode, p.stderr.decode()),
                         (2, f"[selftestdsp] nicht genug Arbeitsspeicher für {src}\n"))


if __name__ == "__main__":
    unittest.main()
