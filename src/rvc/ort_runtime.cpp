#include "rvc/ort_runtime.h"

#include "platform/diagnostics.h"
#include "platform/platform.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

constexpr uint32_t kApiVersion = 19;

// The runtime's message of a failed call; releases the status.
std::string takeMessage(OrtStatus* status) {
    std::string message = ortApi()->GetErrorMessage(status);
    ortApi()->ReleaseStatus(status);
    return message;
}

// For the calls whose outcome the wrapper does not act on.
void ignore(OrtStatus* status) {
    ortApi()->ReleaseStatus(status);
}

#ifdef _WIN32
// The runtime takes UTF-16 paths on Windows.
std::wstring ortPath(const std::string& utf8) {
    return platform::u2w(utf8);
}

// Looked up in the loaded runtime: a build without DirectML lacks the entry point, and then the
// sessions run on the CPU.
OrtStatus* appendDirectML(OrtSessionOptions* options) {
    using AppendDirectML = OrtStatus*(ORT_API_CALL*)(OrtSessionOptions*, int);
    const auto append = reinterpret_cast<AppendDirectML>(platform::loadedFunction(
        "onnxruntime.dll", "OrtSessionOptionsAppendExecutionProvider_DML"));
    if (!append) {
        return ortApi()->CreateStatus(ORT_NOT_IMPLEMENTED,
                                      "onnxruntime.dll ohne DirectML-Unterstützung");
    }
    return append(options, 0);
}
#else
const std::string& ortPath(const std::string& utf8) {
    return utf8;
}

OrtStatus* appendDirectML(OrtSessionOptions*) {
    return ortApi()->CreateStatus(ORT_NOT_IMPLEMENTED,
                                  "DirectML ist auf dieser Plattform nicht verfügbar");
}
#endif

using NameGetter = OrtStatus*(ORT_API_CALL*)(const OrtSession*, size_t, OrtAllocator*, char**);

void readNames(const OrtSession* session, size_t count, NameGetter get,
               std::vector<std::string>& names, std::vector<const char*>& ptrs) {
    OrtAllocator* allocator = nullptr;
    ignore(ortApi()->GetAllocatorWithDefaultOptions(&allocator));
    for (size_t i = 0; i < count; ++i) {
        char* name = nullptr;
        ignore(get(session, i, allocator, &name));
        names.emplace_back(name ? name : "");
        if (name) ignore(ortApi()->AllocatorFree(allocator, name));
    }
    // Only now: the vector no longer reallocates under the pointers.
    for (const std::string& n : names) ptrs.push_back(n.c_str());
}

}  // namespace

const OrtApi* ortApi() {
    static const OrtApi* const api = [] {
        const OrtApi* table = OrtGetApiBase()->GetApi(kApiVersion);
        if (!table) {
            logf("[rvc] FATAL: ORT-API-Version %u nicht in dieser onnxruntime.dll", kApiVersion);
            throw FatalError("ORT-API-Version fehlt");
        }
        return table;
    }();
    return api;
}

OrtEnv* ortEnv() {
    // No usage data on the user's machine, whatever the environment said: the runtime reads the
    // variable when the environment is created.
    static OrtEnv* const env = [] {
        platform::setEnvironment("ORT_DISABLE_TELEMETRY", "1");
        OrtEnv* created = nullptr;
        ignore(ortApi()->CreateEnv(ORT_LOGGING_LEVEL_WARNING, "kw-rvc", &created));
        if (created) ignore(ortApi()->DisableTelemetryEvents(created));
        return created;
    }();
    return env;
}

const OrtMemoryInfo* cpuMemInfo() {
    static OrtMemoryInfo* const info = [] {
        OrtMemoryInfo* created = nullptr;
        ignore(ortApi()->CreateCpuMemoryInfo(OrtDeviceAllocator, OrtMemTypeDefault, &created));
        return created;
    }();
    return info;
}

OrtSessionImpl::~OrtSessionImpl() {
    if (session) ortApi()->ReleaseSession(session);
}

bool OrtSessionImpl::makeOptions(OrtSessionOptions*& out, bool withDirectML) {
    const OrtApi* api = ortApi();
    out = nullptr;
    OrtSessionOptions* options = nullptr;
    if (OrtStatus* status = api->CreateSessionOptions(&options)) {
        logf("[rvc] ORT CreateSessionOptions: %s", takeMessage(status).c_str());
        return false;
    }
    ignore(api->SetSessionGraphOptimizationLevel(options, ORT_ENABLE_ALL));
    ignore(api->SetSessionExecutionMode(options, ORT_SEQUENTIAL));
    const int threads =
        intraOpThreads(platform::physicalCoreCount(), std::thread::hardware_concurrency(),
                       std::getenv("KW_ORT_THREADS"));
    ignore(api->SetIntraOpNumThreads(options, threads));
    ignore(api->SetInterOpNumThreads(options, 1));
    if (withDirectML) {
        if (OrtStatus* status = appendDirectML(options)) {
            logf("[rvc] DML-Registrierung fehlgeschlagen: %s", takeMessage(status).c_str());
            api->ReleaseSessionOptions(options);
            return false;
        }
    }
    out = options;
    return true;
}

