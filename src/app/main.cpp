// Entry point: picks a mode from the command line; with no mode the JSON protocol runs.
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/live_test.h"
#include "app/neural_voices.h"
#include "app/offline_tools.h"
#include "engine/engine.h"
#include "platform/diagnostics.h"
#include "platform/platform.h"
#include "protocol/command_loop.h"
#include "rvc/rvc_converter.h"

namespace {

// Value of the last `name` among argv[mode + 2 .. argc - 2], or nullptr.
const char* optionValue(int argc, char** argv, int mode, const char* name) {
    const char* value = nullptr;
    for (int i = mode + 2; i <= argc - 2; ++i) {
        if (std::strcmp(argv[i], name) == 0) value = argv[i + 1];
    }
    return value;
}

float secondsOption(int argc, char** argv, int mode, float def) {
    const char* v = optionValue(argc, argv, mode, "--seconds");
    // strtod rather than its shorthand atof: the Windows C runtime's atof reads "nan" as 0.
    return v ? static_cast<float>(std::strtod(v, nullptr)) : def;
}

int voiceSelfTest(int argc, char** argv, int mode) {
    const std::string in = argv[mode + 1];
    const char* voice = optionValue(argc, argv, mode, "--voice");
    const char* out = optionValue(argc, argv, mode, "--out");
    const char* dir = optionValue(argc, argv, mode, "--model-dir");
    return runVoiceSelfTest(in, voice ? voice : "tenor", out ? out : in + ".rvc.wav",
                            dir ? dir : defaultModelDir());
}

int runMode(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const int following = argc - 1 - i;
        if (arg == "--list") return runListDevices();
        if (arg == "--create-cable" || arg == "--remove-cable") return runCable(arg[2] == 'c');
        if (arg == "--test" && following >= 1) {
            const char* seconds = optionValue(argc, argv, i, "--seconds");
            return runLiveTest(argv[i + 1], seconds ? std::atoi(seconds) : 10);
        }
        if (arg == "--gen-test-wav" && following >= 1) {
            return runGenTestWav(argv[i + 1], secondsOption(argc, argv, i, 4.0f));
        }
        if (arg == "--selftest" && following >= 1) return voiceSelfTest(argc, argv, i);
        if (arg == "--selftestdsp" && following >= 3) {
            return runSelfTestDsp(argv[i + 1], argv[i + 2], argv[i + 3]);
        }
        if (arg == "--help") return printHelp();
    }
    platform::prepareProtocolConsole();
    const OnnxVoices neural;
    Engine engine(defaultModelDir(), &neural);
    return runProtocol(engine);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return runMode(argc, argv);
    } catch (const FatalError&) {
        return 3;  // the reason is logged already
    }
}
