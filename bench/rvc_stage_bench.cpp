// Where the time of a neural voice goes, with networks of realistic size: per-stage times of
// RvcConverter::convertChunk for 200, 500 and 1000 ms chunks at 1 and 2 inference threads, the
// real-time factor, and the engine's own share of a chunk (everything but the three network
// runs; goal: at most 1 %). Then an OnnxRvcModel fed in real time checks that streaming keeps up.
//
//   rvc_stage_bench <model-dir> [--stream-chunk-ms N] [--stream-threads N]
//
// <model-dir> holds hubert_v2.onnx, rmvpe.onnx and voice_heavy.onnx, written by
// bench/make_heavy_rvc_models.py; without them the bench says so and ends successfully.
//
// The runtime reads KW_ORT_THREADS when a session is created, and the base sessions live for the
// whole process, so every thread count runs in a child process of its own (this executable
// again, with an internal first argument). The network runs are timed exactly by wrapping the
// runtime's own Run entry: this executable defines OrtGetApiBase, which the engine's runtime
// wrapper then calls instead of the library's, and hands out the library's function table with
// Run replaced by a timing call. Wall time of convertChunk minus those runs is the engine's own
// time: the mel spectrogram, tensor wrapping and output copies, f0 decoding, alignment, noise.
//
// The streaming check chooses the shortest chunk that converted in at most 80 % of real time
// (unless told otherwise), feeds 480-frame stereo blocks at 48 kHz paced by the clock for 10 s
// after the first converted block, and counts blocks for which the output ring held fewer frames
// than the block needed (underruns) and the ring-overflow warnings the model logged.
#include <dlfcn.h>
#include <onnxruntime_c_api.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rvc/onnx_rvc_model.h"
#include "rvc/rvc_converter.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kVoice = "voice_heavy";
constexpr const char* kModelFiles[] = {"hubert_v2.onnx", "rmvpe.onnx", "voice_heavy.onnx"};
constexpr int kChunkMs[] = {200, 500, 1000};
constexpr int kThreads[] = {1, 2};
constexpr double kSecondsPerSize = 3.0;  // converted audio per chunk size, at least 3 chunks
constexpr int kMinChunks = 3;
constexpr double kEngineGoal = 0.01;
constexpr double kStreamRtfLimit = 0.8;
constexpr int kStreamRate = 48000;
constexpr int kStreamChannels = 2;
constexpr int kBlock = 480;
constexpr double kStreamSeconds = 10.0;
constexpr double kPrimingLimitS = 20.0;
constexpr double kLateBlockMs = 5.0;

// Network runs, by session: the runtime's Run wrapped with a clock.

enum Net { kPitch, kContent, kVoiceNet, kNets };

std::array<const OrtSession*, kNets> g_tracked{};
std::array<std::atomic<int64_t>, kNets> g_runNs{};
const OrtApi* g_realApi = nullptr;

// With OrtGetApiBase defined here the linker drops the runtime library from the executable's
// dependencies, so it is opened by its soname (found through the executable's RUNPATH).
const OrtApiBase* realApiBase() {
    static const OrtApiBase* const base = [] {
        void* library = dlopen("libonnxruntime.so.1", RTLD_NOW | RTLD_LOCAL);
        void* get = library ? dlsym(library, "OrtGetApiBase") : nullptr;
        if (!get) {
            std::fprintf(stderr, "rvc_stage_bench: no ONNX Runtime: %s\n", dlerror());
            std::exit(1);
        }
        return reinterpret_cast<const OrtApiBase* (*)()>(get)();
    }();
    return base;
}

OrtStatus* ORT_API_CALL timedRun(OrtSession* session, const OrtRunOptions* options,
                                 const char* const* inputNames, const OrtValue* const* inputs,
                                 size_t inputCount, const char* const* outputNames,
                                 size_t outputCount, OrtValue** outputs) NO_EXCEPTION {
    const auto t0 = Clock::now();
    OrtStatus* status = g_realApi->Run(session, options, inputNames, inputs, inputCount,
                                       outputNames, outputCount, outputs);
    const int64_t ns = std::chrono::nanoseconds(Clock::now() - t0).count();
    for (int n = 0; n < kNets; ++n) {
        if (g_tracked[n] == session) g_runNs[n] += ns;
    }
    return status;
}

