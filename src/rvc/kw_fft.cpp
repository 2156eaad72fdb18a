#include "rvc/kw_fft.h"

#include <math.h>

#include <utility>

namespace {

constexpr float kTwoPi = 6.28318530717958647692f;

}  // namespace

void kwFft(float* data, int n, int sign) {
    int bits = 0;
    while ((1 << bits) < n) ++bits;

    for (int i = 1; i < n - 1; ++i) {
        int j = 0;
        for (int b = 0; b < bits; ++b) j |= ((i >> b) & 1) << (bits - 1 - b);
        if (j > i) {
            std::swap(data[2 * i], data[2 * j]);
            std::swap(data[2 * i + 1], data[2 * j + 1]);
        }
    }

    for (int span = 2; span <= n; span *= 2) {
        const int half = span / 2;
        float sn, cs;
        sincosf(kTwoPi / static_cast<float>(span), &sn, &cs);
        const float stepRe = cs, stepIm = static_cast<float>(sign) * sn;
        // One twiddle per butterfly position, advanced by recurrence rather than recomputed.
        float twRe = 1.0f, twIm = 0.0f;
        for (int k = 0; k < half; ++k) {
            for (int a = k; a < n; a += span) {
                float* pa = data + 2 * a;
                float* pb = data + 2 * (a + half);
                const float tRe = twRe * pb[0] - twIm * pb[1];
                const float tIm = twRe * pb[1] + twIm * pb[0];
                pb[0] = pa[0] - tRe;
                pb[1] = pa[1] - tIm;
                pa[0] += tRe;
                pa[1] += tIm;
            }
            const float nextRe = twRe * stepRe - twIm * stepIm;
            twIm = twRe * stepIm + twIm * stepRe;
            twRe = nextRe;
        }
    }
}
