// The live engine on a private sound server, per voice: tone bursts played into the microphone
// feed are found again on the cable's monitor, and their delay is printed next to the engine's own
// estimate, its underruns, the backlog it discarded and its CPU share.
//
//   live_latency_bench [--seconds N] [--model-dir DIR] [--chunk-ms MS[,MS...]] [voice ...]
//
// Defaults: 60 s, the presets original and daemon. A voice with a file DIR/<voice>.onnx is a
// neural voice (DIR: --model-dir, else the engine's default), run once per chunk length given
// (set through KW_RVC_CHUNK_MS; without --chunk-ms as the environment says). Made for the test
// network voice_sine (tests/reference/make_models.py DIR), which answers a loud input frame
// with a 101 Hz sine.
//
// Timing: one recorder on the microphone source "mic" (what the engine hears) and one on
// "cable_input.monitor" (what a program listening to the cable hears) log, per block, how many
// frames they have received and when the block arrived. Within ±250 ms of a frame the promptest
// block fixes where that frame sits on the steady clock, so both recordings share one time base and
// the recorders' own fragment waits drop out; the window is short because a monitor's frame count
// shifts by a few milliseconds against the clock whenever a stream joins or leaves its sink. An
// onset is the first sample whose magnitude passes 30 % of the recording's peak after 150 ms below
// it; with the bursts' 1 ms edges that is the rise of the envelope, whatever the chain does to the
// waveform. The pitch shifter smears that rise over its window, so the same detector on the burst
// train run through the preset's chain offline gives the chain's own delay, which is printed and
// subtracted as a cross-check.
//
// A neural voice delays by a whole chunk: its bursts come every chunk + 1 s (plus 157 frames, so
// that they step by 3.3 ms through the 10 ms frame grid and the chunk boundaries), and only those
// that enter after the first converted chunk count (before it the input passes unchanged). The
// sine voice decides voicing per 10 ms frame from a 64 ms analysis window, so its output starts
// up to about 30 ms before the burst it answers, on the frame grid: one delay is exact only to a
// frame. Offline, the converter alone on the same burst train, chunked as the streaming model
// chunks it and through the same resamplers, gives that shift (the voice's own delay, negative);
// measured minus it should then match chunk + look-ahead + the first chunk's conversion time +
// the capture and cable periods, to within a few milliseconds in the median.
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <numbers>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/neural_voices.h"
#include "audio/kw_audio.h"
#include "dsp/dsp_chain.h"
#include "dsp/presets.h"
#include "engine/engine.h"
#include "rvc/onnx_rvc_model.h"
#include "rvc/polyphase_resampler.h"
#include "rvc/rvc_converter.h"
#include "support/private_sound_server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRate = 48000;  // the private server's rate
constexpr int kBurstPeriod = kRate / 2;
constexpr int kBurstLength = kRate / 25;  // 40 ms: longer than the pitch shifter's window
constexpr int kEdge = kRate / 1000;
constexpr double kBurstHz = 500.0;  // passes the daemon's 900 Hz low-pass also when shifted
constexpr double kBurstAmplitude = 0.5;
constexpr float kOnsetShare = 0.3f;
constexpr int64_t kQuietBeforeOnset = kRate * 3 / 20;
constexpr double kPairWindowS = 0.45;  // a cable onset belongs to the mic onset before it
// A neural voice's burst period: chunk + 1 s, off the 10 ms frame grid by 157 frames.
constexpr int kNeuralExtraMs = 1000;
constexpr int kGridStep = 157;
constexpr int kOfflineBursts = 13;
constexpr double kOfflineEarliestS = -0.2;  // the sine voice answers before the onset itself
constexpr double kAfterPrimingS = 0.1;
constexpr int kNetRate = 16000;
constexpr int kVoiceRate = 40000;
constexpr double kWarmupS = 0.5;
constexpr double kStartupS = 1.0;
constexpr double kFlatWindowS = 10.0;
constexpr double kFlatToleranceMs = 1.0;
constexpr double kNeuralFlatToleranceMs = 10.0;  // the sine voice's frame: its resolution
constexpr auto kPollInterval = std::chrono::milliseconds(10);
constexpr double kTrajectoryStepS = 30.0;  // the rings' fill is printed per this much time

