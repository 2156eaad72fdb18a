// Built once per instruction set: KW_VOCODER_FORM names the namespace of this build's hop.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "dsp/phase_vocoder.h"

namespace KW_VOCODER_FORM {

namespace {

constexpr float kPi = 3.1415927f;
constexpr float kTwoPi = 6.2831855f;
constexpr float kInvTwoPi = 0.15915494f;
constexpr float kRoundF = 0x1.8p23f;          // adding and subtracting it rounds to an integer
constexpr float kPhaseFoldLimit = 262144.0f;  // 2^18 rad: a float step there is 1/32 rad

// Branch-free select. A plain ?: with arithmetic in an arm lets the optimiser move that
// arithmetic into a branch, which under trapping math keeps the bin loops from vectorising.
inline float blend(bool c, float a, float b) {
    const uint32_t m = 0u - static_cast<uint32_t>(c);
    return std::bit_cast<float>((std::bit_cast<uint32_t>(a) & m) |
                                (std::bit_cast<uint32_t>(b) & ~m));
}

// atan2 to about 2e-7 rad without a library call, so the bin loop vectorises.
// (0, 0) gives 0, as the straight transform of a silent frame yields only +0 parts.
inline float fastAtan2(float y, float x) {
    const float ax = std::fabs(x), ay = std::fabs(y);
    const bool swap = ay > ax;
    const float hi = swap ? ay : ax;
    const float lo = swap ? ax : ay;
    // Above tan(pi/8) rotate by pi/4 so the polynomial only sees |t| <= tan(pi/8).
    const bool rotate = lo > 0.41421356f * hi;
    const float t =
        (lo - blend(rotate, hi, 0.0f)) / (blend(rotate, lo, 0.0f) + blend(hi > 0.0f, hi, 1.0f));
    const float z = t * t;
    const float p = (((8.05374449538e-2f * z - 1.38776856032e-1f) * z + 1.99777106478e-1f) * z -
                     3.33329491539e-1f) *
                        z * t +
                    t;
    const float a1 = blend(rotate, 0.25f * kPi, 0.0f) + p;
    const float a2 = blend(swap, 0.5f * kPi, 0.0f) + (swap ? -a1 : a1);
    const float a3 = blend(x < 0.0f, kPi, 0.0f) + (x < 0.0f ? -a2 : a2);
    return y < 0.0f ? -a3 : a3;
}

// sin and cos of a phase sum of up to 2^18 rad: exact reduction in double, then
// single-precision polynomials on [-pi/4, pi/4].
inline void fastSinCos(float phase, float& sinOut, float& cosOut) {
    constexpr double kTwoOverPi = 0.63661977236758134;
    constexpr double kHalfPi = 1.5707963267948966;
    constexpr double kRound = 0x1.8p52;  // adding and subtracting it rounds to an integer
    const double x = phase;
    const double q = (x * kTwoOverPi + kRound) - kRound;
    const float r = static_cast<float>(x - q * kHalfPi);
    // Quadrant as q - 4 * round(q / 4), one of -2 .. 2.
    const float m = static_cast<float>(q - 4.0 * ((q * 0.25 + kRound) - kRound));
    const float z = r * r;
    const float s = ((-1.9515295891e-4f * z + 8.3321608736e-3f) * z - 1.6666654611e-1f) * z * r + r;
    const float c =
        ((2.443315711809948e-5f * z - 1.388731625493765e-3f) * z + 4.166664568298827e-2f) * z * z -
        0.5f * z + 1.0f;
    const bool odd = m == 1.0f || m == -1.0f;
    const float sv = odd ? c : s;
    const float cv = odd ? s : c;
    sinOut = (m < -0.5f || m > 1.5f) ? -sv : sv;
    cosOut = (m > 0.5f || m < -1.5f) ? -cv : cv;
}

// Two radix-2 stages (half spans h and 2h) over one block of 4h points.
inline void twoStages(float* __restrict r0, float* __restrict r1, float* __restrict r2,
                      float* __restrict r3, float* __restrict i0, float* __restrict i1,
                      float* __restrict i2, float* __restrict i3, const float* __restrict tr,
                      const float* __restrict ti, int h) {
    const float* w1r = tr + h;
    const float* w1i = ti + h;
    const float* w2r = tr + 2 * h;
    const float* w2i = ti + 2 * h;
    const float* w3r = tr + 3 * h;
    const float* w3i = ti + 3 * h;
    for (int j = 0; j < h; ++j) {
        const float t1r = r1[j] * w1r[j] - i1[j] * w1i[j];
        const float t1i = r1[j] * w1i[j] + i1[j] * w1r[j];
        const float t3r = r3[j] * w1r[j] - i3[j] * w1i[j];
        const float t3i = r3[j] * w1i[j] + i3[j] * w1r[j];
        const float a0r = r0[j] + t1r, a0i = i0[j] + t1i;
        const float a1r = r0[j] - t1r, a1i = i0[j] - t1i;
        const float a2r = r2[j] + t3r, a2i = i2[j] + t3i;
        const float a3r = r2[j] - t3r, a3i = i2[j] - t3i;
        const float u2r = a2r * w2r[j] - a2i * w2i[j];
        const float u2i = a2r * w2i[j] + a2i * w2r[j];
        const float u3r = a3r * w3r[j] - a3i * w3i[j];
        const float u3i = a3r * w3i[j] + a3i * w3r[j];
        r0[j] = a0r + u2r;
        i0[j] = a0i + u2i;
        r2[j] = a0r - u2r;
        i2[j] = a0i - u2i;
        r1[j] = a1r + u3r;
        i1[j] = a1i + u3i;
        r3[j] = a1r - u3r;
        i3[j] = a1i - u3i;
    }
}

inline void oneStage(float* __restrict r0, float* __restrict r1, float* __restrict i0,
                     float* __restrict i1, const float* __restrict tr, const float* __restrict ti,
                     int h) {
    for (int j = 0; j < h; ++j) {
        const float tr1 = r1[j] * tr[h + j] - i1[j] * ti[h + j];
        const float ti1 = r1[j] * ti[h + j] + i1[j] * tr[h + j];
        r1[j] = r0[j] - tr1;
        i1[j] = i0[j] - ti1;
        r0[j] += tr1;
        i0[j] += ti1;
    }
}

// Bins 0 .. half of a real 2*half-point frame, doubled, from the half-size transform z of its
// even (real part) and odd (imaginary part) samples; w = e^(-i pi k / half).
void unpackRealSpectrum(const float* __restrict zr, const float* __restrict zi,
                        const float* __restrict wr, const float* __restrict wi,
                        float* __restrict xr, float* __restrict xi, int half) {
    xr[0] = 2.0f * (zr[0] + zi[0]);
    xi[0] = 0.0f;
    xr[half] = 2.0f * (zr[0] - zi[0]);
    xi[half] = 0.0f;
    for (int k = 1; k < half; ++k) {
        const float sr = zr[k] + zr[half - k], si = zi[k] - zi[half - k];
        const float dr = zr[k] - zr[half - k], di = zi[k] + zi[half - k];
        xr[k] = sr + wr[k] * di + wi[k] * dr;
        xi[k] = si - wr[k] * dr + wi[k] * di;
    }
}

// Forward radix-2 decimation in time over the half-size frame, two stages per pass, into re/im.
// The transform takes its input in bit-reversed order: load(p, r, i) gives the point at position
// p, and the first pass reads the points through it, so that no pass of its own reorders them.
template <class Load>
void transformHalf(const PhaseVocoderFrame& f, Load load, float* re, float* im) {
    const int points = f.size / 2;
    int h = 1;
    if (points >= 4) {
        // Spans 1 and 2 have the twiddles 1 and -i.
        for (int b = 0; b < points; b += 4) {
            float x0r, x0i, x1r, x1i, x2r, x2i, x3r, x3i;
            load(b, x0r, x0i);
            load(b + 1, x1r, x1i);
            load(b + 2, x2r, x2i);
            load(b + 3, x3r, x3i);
            const float a0r = x0r + x1r, a0i = x0i + x1i;
            const float a1r = x0r - x1r, a1i = x0i - x1i;
            const float a2r = x2r + x3r, a2i = x2i + x3i;
            const float a3r = x2r - x3r, a3i = x2i - x3i;
            re[b] = a0r + a2r;
            im[b] = a0i + a2i;
            re[b + 2] = a0r - a2r;
            im[b + 2] = a0i - a2i;
            re[b + 1] = a1r + a3i;
            im[b + 1] = a1i - a3r;
            re[b + 3] = a1r - a3i;
            im[b + 3] = a1i + a3r;
        }
        h = 4;
    } else {
        for (int p = 0; p < points; ++p) load(p, re[p], im[p]);
    }
    const float* tr = f.twiddleRe;
    const float* ti = f.twiddleIm;
    for (; 4 * h <= points; h *= 4) {
        for (int b = 0; b < points; b += 4 * h)
            twoStages(re + b, re + b + h, re + b + 2 * h, re + b + 3 * h, im + b, im + b + h,
                      im + b + 2 * h, im + b + 3 * h, tr, ti, h);
    }
    if (2 * h <= points) {
        for (int b = 0; b < points; b += 2 * h)
            oneStage(re + b, re + b + h, im + b, im + b + h, tr, ti, h);
    }
}

// Windowed frame -> true frequency and magnitude of bins 0 .. N/2. The real frame goes through a
// half-size complex transform (even samples real, odd imaginary) and is unpacked, doubled.
void analyse(const PhaseVocoderFrame& f) {
    const int half = f.size / 2;
    float* re = f.workRe;
    float* im = f.workIm;
    const float* fifo = f.inFifo;
    const float* win = f.window;
    const int* reversed = f.bitReverse;
    transformHalf(
        f,
        [=](int p, float& xr, float& xi) {
            const int r = reversed[p] >> 1;
            xr = fifo[2 * r] * win[p];
            xi = fifo[2 * r + 1] * win[half + p];
        },
        re, im);

    unpackRealSpectrum(re, im, f.twiddleRe + half, f.twiddleIm + half, f.specRe, f.specIm, half);
    const float* xr = f.specRe;
    const float* xi = f.specIm;

    const float binWidth = f.sampleRate / static_cast<float>(f.size);
    const float expected =
        kTwoPi * static_cast<float>(f.size / f.oversampling) / static_cast<float>(f.size);
    const float osamp = static_cast<float>(f.oversampling);
    float* __restrict last = f.lastPhase;
    float* __restrict freq = f.anaFreq;
    float* __restrict magn = f.anaMagn;
    for (int k = 0; k <= half; ++k) {
        const float fk = static_cast<float>(k);
        magn[k] = std::sqrt(xr[k] * xr[k] + xi[k] * xi[k]);
        const float phase = fastAtan2(xi[k], xr[k]);
        float d = phase - last[k];
        last[k] = phase;
        d -= fk * expected;
        // Wrap into +-pi. d is small here: the input limit keeps every spectrum value finite.
        int q = static_cast<int>(d / kPi);
        q = q >= 0 ? q + (q & 1) : q - (q & 1);
        d -= kPi * static_cast<float>(q);
        freq[k] = fk * binWidth + (osamp * d / kTwoPi) * binWidth;
    }
}

// Returns how many bins from 0 up received anything: the bins above stay silent. Source bins
// arrive in order of their target, so each target is summed in a register and stored once.
int shiftBins(const PhaseVocoderFrame& f, float ratio) {
    const int half = f.size / 2;
    std::fill(f.synMagn, f.synMagn + half + 1, 0.0f);
    std::fill(f.synFreq, f.synFreq + half + 1, 0.0f);
    int target = 0;
    float magn = 0.0f, freq = 0.0f;
    for (int k = 0; k <= half; ++k) {
        const int j = static_cast<int>(static_cast<float>(k) * ratio);
        if (j > half) break;  // k * ratio never decreases, so no later bin lands inside
        if (j != target) {
            f.synMagn[target] = magn;
            f.synFreq[target] = freq;
            target = j;
            magn = 0.0f;
        }
        magn += f.anaMagn[k];
        freq = f.anaFreq[k] * ratio;
    }
    f.synMagn[target] = magn;
    f.synFreq[target] = freq;
    return target + 1;
}

// Shifted bins -> accumulated phases -> real frame (twice its value) in workRe/workIm as
// even/odd samples, via the half-size inverse transform of the Hermitian-packed spectrum.
void synthesise(const PhaseVocoderFrame& f, int sounding) {
    const int half = f.size / 2;
    const float binWidth = f.sampleRate / static_cast<float>(f.size);
    const float expected =
        kTwoPi * static_cast<float>(f.size / f.oversampling) / static_cast<float>(f.size);
    // The oversampling is a power of two in practice: multiplying by its inverse is exact.
    const float perHop = 1.0f / static_cast<float>(f.oversampling);
    float* __restrict xr = f.specRe;
    float* __restrict xi = f.specIm;
    float* __restrict sum = f.phaseSum;
    const float* __restrict freq = f.synFreq;
    const float* __restrict magn = f.synMagn;
    for (int k = 0; k <= half; ++k) {
        const float fk = static_cast<float>(k);
        float d = (freq[k] - fk * binWidth) / binWidth;
        d = kTwoPi * d * perHop;
        d += fk * expected;
        // A float sum that grows without bound loses its fraction: a long session would drift
        // off pitch and then into noise. Large sums fold back by whole turns; below the limit
        // the sum accumulates exactly as a plain running sum would.
        const float next = sum[k] + d;
        const float folded = next - kTwoPi * ((next * kInvTwoPi + kRoundF) - kRoundF);
        sum[k] = blend(std::fabs(next) > kPhaseFoldLimit, folded, next);
    }
    // Bins without magnitude need no sine: their parts are zero either way.
    for (int k = 0; k < sounding; ++k) {
        float s, c;
        fastSinCos(sum[k], s, c);
        xr[k] = magn[k] * c;
        xi[k] = magn[k] * s;
    }
    std::fill(xr + sounding, xr + half + 1, 0.0f);
    std::fill(xi + sounding, xi + half + 1, 0.0f);
    // Only real parts are used: bins 0 and N/2 count with their real part, twice.
    xr[0] *= 2.0f;
    xi[0] = 0.0f;
    xr[half] *= 2.0f;
    xi[half] = 0.0f;

    float* __restrict packRe = f.packRe;
    float* __restrict packIm = f.packIm;
    const float* wr = f.twiddleRe + half;
    const float* wi = f.twiddleIm + half;
    for (int k = 0; k < half; ++k) {
        const float sr = xr[k] + xr[half - k], si = xi[k] - xi[half - k];
        const float dr = xr[k] - xr[half - k], di = xi[k] + xi[half - k];
        packRe[k] = sr + wi[k] * dr - wr[k] * di;
        packIm[k] = si + wr[k] * dr + wi[k] * di;
    }
    // Swapped parts make it the inverse transform.
    const int* reversed = f.bitReverse;
    transformHalf(
        f,
        [=](int p, float& a, float& b) {
            const int r = reversed[p] >> 1;
            a = packIm[r];
            b = packRe[r];
        },
        f.workIm, f.workRe);
}

}  // namespace

void hop(const PhaseVocoderFrame& f, float ratio) {
    analyse(f);
    synthesise(f, shiftBins(f, ratio));

    const int n = f.size;
    const int half = n / 2;
    const int hop = n / f.oversampling;
    const float* re = f.workRe;
    const float* im = f.workIm;
    float* acc = f.outAccum;
    const float* w = f.olaWindow;
    for (int m = 0; m < half; ++m) {
        acc[2 * m] += w[2 * m] * re[m];
        acc[2 * m + 1] += w[2 * m + 1] * im[m];
    }
    std::copy(acc, acc + hop, f.outFifo);
    std::memmove(acc, acc + hop, static_cast<size_t>(n - hop) * sizeof(float));
    std::fill(acc + n - hop, acc + n, 0.0f);
    std::memmove(f.inFifo, f.inFifo + hop, static_cast<size_t>(n - hop) * sizeof(float));
}

}  // namespace KW_VOCODER_FORM
