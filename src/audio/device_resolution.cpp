// How user-supplied device names become endpoint ids, and which endpoint is the virtual cable.
#include <cctype>

#include "audio/kw_audio.h"

std::string lower(const std::string& s) {
    std::string out = s;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool kwIsCableName(const std::string& name) {
    const std::string l = lower(name);
    const auto has = [&l](const char* text) { return l.find(text) != std::string::npos; };
    return has("cable input") || (has("vb-audio") && has("cable"));
}

std::string kwResolveDevice(const std::string& name, bool isCapture) {
    if (name.empty() || name == "default") return {};
    const std::vector<KwDevice> devices = kwEnumerateDevices();
    for (const KwDevice& d : devices) {
        if (d.isCapture == isCapture && d.id == name) return d.id;
    }
    const std::string wanted = lower(name);
    for (const KwDevice& d : devices) {
        if (d.isCapture == isCapture && lower(d.name).find(wanted) != std::string::npos)
            return d.id;
    }
    // Opening it as an id then reports the endpoint as not found.
    return name;
}

bool kwFindCable(std::string& outId, std::string& outName) {
    try {
        for (const KwDevice& d : kwEnumerateDevices()) {
            if (!d.isCapture && kwIsCableName(d.name)) {
                outId = d.id;
                outName = d.name;
                return true;
            }
        }
    } catch (...) {
        // Without a device list there is no cable; the engine runs without one.
    }
    return false;
}