const OrtApi* ORT_API_CALL timedGetApi(uint32_t version) NO_EXCEPTION {
    static OrtApi table{};
    static std::once_flag made;
    const OrtApi* real = realApiBase()->GetApi(version);
    if (!real) return nullptr;
    std::call_once(made, [real] {
        g_realApi = real;
        table = *real;
        table.Run = &timedRun;
    });
    return &table;
}

}  // namespace

extern "C" const OrtApiBase* ORT_API_CALL OrtGetApiBase(void) NO_EXCEPTION {
    static const OrtApiBase base{&timedGetApi, realApiBase()->GetVersionString};
    return &base;
}

namespace {

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// A voice-like test signal: harmonics of a gliding 110-190 Hz fundamental in 300 ms syllables.
std::vector<float> voiceLike(size_t n, int rate) {
    std::vector<float> x(n);
    double phase = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double f0 = 150.0 + 40.0 * std::sin(2.0 * std::numbers::pi * 0.7 * t);
        phase += 2.0 * std::numbers::pi * f0 / rate;
        double h = 0.0;
        for (int k = 1; k <= 10; ++k) h += std::sin(k * phase) / k;
        const double syllable = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * t / 0.3);
        x[i] = static_cast<float>(0.25 * syllable * h);
    }
    return x;
}

std::string modelPath(const std::string& dir, const char* file) {
    return dir + "/" + file;
}

// One chunk size at one thread count; times are means per chunk in milliseconds.
struct Row {
    int threads = 0, chunkMs = 0, chunks = 0;
    double wall = 0, wallMin = 0, wallMax = 0;
    double mel = 0;                                           // converter's mel figure
    double pitchStage = 0, contentStage = 0, voiceStage = 0;  // converter's other stage figures
    double pitchRun = 0, contentRun = 0, voiceRun = 0;        // the runtime's Run alone
    double outRms = 0;
    bool outFinite = true;

    double rtf() const { return wall / chunkMs; }
    double runs() const { return pitchRun + contentRun + voiceRun; }
    double engine() const { return wall - runs(); }

    std::string line() const {
        std::ostringstream s;
        s.precision(17);
        s << "row " << threads << ' ' << chunkMs << ' ' << chunks << ' ' << wall << ' ' << wallMin
          << ' ' << wallMax << ' ' << mel << ' ' << pitchStage << ' ' << contentStage << ' '
          << voiceStage << ' ' << pitchRun << ' ' << contentRun << ' ' << voiceRun << ' ' << outRms
          << ' ' << outFinite;
        return s.str();
    }
    static bool parse(const std::string& text, Row& r) {
        std::istringstream s(text);
        std::string tag;
        s >> tag >> r.threads >> r.chunkMs >> r.chunks >> r.wall >> r.wallMin >> r.wallMax >>
            r.mel >> r.pitchStage >> r.contentStage >> r.voiceStage >> r.pitchRun >> r.contentRun >>
            r.voiceRun >> r.outRms >> r.outFinite;
        return tag == "row" && !s.fail();
    }
};

bool loadConverter(RvcConverter& converter, const std::string& dir) {
    std::string err;
    if (!converter.init(dir, err) ||
        !converter.loadVoice(modelPath(dir, kModelFiles[kVoiceNet]), err)) {
        std::fprintf(stderr, "rvc_stage_bench: %s\n", err.c_str());
        return false;
    }
    return true;
}

