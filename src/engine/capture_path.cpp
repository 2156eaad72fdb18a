// The per-block path on the capture thread, and the soundboard it mixes.
#include <chrono>
#include <cmath>

#include "engine/engine.h"

void Engine::onCapture(const float* in, int frames) {
    if (!running) return;
    if (frames < 1 || frames > kMaxBlockFrames) return;
    const size_t n = static_cast<size_t>(channels) * frames;
    // The largest block of the last second tells the render side how much slack it needs.
    blockWindow_.largest = std::max(blockWindow_.largest, n);
    blockWindow_.frames += frames;
    if (blockWindow_.frames >= sampleRate) {
        largestCaptureBlock_.store(blockWindow_.largest, std::memory_order_relaxed);
        blockWindow_ = {};
    }
    float* buf = buf_.data();
    std::copy_n(in, n, buf);
    if (muted) std::fill_n(buf, n, 0.0f);

    float peak = 0.0f;
    for (size_t i = 0; i < n; ++i) peak = std::max(peak, std::fabs(buf[i]));
    level.exchange(std::max(level.load() * 0.92f, peak));

    const auto t0 = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(modelMutex);
        model->process(buf, frames);
        if (model->kind() != "dsp") postChain.process(buf, frames);
    }
    const auto t1 = std::chrono::steady_clock::now();
    const double dt = std::chrono::duration<double, std::micro>(t1 - t0).count();
    procUsPerBlock.exchange(procUsPerBlock.load() * 0.9 + dt * 0.1);

    const float gain = outputGain;
    if (gain != 1.0f) {
        for (size_t i = 0; i < n; ++i) buf[i] *= gain;
    }

    float* sb = sbBlock_.data();
    size_t m = 0;
    {
        std::lock_guard lock(sbMutex);
        const size_t rem = sbClip.size() - sbPos;
        if (rem > 0) {
            m = std::min(rem, n);
            const float vol = sbVol;
            for (size_t i = 0; i < m; ++i) sb[i] = sbClip[sbPos + i] * vol;
            sbPos += m;
            // clear() keeps the storage: freeing is left to the command thread.
            if (sbPos >= sbClip.size()) {
                sbClip.clear();
                sbPos = 0;
            }
        }
    }
    for (size_t i = 0; i < m; ++i) buf[i] = std::clamp(buf[i] + sb[i], -1.0f, 1.0f);

    if (cableRing) cableRing->write(buf, n);
    if (monitorRing) {
        if (monitorGain > 0.0f) {
            monitorRing->write(buf, n);
        } else {
            monitorRing->write(sb, m);
            monitorRing->write(silence_.data(), n - m);
        }
    }
}

void Engine::sbPlay(std::vector<float> clip) {
    std::vector<float> old;
    {
        std::lock_guard lock(sbMutex);
        old.swap(sbClip);
        sbClip = std::move(clip);
        sbPos = 0;
    }
}

void Engine::sbStop() {
    std::vector<float> old;
    {
        std::lock_guard lock(sbMutex);
        old.swap(sbClip);
        sbPos = 0;
    }
}

bool Engine::sbPlaying() const {
    std::lock_guard lock(sbMutex);
    return sbPos < sbClip.size();
}