std::atomic<bool> interrupted{false};

double now() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// The burst train: 40 ms of 500 Hz with raised-cosine edges, one burst per period.
float burstSample(uint64_t frame, int period = kBurstPeriod) {
    const int pos = static_cast<int>(frame % static_cast<uint64_t>(period));
    if (pos >= kBurstLength) return 0.0f;
    const int edge = std::min(pos, kBurstLength - 1 - pos);
    const double ramp = edge < kEdge ? 0.5 - 0.5 * std::cos(std::numbers::pi * edge / kEdge) : 1.0;
    return static_cast<float>(kBurstAmplitude * ramp *
                              std::sin(2.0 * std::numbers::pi * kBurstHz * pos / kRate));
}

// The CPU time of a process so far, in seconds.
double cpuSeconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return 0.0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0.0;
    // After the command come state (field 3) ... utime (14) and stime (15).
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// What a capture stream delivered: channel 0, and per block the frames received so far and the
// moment the block arrived. Storage is sized up front so that the stream's thread never allocates.
class Recorder {
  public:
    struct Block {
        uint64_t endFrame;
        double arrival;
    };

    Recorder(const std::string& source, double seconds) {
        samples_.assign(static_cast<size_t>(seconds * kRate), 0.0f);
        // Fragments can be as short as 16 frames.
        blocks_.reserve(static_cast<size_t>(seconds * kRate / 16));
        std::string err;
        const bool ok = stream_.open(
            source,
            [this](const float* in, int frames) {
                for (int f = 0; f < frames; ++f, ++frames_) {
                    if (frames_ < samples_.size())
                        samples_[frames_] = in[f * stream_.format().channels];
                }
                if (blocks_.size() < blocks_.capacity()) blocks_.push_back({frames_, now()});
            },
            err);
        if (!ok) throw std::runtime_error(source + ": " + err);
    }
    // The recording may be read only after this.
    void close() { stream_.close(); }

    const std::vector<float>& samples() const { return samples_; }
    size_t frames() const { return std::min<size_t>(frames_, samples_.size()); }

    // The longest wait between two blocks that arrived within [from, to), in milliseconds.
    double longestGapMs(double from, double to) const {
        double gap = 0.0;
        for (size_t i = 1; i < blocks_.size(); ++i) {
            if (blocks_[i].arrival >= from && blocks_[i].arrival < to)
                gap = std::max(gap, blocks_[i].arrival - blocks_[i - 1].arrival);
        }
        return gap * 1000.0;
    }

    // Steady-clock seconds at which frame f was delivered.
    double timeOf(uint64_t f) const {
        const uint64_t span = kRate / 4;
        const uint64_t from = f > span ? f - span : 0;
        auto it = std::lower_bound(blocks_.begin(), blocks_.end(), from,
                                   [](const Block& b, uint64_t v) { return b.endFrame < v; });
        double offset = std::numeric_limits<double>::infinity();
        for (; it != blocks_.end() && it->endFrame <= f + span; ++it)
            offset = std::min(offset, it->arrival - static_cast<double>(it->endFrame) / kRate);
        return offset + static_cast<double>(f) / kRate;
    }

  private:
    std::vector<float> samples_;
    std::vector<Block> blocks_;
    uint64_t frames_ = 0;
    KwCapture stream_;  // last, so that it closes before the storage it writes goes away
};

// Frames at which a burst starts in x.
std::vector<uint64_t> onsets(const float* x, size_t n) {
    float peak = 0.0f;
    for (size_t i = 0; i < n; ++i) peak = std::max(peak, std::fabs(x[i]));
    std::vector<uint64_t> found;
    if (peak < 1e-4f) return found;
    const float threshold = kOnsetShare * peak;
    int64_t last = -kQuietBeforeOnset - 1;
    for (size_t i = 0; i < n; ++i) {
        if (std::fabs(x[i]) <= threshold) continue;
        const auto at = static_cast<int64_t>(i);
        if (at - last > kQuietBeforeOnset) found.push_back(i);
        last = at;
    }
    return found;
}

struct Delay {
    double at;  // the input onset, seconds
    double ms;
};

