// The interface every voice (a DSP preset or a neural voice) offers the engine.
#pragma once

#include <string>

class VoiceModel {
  public:
    virtual ~VoiceModel() = default;

    // Makes `name` the active sound; on failure the previous sound stays.
    virtual bool load(const std::string& name, std::string& err) = 0;
    // In place on `frames` interleaved frames; runs on the capture thread.
    virtual void process(float* buf, int frames) = 0;
    virtual void init(int channels, float sampleRate) = 0;
    // Algorithmic delay in frames at the device rate; safe beside process().
    virtual int latencySamples() const = 0;
    virtual std::string kind() const = 0;
    virtual std::string current() const = 0;
};
