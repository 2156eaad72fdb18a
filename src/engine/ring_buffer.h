// Lock-free single-producer single-consumer queue of float samples between the
// capture thread and one render thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <vector>

class RingBuffer {
  public:
    // One slot always stays empty: at most kCapacity - 1 samples are held.
    static constexpr size_t kCapacity = 524289;

    RingBuffer() : data_(kCapacity, 0.0f) {}

    size_t fill() const {
        const size_t w = writePos_.load(std::memory_order_acquire);
        const size_t r = readPos_.load(std::memory_order_acquire);
        return (w + kCapacity - r) % kCapacity;
    }

    // Producer: stores what fits, drops the rest; returns the count stored.
    size_t write(const float* src, size_t n) {
        const size_t w = writePos_.load(std::memory_order_relaxed);
        const size_t r = readPos_.load(std::memory_order_acquire);
        const size_t k = std::min(n, (r + kCapacity - 1 - w) % kCapacity);
        const size_t first = std::min(k, kCapacity - w);
        std::copy_n(src, first, data_.begin() + w);
        std::copy_n(src + first, k - first, data_.begin());
        writePos_.store((w + k) % kCapacity, std::memory_order_release);
        return k;
    }

    // Consumer: takes up to n samples into dst (or drops them when dst is null); returns the count.
    size_t read(float* dst, size_t n) {
        const size_t r = readPos_.load(std::memory_order_relaxed);
        const size_t w = writePos_.load(std::memory_order_acquire);
        const size_t k = std::min(n, (w + kCapacity - r) % kCapacity);
        if (dst) {
            const size_t first = std::min(k, kCapacity - r);
            std::copy_n(data_.begin() + r, first, dst);
            std::copy_n(data_.begin(), k - first, dst + first);
        }
        readPos_.store((r + k) % kCapacity, std::memory_order_release);
        return k;
    }

    // Consumer: drops the oldest samples beyond `keep`; returns how many were dropped.
    size_t trimTo(size_t keep) {
        const size_t f = fill();
        return f > keep ? read(nullptr, f - keep) : 0;
    }

  private:
    std::vector<float> data_;
    std::atomic<size_t> readPos_{0};
    std::atomic<size_t> writePos_{0};
};
