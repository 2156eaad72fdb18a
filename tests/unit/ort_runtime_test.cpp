#include "rvc/ort_runtime.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int32_t kFloat = 1;
constexpr int32_t kInt64 = 7;

fs::path makeTempDir(const std::string& tag) {
    const fs::path dir =
        fs::temp_directory_path() / ("kw_ort_" + tag + "_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

class OrtRuntime : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = makeTempDir("models");
        const std::string cmd = std::string(KW_PYTHON) + " " + KW_REFERENCE_DIR +
                                "/make_ort_test_models.py " + dir_.string();
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }

    static std::string model(const std::string& name) { return (dir_ / (name + ".onnx")).string(); }

    static std::shared_ptr<OrtSessionImpl> loadCpu(const std::string& name) {
        auto s = std::make_shared<OrtSessionImpl>();
        std::string error;
        EXPECT_TRUE(s->load(model(name), "cpu", error)) << error;
        return s;
    }

    static fs::path dir_;
};

fs::path OrtRuntime::dir_;

TEST_F(OrtRuntime, LoadsOnCpuWithNamesInModelOrder) {
    OrtSessionImpl fresh;
    EXPECT_EQ(fresh.provider, "cpu");
    EXPECT_EQ(fresh.session, nullptr);

    testing::internal::CaptureStderr();
    const auto s = loadCpu("mixed");
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("DML"), std::string::npos);
    ASSERT_NE(s->session, nullptr);
    EXPECT_EQ(s->provider, "cpu");
    EXPECT_STREQ(std::getenv("ORT_DISABLE_TELEMETRY"), "1");
    EXPECT_EQ(s->inputNames, (std::vector<std::string>{"a", "steps", "b"}));
    EXPECT_EQ(s->outputNames, (std::vector<std::string>{"y", "z"}));
    ASSERT_EQ(s->inputNamePtrs.size(), 3u);
    ASSERT_EQ(s->outputNamePtrs.size(), 2u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(s->inputNamePtrs[i], s->inputNames[i].c_str());
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(s->outputNamePtrs[i], s->outputNames[i].c_str());
}

TEST_F(OrtRuntime, DirectMLRequestFallsBackToCpuWithOneLine) {
    for (const char* provider : {"auto", "dml"}) {
        auto s = std::make_shared<OrtSessionImpl>();
        std::string error;
        testing::internal::CaptureStderr();
        EXPECT_TRUE(s->load(model("mixed"), provider, error)) << error;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "[rvc] DML-Registrierung fehlgeschlagen: DirectML ist auf dieser Plattform "
                  "nicht verfügbar\n")
            << provider;
        EXPECT_EQ(s->provider, "cpu") << provider;
        EXPECT_EQ(s->inputNames.size(), 3u) << provider;
    }

    OrtSessionOptions* options = reinterpret_cast<OrtSessionOptions*>(1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(OrtSessionImpl::makeOptions(options, true));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(options, nullptr);
    ASSERT_TRUE(OrtSessionImpl::makeOptions(options, false));
    ASSERT_NE(options, nullptr);
    ortApi()->ReleaseSessionOptions(options);
}

TEST_F(OrtRuntime, LoadFailuresCarryTheRuntimeMessage) {
    const std::string prefix = "ORT CreateSession: ";
    const fs::path missing = dir_ / "fehlt.onnx";
    const fs::path garbage = dir_ / "kein_modell.onnx";
    std::ofstream(garbage) << "Dies ist kein Modell.\n";

    for (const fs::path& path : {missing, garbage}) {
        OrtSessionImpl s;
        std::string error;
        EXPECT_FALSE(s.load(path.string(), "cpu", error));
        ASSERT_GT(error.size(), prefix.size()) << error;
        EXPECT_EQ(error.substr(0, prefix.size()), prefix);
        EXPECT_EQ(s.session, nullptr);
        EXPECT_TRUE(s.inputNames.empty());
    }
    OrtSessionImpl s;
    std::string error;
    s.load(missing.string(), "cpu", error);
    EXPECT_NE(error.find(missing.string()), std::string::npos) << error;
}

