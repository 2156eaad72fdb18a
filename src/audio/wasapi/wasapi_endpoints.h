// What the WASAPI device list and streams share: COM on the calling thread, the device
// enumerator and the way an endpoint id becomes an endpoint.
#pragma once

#include <mmdeviceapi.h>
#include <windows.h>
#include <wrl/client.h>

#include <string>

template <class T>
using ComPtr = Microsoft::WRL::ComPtr<T>;

// COM in the multithreaded apartment on the calling thread while the object lives; a thread
// that already uses another apartment model fails.
class ComScope {
  public:
    ComScope() : ok_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
    ~ComScope() {
        if (ok_) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

    bool ok() const { return ok_; }

  private:
    const bool ok_;
};

// The platform's device enumerator; throws std::runtime_error
// "CoCreateInstance(MMDeviceEnumerator) fehlgeschlagen".
ComPtr<IMMDeviceEnumerator> makeEnumerator();

// The active endpoint of the direction with this id (UTF-8), or for an empty id the default
// console endpoint of the direction; null when there is none.
ComPtr<IMMDevice> openEndpoint(IMMDeviceEnumerator* enumerator, const std::string& id,
                               bool isCapture);
