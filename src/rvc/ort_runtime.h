// The only place that talks to ONNX Runtime: the process's function table and environment,
// sessions loaded from model files with the names of their inputs and outputs, and one run of a
// session over caller-owned buffers.
#pragma once

#include <onnxruntime_c_api.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Process-wide, created on first use, never released. ortApi() logs and throws FatalError when the
// runtime lacks C API version 19; once it has succeeded, it is safe from any thread.
const OrtApi* ortApi();
OrtEnv* ortEnv();
const OrtMemoryInfo* cpuMemInfo();

struct OrtSessionImpl {
    OrtSession* session = nullptr;
    std::string provider = "cpu";  // the execution provider actually used: "dml" or "cpu"
    std::vector<std::string> inputNames;
    std::vector<std::string> outputNames;
    // The runtime's name arrays, pointing into the vectors above.
    std::vector<const char*> inputNamePtrs;
    std::vector<const char*> outputNamePtrs;

    OrtSessionImpl() = default;
    OrtSessionImpl(const OrtSessionImpl&) = delete;
    OrtSessionImpl& operator=(const OrtSessionImpl&) = delete;
    ~OrtSessionImpl();

    // False (with the options already released) when DirectML was asked for and cannot be
    // registered.
    static bool makeOptions(OrtSessionOptions*& out, bool withDirectML);
    // wanted "cpu" loads on the CPU; anything else tries DirectML first. Called once, before the
    // object is shared. On failure `error` holds the message.
    bool load(const std::string& path, const std::string& wanted, std::string& error);
};

// One input tensor over caller memory; nothing is copied.
struct TensorIn {
    const void* data;
    const int64_t* shape;
    uint64_t rank;
    uint64_t count;
    int32_t type;  // ONNX element type: 1 float, 7 int64
};

// Runs `session` on `count` inputs, input k fed under the name inputNamePtrs[index[k]], and
// hands back the first output (a float tensor) as flat data plus its dimensions. On failure
// `error` holds the message and `data` and `shape` are untouched.
bool ortRun(const OrtSessionImpl& session, const TensorIn* inputs, size_t count,
            const std::vector<int>& index, std::vector<float>& data, std::vector<int64_t>& shape,
            std::string& error);

// The value of `envName` in lower case when it is "cpu", "dml" or "auto"; otherwise `fallback`.
std::string providerPrefEnv(const char* envName, const std::string& fallback);

// Intra-op threads: physicalCores + 2 capped at hardwareThreads when the cores have more than one
// thread, else physicalCores; a positive leading integer in kwOrtThreads (KW_ORT_THREADS, may be
// null) overrides.
int intraOpThreads(int physicalCores, unsigned hardwareThreads, const char* kwOrtThreads);
