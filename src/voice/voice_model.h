// The interface every voice (a preset chain or a neural voice) offers the engine.
#pragma once

#include <string>

class VoiceModel {
  public:
    virtual ~VoiceModel() = default;

    // Command thread, before the voice sounds or while no stream runs.
    virtual bool load(const std::string& name, std::string& err) = 0;
    virtual void init(int channels, float sampleRate) = 0;
    // Capture thread: in place on `frames` interleaved frames. Never allocates, waits or logs.
    virtual void process(float* buf, int frames) = 0;
    // Algorithmic delay in frames at the device rate; safe beside process().
    virtual int latencySamples() const = 0;
    virtual std::string kind() const = 0;
    virtual std::string current() const = 0;
    // Command thread, also while the voice sounds: a parameter the voice takes itself. False with
    // err empty when the name is not one of its own; false with err set when it is refused.
    virtual bool setParam(const std::string& name, double value, std::string& err) = 0;
    // Whether the engine runs its own effect chain after this voice, for the parameters the voice
    // does not take itself.
    virtual bool wantsEffectsAfter() const = 0;
};
