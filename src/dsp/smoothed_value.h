// A gain or mix that glides linearly to a new target instead of jumping to it, so that a change
// does not click.
#pragma once

class SmoothedValue {
  public:
    // Jumps: no glide, as for the first value of a stream.
    void reset(float value) {
        current_ = target_ = value;
        left_ = 0;
    }

    void setTarget(float target, int steps) {
        if (target == target_) return;
        target_ = target;
        left_ = steps > 0 ? steps : 1;
        step_ = (target_ - current_) / static_cast<float>(left_);
    }

    float next() {
        if (left_ > 0 && --left_ > 0) {
            current_ += step_;
        } else {
            current_ = target_;
        }
        return current_;
    }

    float current() const { return current_; }
    float target() const { return target_; }
    bool gliding() const { return left_ > 0; }

  private:
    float current_ = 0.0f;
    float target_ = 0.0f;
    float step_ = 0.0f;
    int left_ = 0;
};
