#!/usr/bin/python3
"""A mutation sample: small faults in src/ that the test suite has to catch. Each mutant replaces
one snippet (⏎ a line feed, ⌀ nothing) that occurs once in its file; the script patches, rebuilds,
runs the suite up to its first failure and restores: killed, SURVIVED, or invalid when it does not
build. The exit status is 1 when a mutant survived.

Usage: tests/mutate.py [--tree DIR] [--build DIR] [ID ...]
       tests/mutate.py --check     (every snippet still occurs exactly once)
"""

import argparse
import signal
import subprocess
import sys
import time
from pathlib import Path

# id ¦ file ¦ original ¦ mutated
MUTANTS = [[part.replace("⏎", "\n").replace("⌀", "") for part in line.split(" ¦ ")]
           for line in r"""
jm-depth ¦ protocol/jm.h ¦ return depth <= kMaxDepth; ¦ return true;
jm-escape-quote ¦ protocol/jm.h ¦ out += "\\\""; ¦ out.push_back(ch);
jm-unicode-2byte ¦ protocol/jm.h ¦ } else if (c <= 0x7FF) { ¦ } else if (c <= 0x7F0) {
term-remove ¦ platform/termination_posix.cpp ¦ if (const char* path = g_removing.load()) unlink(path); ¦ ⌀
term-defer ¦ platform/termination_posix.cpp ¦     g_deferred.store(true);⏎ ¦ ⌀
loop-cr ¦ protocol/command_loop.cpp ¦ line.back() == '\n' || line.back() == '\r' ¦ line.back() == '\n'
loop-overlong-reset ¦ protocol/command_loop.cpp ¦             overlong = false;⏎ ¦ ⌀
switch-half ¦ protocol/request_fields.h ¦ numberField(req, key) > 0.5 ¦ numberField(req, key) >= 0.5
status-muted ¦ protocol/command_set.cpp ¦ boolText(s.muted), boolText(s.monitor) ¦ boolText(s.monitor), boolText(s.muted)
level-db ¦ protocol/command_set.cpp ¦ "{\"ok\":true,\"level\":%.4f,\"db\":%.1f}", l, db ¦ "{\"ok\":true,\"level\":%.4f,\"db\":%.1f}", l, l
sb-whole-floats ¦ protocol/voice_commands.cpp ¦ bytes.size() % 4 != 0 ¦ bytes.size() % 2 != 0
sb-clean ¦ protocol/voice_commands.cpp ¦ std::isfinite(s) ? std::clamp(s, -1.0f, 1.0f) : 0.0f ¦ std::clamp(s, -1.0f, 1.0f)
sb-30s ¦ protocol/voice_commands.cpp ¦ e.channels * 120; ¦ e.channels * 119;
sb-vol-clamp ¦ engine/engine.cpp ¦ std::max(volume, 0.0f), 1.0f ¦ std::max(volume, 0.0f), 2.0f
list-suffix ¦ app/neural_voices.cpp ¦ if (suffix && isVoice(dir, name)) ¦ if (suffix)
b64-pad ¦ protocol/base64.cpp ¦ if (ch == '=') break; ¦ if (ch == '=') continue;
b64-plus ¦ protocol/base64.cpp ¦ if (c == '+') return 62; ¦ if (c == '+') return 63;
wav-zero-fill ¦ app/wav_file.cpp ¦ const bool fill = cut && size - present <= present; ¦ const bool fill = cut;
wav-slot ¦ app/wav_file.cpp ¦ const size_t slot = blockAlign / channels; ¦ const size_t slot = width;
wav-pcm-scale ¦ app/wav_file.cpp ¦ 3.0517578125e-05f ¦ 3.0518509e-05f
wav-pad-byte ¦ app/wav_file.cpp ¦ if (size % 2 != 0) skipPad(f.get()); ¦ ⌀
wav-pad-missing ¦ app/wav_file.cpp ¦ if (c != 0 && c != EOF) std::ungetc(c, f); ¦ ⌀
wav-riff-size ¦ app/wav_file.cpp ¦ put<uint32_t>(p, 36u + dataBytes); ¦ put<uint32_t>(p, 44u + dataBytes);
wav-write-check ¦ app/wav_file.cpp ¦ ok = std::fclose(f) == 0 && ok; ¦ std::fclose(f);
mixdown-average ¦ app/offline_tools.cpp ¦ mono[f] = sum / static_cast<float>(channels); ¦ mono[f] = sum;
gen-harmonics ¦ app/offline_tools.cpp ¦ if (fk > 7500.0f) break; ¦ if (fk > 7500.0f) continue;
option-last ¦ app/main.cpp ¦ i <= argc - 2 ¦ i < argc - 2
devices-default ¦ protocol/device_list.cpp ¦ if (d.isDefault) out += ",\"default\":true"; ¦ ⌀
livetest-ticks ¦ app/live_test.cpp ¦ tick <= 2 * seconds ¦ tick < 2 * seconds
level-decay ¦ engine/audio_path.cpp ¦ level_.load() * 0.92f ¦ level_.load() * 0.95f
mute ¦ engine/audio_path.cpp ¦ if (muted_) std::fill_n(buf, n, 0.0f); ¦ ⌀
post-chain ¦ engine/audio_path.cpp ¦         effects_.process(buf, frames);⏎ ¦ ⌀
sb-clamp ¦ engine/audio_path.cpp ¦ std::clamp(buf[i] + clipOut[i], -1.0f, 1.0f) ¦ buf[i] + clipOut[i]
monitor-clip-only ¦ engine/audio_path.cpp ¦ monitor->feed.write(clip, mixed); ¦ monitor->feed.write(buf, mixed);
render-frames ¦ engine/output_feed.cpp ¦ return static_cast<int>(static_cast<double>(frames) * static_cast<double>(got) / want); ¦ return frames;
drift-sign ¦ engine/output_feed.cpp ¦ const double error = (averageFill_ - target_) / engineRate_; ¦ const double error = (target_ - averageFill_) / engineRate_;
latency-frames ¦ engine/output_feed.cpp ¦ (static_cast<double>(engineRate_) * engineChannels_) ¦ static_cast<double>(engineRate_)
fold-average ¦ engine/output_feed.cpp ¦ out[c] = sum / static_cast<float>(count); ¦ out[c] = sum;
bandpass-low ¦ engine/dsp_voice_model.cpp ¦ p.highpassHz = static_cast<float>(0.4 * f); ¦ p.highpassHz = static_cast<float>(0.5 * f);
ringmod-mix ¦ engine/dsp_voice_model.cpp ¦ value > 0.01 ? 0.85f : 0.0f ¦ value > 0.01 ? 0.8f : 0.0f
gain-clamp ¦ engine/audio_path.cpp ¦ std::clamp(value, 0.0, 2.0) ¦ std::clamp(value, 0.0, 3.0)
voice-dir ¦ platform/platform.cpp ¦ std::filesystem::exists(path, ec) && !std::filesystem::is_directory(path, ec) ¦ std::filesystem::exists(path, ec)
original-wins ¦ engine/engine.cpp ¦ if (name != "original" && name != "bypass" && ¦ if (name != "bypass" &&
resolve-direction ¦ audio/device_resolution.cpp ¦ if (d.isCapture == isCapture && lower(d.name).find(wanted) ¦ if (lower(d.name).find(wanted)
cable-name ¦ audio/device_resolution.cpp ¦ has("cable input") ¦ has("cable")
underrun-count ¦ audio/pulse/pulse_streams.cpp ¦ if (self.callback(self.pulse.buffer.data(), n) < n) { ¦ if (self.callback(self.pulse.buffer.data(), n) < 0) {
list-monitors ¦ audio/pulse/pulse_devices.cpp ¦ if (e.isMonitor || e.name.empty()) continue; ¦ if (e.name.empty()) continue;
stream-pinned ¦ audio/pulse/pulse_streams.cpp ¦ | PA_STREAM_DONT_MOVE ¦ ⌀
highpass-b1 ¦ dsp/effect_units.cpp ¦ b1 = -(1.0f + c); ¦ b1 = (1.0f + c);
shelf-slope ¦ dsp/effect_units.cpp ¦ 0.11111116f ¦ 0.25f
echo-limit ¦ dsp/effect_units.h ¦ kLineLimit = 1.2f ¦ kLineLimit = 1.5f
ring-product ¦ dsp/effect_units.h ¦ return (1.0f - mix) * x + m * x * mix; ¦ return (1.0f - mix) * x + m * mix;
reverb-comb-mean ¦ dsp/effect_units.h ¦ s = s * 0.25f; ¦ s = s * 0.5f;
reverb-scale ¦ dsp/effect_units.cpp ¦ static_cast<int>(combT[i] * scale) ¦ static_cast<int>(combT[i])
shift-bypass ¦ dsp/pitch_shifter.cpp ¦ if (std::fabs(ratio - 1.0f) < 0.0001f) { ¦ if (std::fabs(ratio - 1.0f) < 0.001f) {
phase-fold ¦ dsp/phase_vocoder.cpp ¦ sum[k] = blend(std::fabs(next) > kPhaseFoldLimit, folded, next); ¦ sum[k] = next;
shift-top-bin ¦ dsp/phase_vocoder.cpp ¦ if (j > half) break; ¦ if (j >= half) break;
shift-input-limit ¦ dsp/pitch_shifter.cpp ¦ std::fabs(in[i]) < kInputLimit ? in[i] : 0.0f ¦ in[i]
chain-reset-shifters ¦ dsp/dsp_chain.cpp ¦     gain_.setTarget(next.gain, glide);⏎    if (!shifting()) {⏎        for (auto& s : shifters_) s->reset(); ¦     gain_.setTarget(next.gain, glide);⏎    if (!shifting()) {
chain-drive ¦ dsp/dsp_chain.cpp ¦ drive = drive_.target() > 0.01f; ¦ drive = drive_.target() > 0.1f;
chain-finite ¦ dsp/dsp_chain.cpp ¦ return std::fabs(x) <= std::numeric_limits<float>::max() ? x : limitSample(x, kOutputLimit); ¦ return x;
preset-daemon ¦ dsp/presets.cpp ¦   900.0f,  3.0f ¦  1000.0f,  3.0f
preset-listed ¦ dsp/presets.cpp ¦ if (!p.listed) continue; ¦ ⌀
fft-sign ¦ rvc/kw_fft.cpp ¦ stepIm = static_cast<float>(sign) * sn ¦ stepIm = static_cast<float>(-sign) * sn
mel-reflect ¦ rvc/mel_extractor.cpp ¦ x[std::min(n - 1, pad - i)] ¦ x[std::min(n - 1, pad - i - 1)]
resampler-corner ¦ rvc/polyphase_resampler.cpp ¦ kCornerOfLowerRate = 0.46 ¦ kCornerOfLowerRate = 0.5
resampler-dc ¦ rvc/polyphase_resampler.cpp ¦ for (int i = 0; i <= length_; i += up_) sum ¦ for (int i = 0; i <= length_; i += 1) sum
pitch-frames ¦ rvc/rvc_converter.cpp ¦ kPitchFrameOffset = 4; ¦ kPitchFrameOffset = 3;
content-frames ¦ rvc/rvc_converter.cpp ¦ kContentFrameOffset = 2; ¦ kContentFrameOffset = 1;
voicing-threshold ¦ rvc/rvc_converter.cpp ¦ if (!(salience[peak] > 0.03f)) ¦ if (!(salience[peak] >= 0.03f))
coarse-scale ¦ rvc/rvc_converter.cpp ¦ * 254.0 / 986.65326 ¦ * 255.0 / 986.65326
noise-angle ¦ rvc/rvc_converter.cpp ¦ 6.2831855f * static_cast<float>(b >> 8) ¦ 3.1415927f * static_cast<float>(b >> 8)
chunk-steps ¦ rvc/rvc_converter.cpp ¦ return ms / 20 * 320; ¦ return ms / 10 * 160;
stretch-end ¦ rvc/rvc_converter.cpp ¦ static_cast<float>(i) * static_cast<float>(last) ¦ static_cast<float>(i) * static_cast<float>(audio.size())
pitch-file-clamp ¦ rvc/rvc_converter.cpp ¦ std::clamp(s, -24.0f, 24.0f) ¦ std::clamp(s, -12.0f, 12.0f)
stream-average ¦ rvc/onnx_rvc_model.cpp ¦ mono_[i] = sum / static_cast<float>(channels_); ¦ mono_[i] = sum;
stream-lookahead ¦ rvc/onnx_rvc_model.cpp ¦ pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(chunk)); ¦ pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(need));
stream-crossfade ¦ rvc/onnx_rvc_model.cpp ¦ a * out[i] + (1.0f - a) * tail_[i] ¦ (1.0f - a) * out[i] + a * tail_[i]
stream-failed-chunk ¦ rvc/onnx_rvc_model.cpp ¦         out.assign(chunk * 5 / 2, 0.0f);⏎ ¦ ⌀
stream-latency ¦ rvc/onnx_rvc_model.cpp ¦  +⏎                            lastChunkMs_.load() * 0.001 * sampleRate_ ¦ ⌀
stream-semitones ¦ rvc/onnx_rvc_model.cpp ¦ std::clamp(semitones, -12.0f, 12.0f) ¦ std::clamp(semitones, -24.0f, 24.0f)
provider-auto ¦ rvc/ort_runtime.cpp ¦ lower == "cpu" || lower == "dml" || lower == "auto" ¦ lower == "cpu" || lower == "dml"
ort-int64-bytes ¦ rvc/ort_runtime.cpp ¦ in.count * (in.type == ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64 ? 8 : 4) ¦ in.count * 4
ort-threads ¦ rvc/ort_runtime.cpp ¦ static_cast<unsigned>(physicalCores) + 2u ¦ static_cast<unsigned>(physicalCores) + 1u
""".strip().splitlines()]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", type=Path, default=Path(__file__).resolve().parents[1])
    parser.add_argument("--build", type=Path)
    parser.add_argument("--check", action="store_true")
    parser.add_argument("ids", nargs="*")
    args = parser.parse_args()
    src = args.tree.resolve() / "src"
    bad = [i for i, f, o, _ in MUTANTS if (src / f).read_text().count(o) != 1]
    if bad or args.check:
        print(f"snippets not found exactly once: {' '.join(bad)}" if bad else f"{len(MUTANTS)} apply")
        return 1 if bad else 0
    build = (args.build or src.parent / "build-mutants").resolve()
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    if not (build / "build.ninja").exists():
        subprocess.run(["cmake", "-S", src.parent, "-B", build, "-G", "Ninja", "-DKW_BUILD_BENCH=OFF",
                        "-DCMAKE_BUILD_TYPE=Release"], check=True, **quiet)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # the finally below still restores
    survivors, chosen = [], [m for m in MUTANTS if not args.ids or m[0] in args.ids]
    for ident, file, original, mutated in chosen:
        path, start = src / file, time.monotonic()
        text = path.read_text()
        try:
            path.write_text(text.replace(original, mutated))
            if subprocess.run(["cmake", "--build", build], **quiet).returncode:
                verdict = "invalid"
            elif subprocess.run(["ctest", "--test-dir", build, "--stop-on-failure", "-j2",
                                 "--timeout", "300"], **quiet).returncode:
                verdict = "killed"
            else:
                verdict = "SURVIVED"
                survivors.append(ident)
        finally:
            path.write_text(text)
        print(f"{ident:24} {verdict:8} {time.monotonic() - start:5.0f} s", flush=True)
    print(f"{len(chosen) - len(survivors)} of {len(chosen)} killed or invalid; survivors: "
          f"{' '.join(survivors) or 'none'}")
    return 1 if survivors else 0


if __name__ == "__main__":
    sys.exit(main())
