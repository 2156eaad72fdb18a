// Runs an independent numpy reference from tests/reference/ on raw float data.
// The script is called as: python3 <script> <in.f32> <out.f64> [args...], reads
// float32 samples and writes its result as float64.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

inline std::vector<double> numpyReference(const std::string& script,
                                          const std::vector<std::string>& args,
                                          const std::vector<float>& input) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() /
                         ("kw_ref_" + std::to_string(::getpid()) + "_" +
                          ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    const fs::path in = dir / "in.f32", out = dir / "out.f64";
    {
        std::ofstream f(in, std::ios::binary);
        f.write(reinterpret_cast<const char*>(input.data()),
                static_cast<std::streamsize>(input.size() * sizeof(float)));
    }
    std::string cmd = std::string(KW_PYTHON) + " " + KW_REFERENCE_DIR + "/" + script + " " +
                      in.string() + " " + out.string();
    for (const auto& a : args) cmd += " " + a;
    std::vector<double> result;
    if (std::system(cmd.c_str()) == 0) {
        std::ifstream f(out, std::ios::binary | std::ios::ate);
        result.resize(static_cast<size_t>(f.tellg()) / sizeof(double));
        f.seekg(0);
        f.read(reinterpret_cast<char*>(result.data()),
               static_cast<std::streamsize>(result.size() * sizeof(double)));
    }
    fs::remove_all(dir);
    EXPECT_FALSE(result.empty()) << "numpy reference failed: " << cmd;
    return result;
}