TEST_F(OrtRuntime, RunFeedsInputsByIndexAndReturnsTheFirstOutput) {
    const auto s = loadCpu("mixed");
    // Handed over in another order than the model's (a, steps, b); int64 takes 8 bytes each.
    const float a[] = {1, 2, 3};
    const float b[] = {10, 20, 30};
    const int64_t steps[] = {1, 2};
    const int64_t rowShape[] = {1, 3};
    const int64_t stepsShape[] = {2};
    const TensorIn inputs[] = {
        {b, rowShape, 2, 3, kFloat},
        {steps, stepsShape, 1, 2, kInt64},
        {a, rowShape, 2, 3, kFloat},
    };
    std::vector<float> data(7, -1.0f);
    std::vector<int64_t> shape{9, 9, 9};
    std::string error;
    ASSERT_TRUE(ortRun(*s, inputs, 3, {2, 1, 0}, data, shape, error)) << error;
    // y = (2a + b) * (1 + 2)
    EXPECT_EQ(data, (std::vector<float>{36, 72, 108}));
    EXPECT_EQ(shape, (std::vector<int64_t>{1, 3}));
}

TEST_F(OrtRuntime, OutputWithoutDimensionsIsOneElement) {
    const auto s = loadCpu("scalar");
    const float x[] = {1, 2, 4.5f};
    const int64_t xShape[] = {3};
    const TensorIn input{x, xShape, 1, 3, kFloat};
    std::vector<float> data;
    std::vector<int64_t> shape{3};
    std::string error;
    ASSERT_TRUE(ortRun(*s, &input, 1, {0}, data, shape, error)) << error;
    EXPECT_EQ(data, (std::vector<float>{7.5f}));
    EXPECT_TRUE(shape.empty());
}

TEST_F(OrtRuntime, FailedRunGivesTheRuntimeMessageAndLeavesTheOutputs) {
    const auto s = loadCpu("mixed");
    const float a[] = {1, 2, 3};
    const int64_t steps[] = {1};
    const int64_t flatShape[] = {3};
    const int64_t rowShape[] = {1, 3};
    const int64_t stepsShape[] = {1};
    const TensorIn inputs[] = {
        {a, flatShape, 1, 3, kFloat},  // rank 1 where the model wants 2
        {steps, stepsShape, 1, 1, kInt64},
        {a, rowShape, 2, 3, kFloat},
    };
    std::vector<float> data{5};
    std::vector<int64_t> shape{6};
    std::string error;
    EXPECT_FALSE(ortRun(*s, inputs, 3, {0, 1, 2}, data, shape, error));
    EXPECT_NE(error.find("Invalid rank for input: a"), std::string::npos) << error;
    EXPECT_EQ(data, std::vector<float>{5});
    EXPECT_EQ(shape, std::vector<int64_t>{6});

    // A byte length that does not cover the shape is refused by the runtime.
    const TensorIn shortInput{a, rowShape, 2, 2, kFloat};
    error.clear();
    EXPECT_FALSE(ortRun(*s, &shortInput, 1, {0}, data, shape, error));
    EXPECT_FALSE(error.empty());
}

TEST_F(OrtRuntime, NetworksWithoutInputsOrOutputsDoNotCrash) {
    const auto noInput = loadCpu("no_input");
    EXPECT_TRUE(noInput->inputNames.empty());
    EXPECT_TRUE(noInput->inputNamePtrs.empty());
    EXPECT_EQ(noInput->outputNames, std::vector<std::string>{"c"});
    std::vector<float> data;
    std::vector<int64_t> shape;
    std::string error;
    ASSERT_TRUE(ortRun(*noInput, nullptr, 0, {}, data, shape, error)) << error;
    EXPECT_EQ(data, (std::vector<float>{1.5f, -2.5f}));
    EXPECT_EQ(shape, std::vector<int64_t>{2});

    const float x[] = {1};
    const int64_t xShape[] = {1};
    const TensorIn input{x, xShape, 1, 1, kFloat};
    EXPECT_FALSE(ortRun(*noInput, &input, 1, {0}, data, shape, error));
    EXPECT_FALSE(error.empty());

    const auto noOutput = loadCpu("no_output");
    EXPECT_EQ(noOutput->inputNames, std::vector<std::string>{"x"});
    EXPECT_TRUE(noOutput->outputNames.empty());
    EXPECT_TRUE(noOutput->outputNamePtrs.empty());
    error.clear();
    EXPECT_FALSE(ortRun(*noOutput, &input, 1, {0}, data, shape, error));
    EXPECT_FALSE(error.empty());
}