// Child: every chunk size at the thread count in KW_ORT_THREADS, one "row" line each.
int runStages(const std::string& dir) {
    RvcConverter converter;
    if (!loadConverter(converter, dir)) return 1;
    g_tracked = {converter.rmvpe->session, converter.hubert->session, converter.voice->session};
    const int threads = std::atoi(std::getenv("KW_ORT_THREADS"));
    std::vector<float> out;
    std::string err;
    for (const int chunkMs : kChunkMs) {
        converter.setChunkMs(chunkMs);
        const std::vector<float> input =
            voiceLike(static_cast<size_t>(converter.chunkSamples + RvcConverter::kHistory +
                                          RvcConverter::kLookAhead),
                      16000);
        if (!converter.convertChunk(input.data(), out, err)) {  // warm-up for this length
            std::fprintf(stderr, "rvc_stage_bench: %s\n", err.c_str());
            return 1;
        }
        Row r;
        r.threads = threads;
        r.chunkMs = converter.chunkSamples / 16;
        r.chunks = std::max(kMinChunks, static_cast<int>(kSecondsPerSize * 1000.0 / r.chunkMs));
        r.wallMin = 1e300;
        const double mel0 = converter.melMs, pitch0 = converter.rmvpeMs;
        const double content0 = converter.hubertMs, voice0 = converter.voiceMs;
        for (auto& ns : g_runNs) ns = 0;
        for (int i = 0; i < r.chunks; ++i) {
            const auto t0 = Clock::now();
            const bool ok = converter.convertChunk(input.data(), out, err);
            const double wall = ms(Clock::now() - t0);
            if (!ok) {
                std::fprintf(stderr, "rvc_stage_bench: %s\n", err.c_str());
                return 1;
            }
            r.wall += wall;
            r.wallMin = std::min(r.wallMin, wall);
            r.wallMax = std::max(r.wallMax, wall);
        }
        const double n = r.chunks;
        r.wall /= n;
        r.mel = (converter.melMs - mel0) / n;
        r.pitchStage = (converter.rmvpeMs - pitch0) / n;
        r.contentStage = (converter.hubertMs - content0) / n;
        r.voiceStage = (converter.voiceMs - voice0) / n;
        r.pitchRun = static_cast<double>(g_runNs[kPitch]) / 1e6 / n;
        r.contentRun = static_cast<double>(g_runNs[kContent]) / 1e6 / n;
        r.voiceRun = static_cast<double>(g_runNs[kVoiceNet]) / 1e6 / n;
        double sum = 0.0;
        for (float v : out) {
            r.outFinite = r.outFinite && std::isfinite(v);
            sum += static_cast<double>(v) * v;
        }
        r.outRms = std::sqrt(sum / static_cast<double>(std::max<size_t>(out.size(), 1)));
        std::printf("%s\n", r.line().c_str());
        std::fflush(stdout);
    }
    return 0;
}