// Each input onset with the first output onset from `earliest` seconds after it, within the window.
std::vector<Delay> pairOnsets(const std::vector<double>& in, const std::vector<double>& out,
                              double earliest = 0.0, double window = kPairWindowS) {
    std::vector<Delay> delays;
    for (double t : in) {
        const auto it = std::lower_bound(out.begin(), out.end(), t + earliest);
        if (it != out.end() && *it - t < earliest + window)
            delays.push_back({t, (*it - t) * 1000.0});
    }
    return delays;
}

std::vector<double> seconds(const std::vector<uint64_t>& frames) {
    std::vector<double> t;
    for (uint64_t f : frames) t.push_back(static_cast<double>(f) / kRate);
    return t;
}

double median(std::vector<double> v) {
    if (v.empty()) return std::nan("");
    std::sort(v.begin(), v.end());
    const size_t mid = v.size() / 2;
    return v.size() % 2 ? v[mid] : 0.5 * (v[mid - 1] + v[mid]);
}

double mean(const std::vector<double>& v) {
    if (v.empty()) return std::nan("");
    double sum = 0.0;
    for (double x : v) sum += x;
    return sum / static_cast<double>(v.size());
}

// The preset's chain alone on a burst train, in 480-frame stereo blocks: its delay as the onset
// detector sees it. Live bursts meet the pitch shifter's 128-frame hop grid at any phase, so the
// offline train steps through 16 of them.
double chainDelayMs(const std::string& preset) {
    bool known = false;
    DspChain chain;
    chain.init(2, static_cast<float>(kRate));
    chain.setParams(presetByName(preset, known));
    constexpr int kBlock = 480;
    constexpr int kPeriod = kBurstPeriod + 8;
    const size_t frames = 17 * kPeriod / kBlock * kBlock;
    std::vector<float> in(frames), out(frames), block(2 * kBlock);
    for (size_t f = 0; f < frames; ++f) in[f] = burstSample(f, kPeriod);
    for (size_t f = 0; f < frames; f += kBlock) {
        for (int i = 0; i < kBlock; ++i) block[2 * i] = block[2 * i + 1] = in[f + i];
        chain.process(block.data(), kBlock);
        for (int i = 0; i < kBlock; ++i) out[f + i] = block[2 * i];
    }
    std::vector<double> ms;
    for (const Delay& d :
         pairOnsets(seconds(onsets(in.data(), frames)), seconds(onsets(out.data(), frames))))
        ms.push_back(d.ms);
    return median(ms);
}

// The neural voice alone on a burst train with `period`, chunked as the streaming model chunks it
// (history, chunk, look-ahead; without its cross-fades) and through resamplers like its own: where
// its output onsets lie against the input's, with the streaming wait taken out.
double voiceShiftMs(const std::string& modelDir, const std::string& voice, int chunkMs,
                    int period) {
    RvcConverter converter;
    converter.setChunkMs(chunkMs);
    std::string err;
    if (!converter.init(modelDir, err) ||
        !converter.loadVoice(modelDir + "/" + voice + ".onnx", err))
        throw std::runtime_error(voice + ": " + err);
    const size_t frames = static_cast<size_t>(kOfflineBursts) * period;
    std::vector<float> in(frames), in16, out40, chunkOut, out;
    for (size_t f = 0; f < frames; ++f) in[f] = burstSample(f, period);
    PolyphaseResampler(kRate, kNetRate, 16).push(in.data(), frames, in16);

    const size_t c = static_cast<size_t>(converter.chunkSamples);
    std::vector<float> window(RvcConverter::kHistory, 0.0f);
    for (size_t pos = 0; pos + c + RvcConverter::kLookAhead <= in16.size(); pos += c) {
        window.resize(RvcConverter::kHistory);
        window.insert(window.end(), in16.begin() + pos,
                      in16.begin() + pos + c + RvcConverter::kLookAhead);
        if (!converter.convertChunk(window.data(), chunkOut, err))
            throw std::runtime_error(voice + ": " + err);
        out40.insert(out40.end(), chunkOut.begin(), chunkOut.end());
        std::copy(in16.begin() + pos + c - RvcConverter::kHistory, in16.begin() + pos + c,
                  window.begin());
    }
    PolyphaseResampler(kVoiceRate, kRate, 12).push(out40.data(), out40.size(), out);
    std::vector<double> ms;
    for (const Delay& d :
         pairOnsets(seconds(onsets(in.data(), frames)), seconds(onsets(out.data(), out.size())),
                    kOfflineEarliestS, 2.0 * -kOfflineEarliestS))
        ms.push_back(d.ms);
    return median(ms);
}

