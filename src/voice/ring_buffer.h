// Lock-free single-producer single-consumer queue of float samples: between the capture
// thread and a render thread, and between a neural voice's capture side and its worker.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <vector>

class RingBuffer {
  public:
    // The engine's rings: about 5.5 s of stereo audio at 48 kHz.
    static constexpr size_t kCapacity = 524289;

    // One slot always stays empty: at most capacity - 1 samples are held.
    explicit RingBuffer(size_t capacity = kCapacity) : capacity_(capacity), data_(capacity, 0.0f) {}

    size_t fill() const {
        const size_t w = writePos_.load(std::memory_order_acquire);
        const size_t r = readPos_.load(std::memory_order_acquire);
        return (w + capacity_ - r) % capacity_;
    }

    // Producer: stores what fits, drops the rest; returns the count stored.
    size_t write(const float* src, size_t n) {
        const size_t w = writePos_.load(std::memory_order_relaxed);
        const size_t r = readPos_.load(std::memory_order_acquire);
        const size_t k = std::min(n, (r + capacity_ - 1 - w) % capacity_);
        const size_t first = std::min(k, capacity_ - w);
        std::copy_n(src, first, data_.begin() + w);
        std::copy_n(src + first, k - first, data_.begin());
        writePos_.store((w + k) % capacity_, std::memory_order_release);
        return k;
    }

    // Consumer: takes up to n samples into dst (or drops them when dst is null); returns the count.
    size_t read(float* dst, size_t n) {
        const size_t r = readPos_.load(std::memory_order_relaxed);
        const size_t w = writePos_.load(std::memory_order_acquire);
        const size_t k = std::min(n, (w + capacity_ - r) % capacity_);
        if (dst) {
            const size_t first = std::min(k, capacity_ - r);
            std::copy_n(data_.begin() + r, first, dst);
            std::copy_n(data_.begin(), k - first, dst + first);
        }
        readPos_.store((r + k) % capacity_, std::memory_order_release);
        return k;
    }

    // Consumer: drops the oldest samples beyond `keep`; returns how many were dropped.
    size_t trimTo(size_t keep) {
        const size_t f = fill();
        return f > keep ? read(nullptr, f - keep) : 0;
    }

    // Consumer and producer both idle: forget everything held.
    void clear() {
        readPos_.store(0, std::memory_order_relaxed);
        writePos_.store(0, std::memory_order_relaxed);
    }

  private:
    size_t capacity_;
    std::vector<float> data_;
    std::atomic<size_t> readPos_{0};
    std::atomic<size_t> writePos_{0};
};
