// Elementary functions for the per-sample stages, inline and free of library calls: the library's
// tanhf and sinf cost more than the rest of a stage. Both stay within 5e-7 of the exact value.
#pragma once

#include <algorithm>
#include <cmath>

// tanh as a rational function of degree 13/6 over x clamped to +-7.9, where float tanh reaches 1.
inline float tanhApprox(float x) {
    constexpr float kClamp = 7.90531110763549805f;
    const float xc = std::min(std::max(x, -kClamp), kClamp);  // NaN stays NaN
    if (std::fabs(xc) < 0.0004f) return xc;
    // Estrin's scheme: the powers of z in parallel, so that a sample's latency stays short.
    const float z = xc * xc, z2 = z * z, z4 = z2 * z2;
    const float p =
        (4.89352455891786e-03f + 6.37261928875436e-04f * z) +
        z2 * (1.48572235717979e-05f + 5.12229709037114e-08f * z) +
        z4 * ((-8.60467152213735e-11f + 2.00018790482477e-13f * z) + z2 * -2.76076847742355e-16f);
    const float q = (4.89352518554385e-03f + 2.26843463243900e-03f * z) +
                    z2 * (1.18534705686654e-04f + 1.19825839466702e-06f * z);
    return xc * p / q;
}

// sin(2 pi t) for 0 <= t < 2^20: the nearest quarter turn is taken off, and a polynomial on
// +-pi/4 gives the sine or cosine of the rest.
inline float sinOfTurns(float t) {
    constexpr float kRound = 0x1.8p23f;  // adding and subtracting it rounds to an integer
    const float quarters = (4.0f * t + kRound) - kRound;
    const float r = (t - 0.25f * quarters) * 6.2831855f;
    const float z = r * r;
    const float s = ((-1.9515295891e-4f * z + 8.3321608736e-3f) * z - 1.6666654611e-1f) * z * r + r;
    const float c =
        ((2.443315711809948e-5f * z - 1.388731625493765e-3f) * z + 4.166664568298827e-2f) * z * z -
        0.5f * z + 1.0f;
    const int quadrant = static_cast<int>(quarters) & 3;
    const float v = (quadrant & 1) ? c : s;
    return quadrant >= 2 ? -v : v;
}
