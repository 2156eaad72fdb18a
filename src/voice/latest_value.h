// Hands the latest of a series of values from one thread to another without a lock: the writer
// never waits, the reader takes the newest value written since it last looked, or nothing.
#pragma once

#include <atomic>

template <class T>
class LatestValue {
  public:
    // Writer thread.
    void write(const T& value) {
        slots_[back_] = value;
        // The written slot becomes the middle one; the old middle one is the next to write.
        back_ = middle_.exchange(back_ | kFresh, std::memory_order_acq_rel) & kIndex;
    }

    // Reader thread: true and the newest value when one was written since the last read.
    bool read(T& value) {
        if (!(middle_.load(std::memory_order_relaxed) & kFresh)) return false;
        front_ = middle_.exchange(front_, std::memory_order_acq_rel) & kIndex;
        value = slots_[front_];
        return true;
    }

  private:
    static constexpr int kFresh = 4;
    static constexpr int kIndex = 3;

    T slots_[3] = {};
    int back_ = 0;                // writer only
    std::atomic<int> middle_{1};  // both; kFresh marks a value the reader has not taken
    int front_ = 2;               // reader only
};
