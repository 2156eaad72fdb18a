// The endpoint list from Core Audio: active capture endpoints, then active render endpoints, with
// their friendly names.
#include <propsys.h>

#include <stdexcept>

#include "audio/kw_audio.h"
#include "audio/wasapi/wasapi_endpoints.h"
#include "platform/platform.h"

namespace {

const CLSID kClsidMMDeviceEnumerator = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
const IID kIidIMMDeviceEnumerator = {
    0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
const PROPERTYKEY kPKeyFriendlyName = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};

EDataFlow flowOf(bool isCapture) {
    return isCapture ? eCapture : eRender;
}

// Empty when the platform has none.
std::string endpointId(IMMDevice* device) {
    LPWSTR id = nullptr;
    if (FAILED(device->GetId(&id))) return {};
    std::string utf8 = platform::w2u(id);
    CoTaskMemFree(id);
    return utf8;
}

std::string friendlyName(IMMDevice* device) {
    ComPtr<IPropertyStore> store;
    if (FAILED(device->OpenPropertyStore(STGM_READ, &store))) return {};
    PROPVARIANT value;
    PropVariantInit(&value);
    std::string name;
    if (SUCCEEDED(store->GetValue(kPKeyFriendlyName, &value)) && value.vt == VT_LPWSTR) {
        name = platform::w2u(value.pwszVal);
    }
    PropVariantClear(&value);
    return name;
}

}  // namespace

ComPtr<IMMDeviceEnumerator> makeEnumerator() {
    ComPtr<IMMDeviceEnumerator> enumerator;
    if (FAILED(CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                kIidIMMDeviceEnumerator, &enumerator))) {
        throw std::runtime_error("CoCreateInstance(MMDeviceEnumerator) fehlgeschlagen");
    }
    return enumerator;
}

ComPtr<IMMDevice> openEndpoint(IMMDeviceEnumerator* enumerator, const std::string& id,
                               bool isCapture) {
    ComPtr<IMMDevice> device;
    if (id.empty()) {
        if (FAILED(enumerator->GetDefaultAudioEndpoint(flowOf(isCapture), eConsole, &device))) {
            return nullptr;
        }
        return device;
    }
    // GetDevice finds endpoints of either direction and in any state; the list has only the
    // active ones, each in its own direction.
    ComPtr<IMMEndpoint> endpoint;
    EDataFlow flow;
    DWORD state;
    if (FAILED(enumerator->GetDevice(platform::u2w(id).c_str(), &device)) ||
        FAILED(device.As(&endpoint)) || FAILED(endpoint->GetDataFlow(&flow)) ||
        flow != flowOf(isCapture) || FAILED(device->GetState(&state)) ||
        state != DEVICE_STATE_ACTIVE) {
        return nullptr;
    }
    return device;
}

namespace {

bool cableIsADriver(std::string& err) {
    err =
        "Unter Windows ist das virtuelle Kabel ein Treiber (VB-CABLE): installieren oder "
        "entfernen wie jeden Treiber";
    return false;
}

}  // namespace

bool kwCreateCable(std::vector<std::string>&, std::string&, std::string& err) {
    return cableIsADriver(err);
}

bool kwRemoveCable(std::vector<std::string>&, std::string& err) {
    return cableIsADriver(err);
}

std::vector<KwDevice> kwEnumerateDevices() {
    const ComScope com;
    if (!com.ok()) throw std::runtime_error("CoInitializeEx fehlgeschlagen");
    const ComPtr<IMMDeviceEnumerator> enumerator = makeEnumerator();
    std::vector<KwDevice> devices;
    for (const bool isCapture : {true, false}) {
        ComPtr<IMMDeviceCollection> collection;
        if (FAILED(enumerator->EnumAudioEndpoints(flowOf(isCapture), DEVICE_STATE_ACTIVE,
                                                  &collection))) {
            continue;
        }
        std::string defaultId;
        ComPtr<IMMDevice> defaultDevice;
        if (SUCCEEDED(
                enumerator->GetDefaultAudioEndpoint(flowOf(isCapture), eConsole, &defaultDevice))) {
            defaultId = endpointId(defaultDevice.Get());
        }
        UINT count = 0;
        if (FAILED(collection->GetCount(&count))) continue;
        for (UINT i = 0; i < count; ++i) {
            ComPtr<IMMDevice> device;
            if (FAILED(collection->Item(i, &device))) continue;
            std::string id = endpointId(device.Get());
            if (id.empty()) continue;
            const bool isDefault = !defaultId.empty() && id == defaultId;
            devices.push_back({std::move(id), friendlyName(device.Get()), isCapture, isDefault});
        }
    }
    return devices;
}