std::set<int> threadIds() {
    std::set<int> ids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ids.insert(std::stoi(entry.path().filename().string()));
    return ids;
}

// CPU seconds of the given threads of this process, from the scheduler's nanosecond counters.
double threadCpuSeconds(const std::set<int>& ids) {
    double total = 0.0;
    for (int id : ids) {
        std::ifstream stat("/proc/self/task/" + std::to_string(id) + "/schedstat");
        double ns = 0.0;
        if (stat >> ns) total += ns * 1e-9;
    }
    return total;
}

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One run: a preset, or a neural voice at one chunk length (chunkMs 0: as KW_RVC_CHUNK_MS says).
struct RunPlan {
    std::string voice;
    bool neural = false;
    int chunkMs = 0;
};

struct Result {
    std::string label;
    bool neural = false;
    bool pitchShift = false;
    double burstPeriodMs = 0;
    double capturePeriodMs = 0, monitorPeriodMs = 0, cablePeriodMs = 0;
    int chunkMs = 0;
    double firstConversionMs = 0, maxConversionMs = 0, primedAfterS = 0;
    size_t bursts = 0, matched = 0;
    double measuredMedian = 0, measuredMin = 0, measuredMax = 0;
    double measuredFirst = 0, measuredLast = 0;
    double ownDelayMs = 0;
    double engineMean = 0, engineMin = 0, engineMax = 0, engineFirst = 0, engineLast = 0;
    uint32_t underrunsStartup = 0, underrunsMonitor = 0, underrunsCable = 0;
    double underrunsPerMinute = 0;
    uint64_t discardedStartup = 0, discardedAfter = 0;
    double cableFillMaxMs = 0;
    // Per kTrajectoryStepS: the fill of each ring (lowest, highest), its cushion and ratio.
    struct Step {
        double t;
        double monitorLow, monitorHigh, cableLow, cableHigh, monitorCushion, cableCushion;
        double monitorPpm, cablePpm;
    };
    std::vector<Step> trajectory;
    double engineCpu = 0, processCpu = 0, serverCpu = 0;
    double longestGapMs = 0;
    double seconds = 0, window = 0;

    // What the voice waits for before its output can start, plus one period of each device.
    double expectedMs() const {
        const double wait =
            neural ? chunkMs + RvcConverter::kLookAhead * 1000.0 / kNetRate + firstConversionMs
                   : 0.0;
        return wait + capturePeriodMs + cablePeriodMs;
    }
};

// The engine's own figures, polled from this thread while it runs.
struct Poll {
    double t;
    double latencyMs;
    EngineStatus::Output monitor, cable;
};

// The program's neural voices, remembering the last one made, for its figures.
struct WatchedVoices : OnnxVoices {
    std::unique_ptr<VoiceModel> load(const std::string& dir, const std::string& name, int channels,
                                     float sampleRate, std::string& err) const override {
        auto voice = OnnxVoices::load(dir, name, channels, sampleRate, err);
        last = static_cast<const OnnxRvcModel*>(voice.get());
        return voice;
    }
    mutable const OnnxRvcModel* last = nullptr;
};