TEST(ProviderPrefEnv, AcceptsTheThreeWordsInAnyCase) {
    const char* var = "KW_ORT_TEST_PROVIDER";
    unsetenv(var);
    EXPECT_EQ(providerPrefEnv(var, "auto"), "auto");
    const std::pair<const char*, const char*> cases[] = {
        {"", "fallback"},    {"DML", "dml"},       {"Cpu", "cpu"},       {"auto", "auto"},
        {"gpu", "fallback"}, {" cpu", "fallback"}, {"cpu ", "fallback"}, {"dmlx", "fallback"},
    };
    for (const auto& [value, expected] : cases) {
        setenv(var, value, 1);
        EXPECT_EQ(providerPrefEnv(var, "fallback"), expected) << '"' << value << '"';
    }
    unsetenv(var);
}

TEST(IntraOpThreads, PhysicalCoresPlusTwoCappedByHardwareThreads) {
    EXPECT_EQ(intraOpThreads(8, 16, nullptr), 10);
    EXPECT_EQ(intraOpThreads(8, 8, nullptr), 8);
    EXPECT_EQ(intraOpThreads(4, 5, nullptr), 5);
    EXPECT_EQ(intraOpThreads(2, 2, nullptr), 2);
    EXPECT_EQ(intraOpThreads(4, 0, nullptr), 4);  // hardware threads unknown
    for (const char* ignored : {"0", "-3", "viele", ""}) {
        EXPECT_EQ(intraOpThreads(8, 16, ignored), 10) << ignored;
    }
    EXPECT_EQ(intraOpThreads(8, 16, "6"), 6);
    EXPECT_EQ(intraOpThreads(2, 2, "12 Threads"), 12);
}

TEST(PhysicalCores, DistinctPackageCorePairsFromTopology) {
    const fs::path root = makeTempDir("cpus");
    const auto cpu = [&](const std::string& name, const char* package, const char* core) {
        const fs::path topology = root / name / "topology";
        fs::create_directories(topology);
        std::ofstream(topology / "physical_package_id") << package << "\n";
        std::ofstream(topology / "core_id") << core << "\n";
    };
    cpu("cpu0", "0", "0");
    cpu("cpu1", "0", "0");  // second thread of core 0
    cpu("cpu2", "0", "1");
    cpu("cpu3", "1", "0");  // core 0 of the second package
    cpu("cpu10", "1", "1");
    fs::create_directories(root / "cpu4");  // offline: no topology
    cpu("cpufreq", "5", "5");
    EXPECT_EQ(countTopologyCores(root.string()), 4);
    fs::remove_all(root);
    EXPECT_EQ(countTopologyCores(root.string()), 0);
    EXPECT_GE(physicalCoreCount(), 1);
}

TEST_F(OrtRuntime, WritesNoUsageDataUnderHome) {
    // A fresh process, since the environment is created once per process: two of the tests above
    // again, with HOME in a temp dir and a user's ORT_DISABLE_TELEMETRY=0 that must be overridden.
    const fs::path home = makeTempDir("home");
    const std::string cmd =
        "env -u XDG_CACHE_HOME -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u XDG_STATE_HOME HOME=" +
        home.string() + " ORT_DISABLE_TELEMETRY=0 PYTHONDONTWRITEBYTECODE=1 " +
        fs::read_symlink("/proc/self/exe").string() +
        " --gtest_filter=OrtRuntime.LoadsOnCpu*:OrtRuntime.RunFeeds* >/dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::string left;
    for (const auto& e : fs::recursive_directory_iterator(home)) left += e.path().string() + " ";
    EXPECT_EQ(left, "");
    fs::remove_all(home);
}

}  // namespace