bool OrtSessionImpl::load(const std::string& path, const std::string& wanted, std::string& error) {
    const OrtApi* api = ortApi();
    const auto& file = ortPath(path);
    OrtSessionOptions* options = nullptr;
    OrtSession* created = nullptr;
    if (wanted != "cpu" && makeOptions(options, true)) {
        OrtStatus* status = api->CreateSession(ortEnv(), file.c_str(), options, &created);
        api->ReleaseSessionOptions(options);
        if (status) {
            logf("[rvc] DML-Session fehlgeschlagen (%s) — CPU-Fallback",
                 takeMessage(status).c_str());
            created = nullptr;
        } else {
            provider = "dml";
        }
    }
    if (!created) {
        if (!makeOptions(options, false)) {
            error = "ORT CreateSessionOptions fehlgeschlagen";
            return false;
        }
        OrtStatus* status = api->CreateSession(ortEnv(), file.c_str(), options, &created);
        api->ReleaseSessionOptions(options);
        if (status) {
            error = "ORT CreateSession: " + takeMessage(status);
            return false;
        }
        provider = "cpu";
    }
    session = created;
    size_t inputs = 0;
    size_t outputs = 0;
    ignore(api->SessionGetInputCount(session, &inputs));
    ignore(api->SessionGetOutputCount(session, &outputs));
    readNames(session, inputs, api->SessionGetInputName, inputNames, inputNamePtrs);
    readNames(session, outputs, api->SessionGetOutputName, outputNames, outputNamePtrs);
    return true;
}

bool ortRun(const OrtSessionImpl& session, const TensorIn* inputs, size_t count,
            const std::vector<int>& index, std::vector<float>& data, std::vector<int64_t>& shape,
            std::string& error) {
    const OrtApi* api = ortApi();
    // Checked here rather than left to the runtime: a bad index would read past the name array.
    if (!session.session || session.outputNamePtrs.empty()) {
        error = "ortRun: Modell nicht geladen oder ohne Output";
        return false;
    }
    for (size_t k = 0; k < count; ++k) {
        if (k >= index.size() || index[k] < 0 ||
            static_cast<size_t>(index[k]) >= session.inputNamePtrs.size()) {
            error = "ortRun: kein Modell-Input für Tensor " + std::to_string(k);
            return false;
        }
    }

    std::vector<OrtValue*> values(count, nullptr);
    std::vector<const char*> names(count, nullptr);
    OrtValue* output = nullptr;
    OrtTensorTypeAndShapeInfo* info = nullptr;
    const auto fail = [&](OrtStatus* status) {
        error = takeMessage(status);
        if (info) api->ReleaseTensorTypeAndShapeInfo(info);
        for (OrtValue* v : values) api->ReleaseValue(v);
        api->ReleaseValue(output);
        return false;
    };

    for (size_t k = 0; k < count; ++k) {
        const TensorIn& in = inputs[k];
        const size_t bytes = in.count * (in.type == ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64 ? 8 : 4);
        // The runtime only reads input tensors.
        if (OrtStatus* status = api->CreateTensorWithDataAsOrtValue(
                cpuMemInfo(), const_cast<void*>(in.data), bytes, in.shape, in.rank,
                static_cast<ONNXTensorElementDataType>(in.type), &values[k])) {
            return fail(status);
        }
        names[k] = session.inputNamePtrs[static_cast<size_t>(index[k])];
    }
    if (OrtStatus* status = api->Run(session.session, nullptr, names.data(), values.data(), count,
                                     session.outputNamePtrs.data(), 1, &output)) {
        return fail(status);
    }

    void* elements = nullptr;
    ONNXTensorElementDataType type = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
    size_t rank = 0;
    if (OrtStatus* status = api->GetTensorMutableData(output, &elements)) return fail(status);
    if (OrtStatus* status = api->GetTensorTypeAndShape(output, &info)) return fail(status);
    if (OrtStatus* status = api->GetTensorElementType(info, &type)) return fail(status);
    if (type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
        // Copying another element type as floats could read past the runtime's buffer.
        return fail(
            api->CreateStatus(ORT_INVALID_ARGUMENT, "ortRun: erster Output ist kein float-Tensor"));
    }
    if (OrtStatus* status = api->GetDimensionsCount(info, &rank)) return fail(status);
    std::vector<int64_t> dims(rank);
    if (OrtStatus* status = api->GetDimensions(info, dims.data(), rank)) return fail(status);
    api->ReleaseTensorTypeAndShapeInfo(info);

    size_t n = 1;
    for (int64_t d : dims) n *= static_cast<size_t>(d);
    const float* first = static_cast<const float*>(elements);
    data.assign(first, first + n);
    shape = std::move(dims);
    for (OrtValue* v : values) api->ReleaseValue(v);
    api->ReleaseValue(output);
    return true;
}

std::string providerPrefEnv(const char* envName, const std::string& fallback) {
    const char* value = std::getenv(envName);
    if (!value || !*value) return fallback;
    std::string lower(value);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower == "cpu" || lower == "dml" || lower == "auto" ? lower : fallback;
}

int intraOpThreads(int physicalCores, unsigned hardwareThreads, const char* kwOrtThreads) {
    int threads = physicalCores;
    if (hardwareThreads > static_cast<unsigned>(physicalCores)) {
        threads =
            static_cast<int>(std::min(static_cast<unsigned>(physicalCores) + 2u, hardwareThreads));
    }
    if (kwOrtThreads) {
        const long wanted = std::strtol(kwOrtThreads, nullptr, 10);
        if (wanted > 0) threads = static_cast<int>(std::min<long>(wanted, INT_MAX));
    }
    return threads;
}