Result runVoice(const RunPlan& plan, const std::string& modelDir, double seconds) {
    Result r;
    r.neural = plan.neural;
    bool known = false;
    int period = kBurstPeriod;
    double pairWindowS = kPairWindowS;
    if (plan.neural) {
        // The engine's converter reads the chunk length when the voice is created.
        if (plan.chunkMs) setenv("KW_RVC_CHUNK_MS", std::to_string(plan.chunkMs).c_str(), 1);
        const int chunkMs = RvcConverter().chunkSamples * 1000 / kNetRate;
        period = kRate / 1000 * (chunkMs + kNeuralExtraMs) + kGridStep;
        pairWindowS = static_cast<double>(period) / kRate - 0.05;
        r.ownDelayMs = voiceShiftMs(modelDir, plan.voice, chunkMs, period);
    } else {
        r.ownDelayMs = chainDelayMs(plan.voice);
        r.pitchShift = std::fabs(presetByName(plan.voice, known).pitchRatio - 1.0f) > 1e-4f;
    }
    r.burstPeriodMs = period * 1000.0 / kRate;

    PrivateSoundServer server;
    const double recordS = kWarmupS + seconds + 3.0;
    Recorder mic("mic", recordS);
    Recorder cable("cable_input.monitor", recordS);
    // A clocked output stays awake like a sound card; an idle null sink would stall the monitor.
    KwCapture speakersDrain;
    uint64_t fed = 0;
    KwRender feed;
    std::string err;
    if (!speakersDrain.open(
            "speakers.monitor", [](const float*, int) {}, err))
        throw std::runtime_error("speakers.monitor: " + err);
    const auto feedBursts = [&feed, &fed, period](float* out, int frames) {
        for (int f = 0; f < frames; ++f, ++fed) {
            const float x = burstSample(fed, period);
            for (int c = 0; c < feed.format().channels; ++c)
                out[f * feed.format().channels + c] = x;
        }
        return frames;
    };
    if (!feed.open("micfeed", feedBursts, err)) throw std::runtime_error("micfeed: " + err);
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmupS));

    const WatchedVoices voices;
    Engine engine(modelDir, &voices);
    if (!engine.setVoice(plan.voice, err)) throw std::runtime_error(err);
    const OnnxRvcModel* neural = voices.last;
    if (plan.neural != (neural != nullptr))
        throw std::runtime_error(plan.voice + ": not the kind of voice expected");
    r.chunkMs = neural ? neural->figures().chunkSamples * 1000 / kNetRate : 0;
    r.label = neural ? plan.voice + " " + std::to_string(r.chunkMs) + " ms" : plan.voice;
    const std::set<int> before = threadIds();
    if (!engine.start(err)) throw std::runtime_error("start: " + err);
    const EngineStatus started = engine.status();
    if (!started.cableActive) throw std::runtime_error("the engine found no cable");
    std::set<int> engineThreads;
    for (int id : threadIds())
        if (!before.count(id)) engineThreads.insert(id);

    r.capturePeriodMs = started.capturePeriodMs;
    r.monitorPeriodMs = started.monitorOut.periodMs;
    r.cablePeriodMs = started.cableOut.periodMs;

    const double t0 = now();
    const double engineCpu0 = threadCpuSeconds(engineThreads);
    const double processCpu0 = processCpuSeconds();
    const double serverCpu0 = cpuSeconds(server.pid());
    std::vector<Poll> polls;
    polls.reserve(static_cast<size_t>(seconds * 1000) / kPollInterval.count() + 16);
    bool startupTaken = false;
    // Until a neural voice's first chunk the input passes unchanged: only later bursts count.
    double primedAt = neural ? -1.0 : t0;
    double t = t0;
    while ((t = now()) < t0 + seconds && !interrupted) {
        const EngineStatus s = engine.status();
        polls.push_back({t - t0, s.latencyMs, s.monitorOut, s.cableOut});
        if (!startupTaken && t >= t0 + kStartupS) {
            r.underrunsStartup = s.underruns;
            r.discardedStartup = s.discardedFrames;
            startupTaken = true;
        }
        if (const auto f = neural ? neural->figures() : OnnxRvcModel::Figures{}; f.chunksDone > 0) {
            if (primedAt < 0.0) {
                primedAt = t;
                r.firstConversionMs = f.lastChunkMs;
            }
            r.maxConversionMs = std::max(r.maxConversionMs, f.lastChunkMs);
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    const double t1 = now();
    r.seconds = t1 - t0;
    r.primedAfterS = primedAt - t0;
    r.engineCpu = 100.0 * (threadCpuSeconds(engineThreads) - engineCpu0) / r.seconds;
    r.processCpu = 100.0 * (processCpuSeconds() - processCpu0) / r.seconds;
    r.serverCpu = 100.0 * (cpuSeconds(server.pid()) - serverCpu0) / r.seconds;
    const EngineStatus ended = engine.status();
    r.underrunsMonitor = ended.monitorOut.underruns;
    r.underrunsCable = ended.cableOut.underruns;
    if (!startupTaken) {
        r.underrunsStartup = r.underrunsMonitor + r.underrunsCable;
        r.discardedStartup = ended.discardedFrames;
    }
    const double afterS = std::max(r.seconds - kStartupS, 1e-9);
    r.underrunsPerMinute =
        (r.underrunsMonitor + r.underrunsCable - r.underrunsStartup) * 60.0 / afterS;
    r.discardedAfter = ended.discardedFrames - r.discardedStartup;
    engine.stop();
    feed.close();
    mic.close();
    cable.close();

    // Onsets of bursts that entered the engine while it ran and had time to leave it.
    const auto times = [](const Recorder& rec) {
        std::vector<double> out;
        for (uint64_t f : onsets(rec.samples().data(), rec.frames())) out.push_back(rec.timeOf(f));
        return out;
    };
    const double from = neural ? primedAt + kAfterPrimingS : t0;
    std::vector<double> heard;
    for (double at : times(mic))
        if (primedAt >= 0.0 && at >= from && at < t1 - pairWindowS) heard.push_back(at);
    const std::vector<Delay> delays = pairOnsets(heard, times(cable), 0.0, pairWindowS);
    r.longestGapMs = mic.longestGapMs(t0 + kStartupS, t1);
    r.bursts = heard.size();
    r.matched = delays.size();

    r.window = std::min(kFlatWindowS, r.seconds / 3.0);
    std::vector<double> all, first, last;
    for (const Delay& d : delays) {
        all.push_back(d.ms);
        if (d.at - from < r.window) first.push_back(d.ms);
        if (d.at - t0 >= r.seconds - r.window - pairWindowS) last.push_back(d.ms);
    }
    r.measuredMedian = median(all);
    r.measuredMin = all.empty() ? std::nan("") : *std::min_element(all.begin(), all.end());
    r.measuredMax = all.empty() ? std::nan("") : *std::max_element(all.begin(), all.end());
    r.measuredFirst = median(first);
    r.measuredLast = median(last);

    std::vector<double> engineAll, engineFirst, engineLast;
    for (const Poll& p : polls) {
        if (p.t + t0 < from) continue;
        engineAll.push_back(p.latencyMs);
        if (p.t + t0 - from < r.window) engineFirst.push_back(p.latencyMs);
        if (p.t >= r.seconds - r.window) engineLast.push_back(p.latencyMs);
        if (p.t >= kStartupS) r.cableFillMaxMs = std::max(r.cableFillMaxMs, p.cable.queuedMs);
        const size_t step = static_cast<size_t>(p.t / kTrajectoryStepS);
        if (step >= r.trajectory.size()) {
            r.trajectory.push_back({p.t, 1e9, 0, 1e9, 0, 0, 0, 0, 0});
        }
        Result::Step& s = r.trajectory.back();
        s.monitorLow = std::min(s.monitorLow, p.monitor.queuedMs);
        s.monitorHigh = std::max(s.monitorHigh, p.monitor.queuedMs);
        s.cableLow = std::min(s.cableLow, p.cable.queuedMs);
        s.cableHigh = std::max(s.cableHigh, p.cable.queuedMs);
        s.monitorCushion = p.monitor.cushionMs;
        s.cableCushion = p.cable.cushionMs;
        s.monitorPpm = p.monitor.ratioPpm;
        s.cablePpm = p.cable.ratioPpm;
    }
    r.engineMean = mean(engineAll);
    r.engineMin =
        engineAll.empty() ? std::nan("") : *std::min_element(engineAll.begin(), engineAll.end());
    r.engineMax =
        engineAll.empty() ? std::nan("") : *std::max_element(engineAll.begin(), engineAll.end());
    r.engineFirst = mean(engineFirst);
    r.engineLast = mean(engineLast);
    return r;
}

void printRow(const char* label, const std::vector<Result>& results,
              const std::function<std::string(const Result&)>& cell) {
    std::printf("%-44s", label);
    for (const Result& r : results) std::printf("  %-22s", cell(r).c_str());
    std::printf("\n");
}

std::string fmt(const char* format, double a, double b = 0.0, double c = 0.0) {
    char text[64];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

void printTable(const std::vector<Result>& results) {
    std::printf("\nlive mic -> cable, %d Hz stereo; bursts of %d ms at %.0f Hz\n\n", kRate,
                kBurstLength * 1000 / kRate, kBurstHz);
    printRow("voice", results, [](const Result& r) { return r.label; });
    printRow("run length s", results, [](const Result& r) { return fmt("%.1f", r.seconds); });
    printRow("burst period ms", results,
             [](const Result& r) { return fmt("%.1f", r.burstPeriodMs); });
    printRow("periods ms: capture / monitor / cable", results, [](const Result& r) {
        return fmt("%.2f / %.2f / %.2f", r.capturePeriodMs, r.monitorPeriodMs, r.cablePeriodMs);
    });
    printRow("first chunk converted after s", results, [](const Result& r) {
        return r.neural ? fmt("%.2f", r.primedAfterS) : std::string("-");
    });
    printRow("conversion ms: first chunk / max", results, [](const Result& r) {
        return r.neural ? fmt("%.1f / %.1f", r.firstConversionMs, r.maxConversionMs)
                        : std::string("-");
    });
    printRow("bursts found on the cable", results, [](const Result& r) {
        return std::to_string(r.matched) + " of " + std::to_string(r.bursts);
    });
    printRow("measured latency ms: median [min, max]", results, [](const Result& r) {
        return fmt("%.1f [%.1f, %.1f]", r.measuredMedian, r.measuredMin, r.measuredMax);
    });
    printRow("  median first / last window", results,
             [](const Result& r) { return fmt("%.1f / %.1f", r.measuredFirst, r.measuredLast); });
    printRow("own delay offline ms (chain / voice)", results,
             [](const Result& r) { return fmt("%.1f", r.ownDelayMs); });
    printRow("measured minus own delay ms", results,
             [](const Result& r) { return fmt("%.1f", r.measuredMedian - r.ownDelayMs); });
    printRow("expected: chunk+look-ahead+conv+periods", results,
             [](const Result& r) { return fmt("%.1f", r.expectedMs()); });
    printRow("engine latencyMs(): mean [min, max]", results, [](const Result& r) {
        return fmt("%.1f [%.1f, %.1f]", r.engineMean, r.engineMin, r.engineMax);
    });
    printRow("  mean first / last window", results,
             [](const Result& r) { return fmt("%.1f / %.1f", r.engineFirst, r.engineLast); });
    printRow("underruns in the first second", results,
             [](const Result& r) { return std::to_string(r.underrunsStartup); });
    printRow("underruns per minute after it", results,
             [](const Result& r) { return fmt("%.1f", r.underrunsPerMinute); });
    printRow("  total monitor / cable", results, [](const Result& r) {
        return std::to_string(r.underrunsMonitor) + " / " + std::to_string(r.underrunsCable);
    });
    printRow("discarded frames: first second / after", results, [](const Result& r) {
        return std::to_string(r.discardedStartup) + " / " + std::to_string(r.discardedAfter);
    });
    printRow("cable ring fill ms: max after 1 s", results,
             [](const Result& r) { return fmt("%.1f", r.cableFillMaxMs); });
    printRow("  cushion at the end ms", results, [](const Result& r) {
        return r.trajectory.empty() ? std::string("-")
                                    : fmt("%.1f", r.trajectory.back().cableCushion);
    });
    printRow("CPU %: engine threads / process / server", results, [](const Result& r) {
        return fmt("%.2f / %.2f / %.2f", r.engineCpu, r.processCpu, r.serverCpu);
    });
    printRow("longest gap between mic blocks ms", results,
             [](const Result& r) { return fmt("%.1f", r.longestGapMs); });

    std::printf(
        "\nwindows: the first and last %.1f s of each run (a neural voice's from its first\n"
        "chunk on); expected: chunk + look-ahead + the first chunk's conversion for a neural\n"
        "voice, plus the capture and cable periods; CPU in %% of one core; the process also runs\n"
        "this bench's burst player, two recorders, a drain on the speakers' monitor and a %d ms\n"
        "poll\n",
        results.empty() ? kFlatWindowS : results.front().window,
        static_cast<int>(kPollInterval.count()));
    for (const Result& r : results) {
        std::printf("\n%s: ring fill ms per %.0f s [lowest, highest] (cushion), ratio ppm\n",
                    r.label.c_str(), kTrajectoryStepS);
        for (const Result::Step& s : r.trajectory) {
            std::printf(
                "  from %5.0f s  monitor [%5.1f, %5.1f] (%4.1f) %+7.1f   cable [%5.1f, %5.1f] "
                "(%4.1f) %+7.1f\n",
                s.t, s.monitorLow, s.monitorHigh, s.monitorCushion, s.monitorPpm, s.cableLow,
                s.cableHigh, s.cableCushion, s.cablePpm);
        }
    }
    std::printf("\n");
    for (const Result& r : results) {
        const bool flat = std::fabs(r.measuredLast - r.measuredFirst) <=
                          (r.neural ? kNeuralFlatToleranceMs : kFlatToleranceMs);
        const char* underruns = r.underrunsPerMinute == 0.0 ? "no underruns after start-up"
                                                            : "UNDERRUNS after start-up";
        if (r.neural) {
            std::printf(
                "%-16s median %.1f ms, minus own delay %.1f ms vs %.1f ms expected "
                "(%+.1f); %s; %s (%+.1f ms)\n",
                r.label.c_str(), r.measuredMedian, r.measuredMedian - r.ownDelayMs, r.expectedMs(),
                r.measuredMedian - r.ownDelayMs - r.expectedMs(), underruns,
                flat ? "flat" : "NOT flat", r.measuredLast - r.measuredFirst);
            continue;
        }
        const double goal = r.pitchShift ? 45.0 : 25.0;
        std::printf("%-16s median %.1f ms (max %.1f) %s %.0f ms goal; %s; %s (%+.1f ms)\n",
                    r.label.c_str(), r.measuredMedian, r.measuredMax,
                    r.measuredMedian <= goal ? "within the" : "MISSES the", goal, underruns,
                    flat ? "flat" : "NOT flat", r.measuredLast - r.measuredFirst);
    }
}

bool isNeuralVoice(const std::string& modelDir, const std::string& voice) {
    return std::filesystem::is_regular_file(modelDir + "/" + voice + ".onnx");
}

int usage(const char* self) {
    std::fprintf(stderr,
                 "usage: %s [--seconds N] [--model-dir DIR] [--chunk-ms MS[,MS...]] [voice ...]\n",
                 self);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 60.0;
    std::string modelDir = defaultModelDir();
    std::vector<int> chunks;
    std::vector<std::string> voices;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--model-dir" && i + 1 < argc) {
            modelDir = argv[++i];
        } else if (arg == "--chunk-ms" && i + 1 < argc) {
            std::istringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');) {
                const int ms = std::atoi(item.c_str());
                if (ms <= 0) return usage(argv[0]);
                chunks.push_back(ms);
            }
        } else if (!arg.empty() && arg[0] != '-') {
            voices.push_back(arg);
        } else {
            return usage(argv[0]);
        }
    }
    if (seconds < 3.0) {
        std::fprintf(stderr, "--seconds: at least 3\n");
        return 2;
    }
    if (voices.empty()) voices = {"original", "daemon"};
    if (chunks.empty()) chunks = {0};

    std::vector<RunPlan> plans;
    for (const std::string& voice : voices) {
        if (!isNeuralVoice(modelDir, voice)) {
            plans.push_back({voice, false, 0});
            continue;
        }
        for (int ms : chunks) plans.push_back({voice, true, ms});
    }

    // Ctrl-C ends the current run early, so the server is still stopped on the way out.
    struct sigaction action {};
    action.sa_handler = [](int) { interrupted = true; };
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::vector<Result> results;
    try {
        for (const RunPlan& plan : plans) {
            if (interrupted) break;
            std::fprintf(stderr, "%s%s: %.0f s ...\n", plan.voice.c_str(),
                         plan.chunkMs ? (" " + std::to_string(plan.chunkMs) + " ms").c_str() : "",
                         seconds);
            results.push_back(runVoice(plan, modelDir, seconds));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "live_latency_bench: %s\n", e.what());
        return 1;
    }
    printTable(results);
    return 0;
}
