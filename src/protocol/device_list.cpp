#include "protocol/device_list.h"

#include <exception>

#include "audio/kw_audio.h"
#include "protocol/dispatch.h"
#include "protocol/jm.h"

namespace {

void appendDevices(std::string& out, const std::vector<KwDevice>& devices, bool capture) {
    bool first = true;
    for (const KwDevice& d : devices) {
        if (d.isCapture != capture) continue;
        if (!first) out += ',';
        first = false;
        out += "{\"id\":\"" + jm::escape(d.id) + "\",\"name\":\"" + jm::escape(d.name) + "\"";
        if (d.isDefault) out += ",\"default\":true";
        out += '}';
    }
}

}  // namespace

std::string devicesJson() {
    try {
        const std::vector<KwDevice> devices = kwEnumerateDevices();
        std::string cableId, cableName;
        const bool cable = kwFindCable(cableId, cableName);
        std::string out = "{\"ok\":true,\"inputs\":[";
        appendDevices(out, devices, true);
        out += "],\"outputs\":[";
        appendDevices(out, devices, false);
        out += "],\"cable\":";
        out += cable ? "true" : "false";
        out += '}';
        return out;
    } catch (const std::exception& e) {
        return errorReply(e.what());
    }
}

std::string cableJson(bool create) {
    std::vector<std::string> ids;
    std::string existing, err;
    if (!(create ? kwCreateCable(ids, existing, err) : kwRemoveCable(ids, err))) {
        return errorReply(err);
    }
    std::string out = create ? "{\"ok\":true,\"created\":[" : "{\"ok\":true,\"removed\":[";
    for (size_t i = 0; i < ids.size(); ++i) out += (i ? ",\"" : "\"") + jm::escape(ids[i]) + "\"";
    out += ']';
    if (!existing.empty()) out += ",\"existing\":\"" + jm::escape(existing) + "\"";
    return out + '}';
}
