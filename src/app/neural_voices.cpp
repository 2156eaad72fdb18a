#include "app/neural_voices.h"

#include <algorithm>
#include <cctype>

#include "platform/platform.h"
#include "rvc/onnx_rvc_model.h"

namespace {

constexpr char kSuffix[] = ".onnx";
constexpr size_t kSuffixLength = sizeof kSuffix - 1;

}  // namespace

// A name with a path separator is never a voice: the file checked and the file loaded must be
// the same one inside the directory.
bool OnnxVoices::isVoice(const std::string& dir, const std::string& name) const {
    return name.find_first_of("/\\") == std::string::npos &&
           platform::isFile(dir + "/" + name + kSuffix);
}

// Under the name set_voice takes: a suffix in another case counts where the file system ignores
// case, and the base networks are no voices.
std::vector<std::string> OnnxVoices::list(const std::string& dir) const {
    std::vector<std::string> names;
    for (const std::string& entry : platform::entries(dir)) {
        if (entry.size() <= kSuffixLength || entry == "hubert_v2.onnx" || entry == "rmvpe.onnx") {
            continue;
        }
        const bool suffix = std::equal(
            entry.end() - kSuffixLength, entry.end(), kSuffix,
            [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
        const std::string name = entry.substr(0, entry.size() - kSuffixLength);
        if (suffix && isVoice(dir, name)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::unique_ptr<VoiceModel> OnnxVoices::load(const std::string& dir, const std::string& name,
                                             int channels, float sampleRate,
                                             std::string& err) const {
    auto voice = std::make_unique<OnnxRvcModel>(dir);
    voice->init(channels, sampleRate);
    if (!voice->load(name, err)) return nullptr;
    return voice;
}