// Diagnostic lines of the model (stderr) go to a file while it streams.
class StderrCapture {
  public:
    StderrCapture() {
        char tmpl[] = "/tmp/kw_rvc_stream.XXXXXX";
        const int fd = mkstemp(tmpl);
        if (fd < 0) throw std::runtime_error("mkstemp");
        path_ = tmpl;
        std::fflush(stderr);
        saved_ = dup(2);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() {
        restore();
        std::filesystem::remove(path_);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::vector<std::string> lines() {
        restore();
        std::ifstream in(path_);
        std::vector<std::string> all;
        for (std::string line; std::getline(in, line);) all.push_back(line);
        return all;
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

// Child: an OnnxRvcModel fed in real time.
int runStream(const std::string& dir, int chunkMs) {
    setenv("KW_RVC_CHUNK_MS", std::to_string(chunkMs).c_str(), 1);
    OnnxRvcModel model(dir);
    model.init(kStreamChannels, static_cast<float>(kStreamRate));
    std::string err;
    if (!model.load(kVoice, err)) {
        std::fprintf(stderr, "rvc_stage_bench: %s\n", err.c_str());
        return 1;
    }
    const int chunk = model.figures().chunkSamples / 16;

    const size_t maxBlocks = static_cast<size_t>((kPrimingLimitS + kStreamSeconds) * 100.0);
    const std::vector<float> mono = voiceLike(maxBlocks * kBlock, kStreamRate);
    std::vector<float> block(static_cast<size_t>(kBlock) * kStreamChannels);
    std::vector<double> chunkTimes;
    size_t blocks = 0, streamed = 0, underruns = 0, missing = 0, late = 0;
    size_t minFill = SIZE_MAX;
    double primedAt = -1.0, worstLateMs = 0.0;
    int seenChunks = 0;

    StderrCapture capture;
    const auto start = Clock::now();
    for (; blocks < maxBlocks; ++blocks) {
        const auto due = start + std::chrono::microseconds(10000 * blocks);
        std::this_thread::sleep_until(due);
        const double lateMs = ms(Clock::now() - due);
        worstLateMs = std::max(worstLateMs, lateMs);
        if (lateMs > kLateBlockMs) ++late;

        for (int i = 0; i < kBlock; ++i) {
            for (int c = 0; c < kStreamChannels; ++c)
                block[static_cast<size_t>(i) * kStreamChannels + c] = mono[blocks * kBlock + i];
        }
        const bool primed = model.figures().chunksDone > 0;
        if (primed) {
            const size_t fill = model.figures().outputQueued;
            minFill = std::min(minFill, fill);
            if (fill < static_cast<size_t>(kBlock)) {
                ++underruns;
                missing += kBlock - fill;
            }
            ++streamed;
        }
        model.process(block.data(), kBlock);
        if (const OnnxRvcModel::Figures f = model.figures(); f.chunksDone > seenChunks) {
            seenChunks = f.chunksDone;
            chunkTimes.push_back(f.lastChunkMs);
            if (primedAt < 0.0) primedAt = ms(Clock::now() - start);
        }
        if (primedAt >= 0.0 && ms(Clock::now() - start) >= primedAt + kStreamSeconds * 1000.0)
            break;
        if (primedAt < 0.0 && blocks >= static_cast<size_t>(kPrimingLimitS * 100.0)) break;
    }
    model.stopWorker();
    const std::vector<std::string> lines = capture.lines();

    const auto count = [&lines](const char* text) {
        return std::count_if(lines.begin(), lines.end(), [text](const std::string& l) {
            return l.find(text) != std::string::npos;
        });
    };
    std::printf(
        "\nstreaming: OnnxRvcModel, %d Hz stereo in %d-frame blocks paced by the clock, "
        "chunk %d ms, KW_ORT_THREADS=%s\n",
        kStreamRate, kBlock, chunk, std::getenv("KW_ORT_THREADS"));
    if (primedAt < 0.0) {
        std::printf("  no chunk converted within %.0f s\n", kPrimingLimitS);
        return 1;
    }
    std::printf("  first converted block after %.0f ms; then %zu blocks (%.1f s)\n", primedAt,
                streamed, streamed / 100.0);
    const double firstMs = chunkTimes.front();
    std::sort(chunkTimes.begin(), chunkTimes.end());
    std::printf(
        "  chunks converted: %d; conversion ms first / min / median / max: %.0f / %.0f / "
        "%.0f / %.0f (RTF max %.2f)\n",
        seenChunks, firstMs, chunkTimes.front(), chunkTimes[chunkTimes.size() / 2],
        chunkTimes.back(), chunkTimes.back() / chunk);
    // Output starts as soon as the first chunk is there: its conversion time is the only cushion.
    std::printf("  a chunk slower than the first leaves that much silence: max - first = %.0f ms\n",
                chunkTimes.back() - firstMs);
    std::printf("  underrun blocks after priming: %zu (%zu frames of silence, %.1f ms)\n",
                underruns, missing, missing * 1000.0 / kStreamRate);
    std::printf("  smallest output-ring fill before a block: %zu frames (%.1f ms)\n", minFill,
                minFill * 1000.0 / kStreamRate);
    std::printf(
        "  \"Eingangs-FIFO voll\": %ld, \"Ausgangs-FIFO voll\": %ld, "
        "\"Chunk-Fehler\": %ld lines\n",
        count("Eingangs-FIFO voll"), count("Ausgangs-FIFO voll"), count("Chunk-Fehler"));
    std::printf("  feeder blocks later than %.0f ms: %zu (worst %.1f ms)\n", kLateBlockMs, late,
                worstLateMs);
    for (const std::string& l : lines) std::printf("  log: %s\n", l.c_str());
    return 0;
}

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs this executable again with the given arguments and thread count; returns its output.
std::string runChild(const std::string& args, int threads, bool echo) {
    const std::string command = "KW_ORT_THREADS=" + std::to_string(threads) + " " +
                                quoted(std::filesystem::read_symlink("/proc/self/exe")) + " " +
                                args;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("popen");
    std::string out;
    char buf[4096];
    while (fgets(buf, sizeof buf, pipe)) {
        if (echo) std::fputs(buf, stdout);
        out += buf;
    }
    if (pclose(pipe) != 0) throw std::runtime_error("child failed: " + args);
    return out;
}

void printTable(const std::vector<Row>& rows) {
    std::printf("\nconvertChunk per chunk (means; ms), 16 kHz in, 40 kHz out\n");
    std::printf("%-4s %6s %4s  %-22s %5s  %6s %7s %8s %8s  %-16s %s\n", "thr", "chunk", "n",
                "wall [min, max]", "RTF", "mel", "pitch", "content", "voice", "engine (share)",
                "out rms");
    for (const Row& r : rows) {
        char wall[64], engine[64];
        std::snprintf(wall, sizeof wall, "%.1f [%.1f, %.1f]", r.wall, r.wallMin, r.wallMax);
        std::snprintf(engine, sizeof engine, "%.2f (%.2f %%)", r.engine(),
                      100.0 * r.engine() / r.wall);
        std::printf("%-4d %6d %4d  %-22s %5.2f  %6.2f %7.1f %8.1f %8.1f  %-16s %.3f%s\n", r.threads,
                    r.chunkMs, r.chunks, wall, r.rtf(), r.mel, r.pitchRun, r.contentRun, r.voiceRun,
                    engine, r.outRms, r.outFinite ? "" : " NOT FINITE");
    }
    std::printf(
        "\npitch, content, voice: the runtime's Run alone; engine = wall - the three runs\n");
    std::printf("\nthe engine's own time per chunk (ms), by where convertChunk books it\n");
    std::printf("%-4s %6s  %6s %12s %18s %20s %8s\n", "thr", "chunk", "mel", "pitch glue",
                "content glue+f0", "voice glue+align+rng", "rest");
    for (const Row& r : rows) {
        const double rest = r.wall - r.mel - r.pitchStage - r.contentStage - r.voiceStage;
        std::printf("%-4d %6d  %6.2f %12.3f %18.3f %20.3f %8.3f\n", r.threads, r.chunkMs, r.mel,
                    r.pitchStage - r.pitchRun, r.contentStage - r.contentRun,
                    r.voiceStage - r.voiceRun, rest);
    }
    std::printf(
        "\nglue: tensor wrapping and output copies around Run; f0 decoding is booked with the\n"
        "content stage, alignment and noise with the voice stage; rest: buffers, length check\n\n");
    for (const Row& r : rows) {
        const double share = r.engine() / r.wall;
        std::printf(
            "threads %d, chunk %4d ms: RTF %.2f (%s real time), engine share %.2f %% "
            "%s the %.0f %% goal\n",
            r.threads, r.chunkMs, r.rtf(), r.rtf() < 1.0 ? "faster than" : "SLOWER than",
            100.0 * share, share <= kEngineGoal ? "within" : "MISSES", 100 * kEngineGoal);
    }
}

int usage(const char* self) {
    std::fprintf(stderr, "usage: %s <model-dir> [--stream-chunk-ms N] [--stream-threads N]\n",
                 self);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--child-stages") return runStages(argv[2]);
    if (argc == 4 && std::string(argv[1]) == "--child-stream")
        return runStream(argv[2], std::atoi(argv[3]));
    if (argc < 2 || argv[1][0] == '-') return usage(argv[0]);

    const std::string dir = argv[1];
    int streamChunkMs = 0, streamThreads = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--stream-chunk-ms" && i + 1 < argc) {
            streamChunkMs = std::atoi(argv[++i]);
        } else if (arg == "--stream-threads" && i + 1 < argc) {
            streamThreads = std::atoi(argv[++i]);
        } else {
            return usage(argv[0]);
        }
    }
    for (const char* file : kModelFiles) {
        if (!std::filesystem::is_regular_file(modelPath(dir, file))) {
            std::printf(
                "rvc_stage_bench: skipped, %s is missing (write the networks with "
                "bench/make_heavy_rvc_models.py %s)\n",
                modelPath(dir, file).c_str(), dir.c_str());
            return 0;
        }
    }

    try {
        std::vector<Row> rows;
        for (const int threads : kThreads) {
            std::fprintf(stderr, "KW_ORT_THREADS=%d ...\n", threads);
            std::istringstream out(runChild("--child-stages " + quoted(dir), threads, false));
            for (std::string line; std::getline(out, line);) {
                Row r;
                if (Row::parse(line, r)) rows.push_back(r);
            }
        }
        printTable(rows);

        if (!streamChunkMs || !streamThreads) {
            const Row* pick = nullptr;
            for (const Row& r : rows) {
                if (r.rtf() > kStreamRtfLimit) continue;
                if (!pick || r.chunkMs < pick->chunkMs ||
                    (r.chunkMs == pick->chunkMs && r.rtf() < pick->rtf()))
                    pick = &r;
            }
            if (!pick) {
                std::printf(
                    "\nstreaming check skipped: no chunk size converts in %.0f %% of "
                    "real time\n",
                    100 * kStreamRtfLimit);
                return 0;
            }
            streamChunkMs = streamChunkMs ? streamChunkMs : pick->chunkMs;
            streamThreads = streamThreads ? streamThreads : pick->threads;
        }
        std::fflush(stdout);
        runChild("--child-stream " + quoted(dir) + " " + std::to_string(streamChunkMs),
                 streamThreads, true);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rvc_stage_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
