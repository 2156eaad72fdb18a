// The audio device layer: the endpoint list, name resolution, cable detection and the capture and
// render streams. Platform-neutral; each platform implements it in source files of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One active audio endpoint.
struct KwDevice {
    std::string id;    // the platform's endpoint id; never empty in a list
    std::string name;  // friendly name; empty when the platform has none
    bool isCapture = false;
    bool isDefault = false;
};

// Capture endpoints first, then render endpoints, each in the platform's order. Throws
// std::runtime_error with a German message when the platform's audio service cannot be reached.
std::vector<KwDevice> kwEnumerateDevices();

// The endpoint id to open for a user-supplied name; empty means the default device. Lets the
// enumeration's exception pass.
std::string kwResolveDevice(const std::string& name, bool isCapture);

// The first render endpoint that is the virtual cable; false (outs untouched) when there is none or
// the devices cannot be listed.
bool kwFindCable(std::string& outId, std::string& outName);

// True when a render endpoint with this friendly name is the virtual cable.
bool kwIsCableName(const std::string& name);

// The virtual cable on the running sound server in one step: a playback device the engine takes
// as the cable, and a recording device of what it plays for programs that list only
// microphones. kwCreateCable makes both unless a cable exists, which `existing` then names;
// kwRemoveCable removes only what kwCreateCable made. Both list the endpoint ids they made or
// removed; false with a German reason when that cannot be done (on Windows the cable is a
// driver).
bool kwCreateCable(std::vector<std::string>& created, std::string& existing, std::string& err);
bool kwRemoveCable(std::vector<std::string>& removed, std::string& err);

// Seconds on the monotonic clock the streams' callbacks run by; any thread.
double kwNow();

// Every byte through the C library's tolower: ASCII letters change, UTF-8 sequences stay.
std::string lower(const std::string& s);

// An open stream's format: the device's own rate and channel count, and the buffering the server
// granted.
struct KwStreamFormat {
    int sampleRate = 48000;
    int channels = 2;
    double periodMs = 10.0;
    int maxFrames = 1920;  // the most frames one callback delivers or asks for
};

// A shared-mode capture stream: every packet of interleaved float32 frames at the device's own
// rate and channel count reaches the callback, on the stream's own thread.
class KwCapture {
  public:
    using Callback = std::function<void(const float* samples, int frames)>;

    KwCapture();
    ~KwCapture();
    KwCapture(const KwCapture&) = delete;
    KwCapture& operator=(const KwCapture&) = delete;

    // Opens endpoint id (empty: the default capture device) and starts the stream's thread; an
    // open stream is closed first. On failure err holds the German reason and nothing stays open.
    bool open(const std::string& id, Callback callback, std::string& err);
    // Stops the thread and releases everything; nothing happens when not open.
    void close();

    bool isOpen() const { return impl_ != nullptr; }
    // The open stream ended by itself: its device or the sound server went away. Close it and
    // open it again to resume. Any thread.
    bool failed() const;
    // As the last open found it.
    const KwStreamFormat& format() const { return format_; }

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    KwStreamFormat format_;  // written by open before the first callback
};

// A shared-mode render stream: the callback fills every stretch the device asks for and returns
// the frames that carried real data; fewer than asked counts an underrun.
class KwRender {
  public:
    // Must write all frames x channels floats.
    using Callback = std::function<int(float* buffer, int frames)>;

    KwRender();
    ~KwRender();
    KwRender(const KwRender&) = delete;
    KwRender& operator=(const KwRender&) = delete;

    // As KwCapture::open, for a render endpoint (empty id: the default render device).
    bool open(const std::string& id, Callback callback, std::string& err);
    void close();

    bool isOpen() const { return impl_ != nullptr; }
    bool failed() const;  // as KwCapture::failed
    const KwStreamFormat& format() const { return format_; }
    // Times the output ran short since the last open: callbacks that delivered fewer frames
    // than asked, and underflows.
    uint32_t underruns() const { return underruns_.load(std::memory_order_relaxed); }
    // Times the device ran dry although every callback delivered: the data came too late.
    uint32_t underflows() const { return underflows_.load(std::memory_order_relaxed); }

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    KwStreamFormat format_;
    std::atomic<uint32_t> underruns_{0};  // written by the stream's thread
    std::atomic<uint32_t> underflows_{
        0};  // written by the stream's thread  // written by the stream's thread
};
