#include "dsp/pitch_shifter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <stdexcept>

namespace {

constexpr float kPi = 3.1415927f;
constexpr float kTwoPi = 6.2831855f;
constexpr float kInvTwoPi = 0.15915494f;
constexpr float kRoundF = 0x1.8p23f;          // adding and subtracting it rounds to an integer
constexpr float kPhaseFoldLimit = 262144.0f;  // 2^18 rad: a float step there is 1/32 rad
constexpr float kInputLimit = 1e6f;

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

}  // namespace

PitchShifter::PitchShifter(int frameSize, int osamp, float sampleRate)
    : n_(frameSize), osamp_(osamp), sampleRate_(sampleRate) {
    if (frameSize < 4 || (frameSize & (frameSize - 1)) != 0)
        throw std::invalid_argument("PitchShifter: frame size must be a power of two >= 4");
    if (osamp < 1 || osamp > frameSize)
        throw std::invalid_argument("PitchShifter: oversampling must be 1 .. frame size");
    if (!(sampleRate > 0.0f) || !std::isfinite(sampleRate))
        throw std::invalid_argument("PitchShifter: sample rate must be positive");
    const int half = n_ / 2;
    inFifo_.assign(n_, 0.0f);
    outFifo_.assign(n_, 0.0f);
    outAccum_.assign(n_, 0.0f);
    lastPhase_.assign(half + 1, 0.0f);
    phaseSum_.assign(half + 1, 0.0f);
    anaFreq_.assign(half + 1, 0.0f);
    anaPower_.assign(half + 1, 0.0f);
    synFreq_.assign(half + 1, 0.0f);
    synMagn_.assign(half + 1, 0.0f);
    specRe_.assign(half + 1, 0.0f);
    specIm_.assign(half + 1, 0.0f);
    workRe_.assign(n_, 0.0f);
    workIm_.assign(n_, 0.0f);

    window_.resize(n_);
    olaWindow_.resize(n_);
    for (int k = 0; k < n_; ++k) {
        window_[k] =
            0.5f - 0.5f * std::cos(kTwoPi * static_cast<float>(k) / static_cast<float>(n_));
        // Overlap-add gain is 2 / ((N/2) O); the synthesis transform delivers twice the frame.
        olaWindow_[k] = window_[k] / static_cast<float>(half * osamp_);
    }
    // Stage with half span h uses e^(-i pi j / h), j < h, stored at h + j.
    twiddleRe_.assign(n_, 1.0f);
    twiddleIm_.assign(n_, 0.0f);
    for (int h = 1; h < n_; h *= 2) {
        for (int j = 0; j < h; ++j) {
            const double a = std::numbers::pi * j / h;
            twiddleRe_[h + j] = static_cast<float>(std::cos(a));
            twiddleIm_[h + j] = static_cast<float>(-std::sin(a));
        }
    }
    bitReverse_.resize(n_);
    for (int i = 0; i < n_; ++i) {
        int r = 0;
        for (int bit = 1, top = n_ >> 1; bit < n_; bit <<= 1, top >>= 1)
            if (i & bit) r |= top;
        bitReverse_[i] = r;
    }
}

void PitchShifter::reset() {
    std::fill(inFifo_.begin(), inFifo_.end(), 0.0f);
    std::fill(outFifo_.begin(), outFifo_.end(), 0.0f);
    std::fill(outAccum_.begin(), outAccum_.end(), 0.0f);
    std::fill(lastPhase_.begin(), lastPhase_.end(), 0.0f);
    std::fill(phaseSum_.begin(), phaseSum_.end(), 0.0f);
    rover_ = 0;
}

void PitchShifter::process(float ratio, const float* in, float* out, int n) {
    if (n <= 0) return;
    if (!(ratio > 0.02f)) ratio = 0.02f;  // also catches NaN
    // Beyond N/2 no source bin above 1 stays in the spectrum; the cap keeps k * ratio an int.
    ratio = std::min(ratio, static_cast<float>(n_ / 2));
    if (std::fabs(ratio - 1.0f) < 0.0001f) {
        if (in != out) std::memmove(out, in, static_cast<size_t>(n) * sizeof(float));
        return;
    }
    const int latency = n_ - n_ / osamp_;
    if (rover_ == 0) rover_ = latency;
    for (int i = 0; i < n; ++i) {
        // Non-finite or absurd input would overflow the spectrum and leave NaN in the phase
        // state for good; it is taken as silence.
        inFifo_[rover_] = std::fabs(in[i]) < kInputLimit ? in[i] : 0.0f;
        out[i] = outFifo_[rover_ - latency];
        if (++rover_ < n_) continue;
        rover_ = latency;
        processFrame(ratio);
    }
}

void PitchShifter::processFrame(float ratio) {
    analyse();
    shiftBins(ratio);
    synthesise();

    const int half = n_ / 2;
    const int hop = n_ / osamp_;
    const float* re = workRe_.data();
    const float* im = workIm_.data();
    float* acc = outAccum_.data();
    const float* w = olaWindow_.data();
    for (int m = 0; m < half; ++m) {
        acc[2 * m] += w[2 * m] * re[m];
        acc[2 * m + 1] += w[2 * m + 1] * im[m];
    }
    std::copy(acc, acc + hop, outFifo_.begin());
    std::memmove(acc, acc + hop, static_cast<size_t>(n_ - hop) * sizeof(float));
    std::fill(acc + n_ - hop, acc + n_, 0.0f);
    std::memmove(inFifo_.data(), inFifo_.data() + hop,
                 static_cast<size_t>(n_ - hop) * sizeof(float));
}

// Windowed frame -> true frequency and power of bins 0 .. N/2. The real frame goes through a
// half-size complex transform (even samples real, odd imaginary) and is unpacked, doubled.
void PitchShifter::analyse() {
    const int half = n_ / 2;
    float* __restrict re = workRe_.data();
    float* __restrict im = workIm_.data();
    const float* fifo = inFifo_.data();
    const float* win = window_.data();
    for (int i = 0; i < half; ++i) {
        const int r = bitReverse_[i] >> 1;
        re[i] = fifo[2 * r] * win[2 * r];
        im[i] = fifo[2 * r + 1] * win[2 * r + 1];
    }
    butterflies(re, im, half);

    unpackRealSpectrum(re, im, twiddleRe_.data() + half, twiddleIm_.data() + half, specRe_.data(),
                       specIm_.data(), half);
    const float* xr = specRe_.data();
    const float* xi = specIm_.data();

    const float binWidth = sampleRate_ / static_cast<float>(n_);
    const float expected = kTwoPi * static_cast<float>(n_ / osamp_) / static_cast<float>(n_);
    const float osamp = static_cast<float>(osamp_);
    float* __restrict last = lastPhase_.data();
    float* __restrict freq = anaFreq_.data();
    float* __restrict power = anaPower_.data();
    for (int k = 0; k <= half; ++k) {
        const float fk = static_cast<float>(k);
        power[k] = xr[k] * xr[k] + xi[k] * xi[k];
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

void PitchShifter::shiftBins(float ratio) {
    const int half = n_ / 2;
    std::fill(synMagn_.begin(), synMagn_.end(), 0.0f);
    std::fill(synFreq_.begin(), synFreq_.end(), 0.0f);
    for (int k = 0; k <= half; ++k) {
        const int j = static_cast<int>(static_cast<float>(k) * ratio);
        if (j > half) break;  // k * ratio never decreases, so no later bin lands inside
        // anaPower holds |2X|^2, so its root is the magnitude 2|X|.
        synMagn_[j] += std::sqrt(anaPower_[k]);
        synFreq_[j] = anaFreq_[k] * ratio;
    }
}

// Shifted bins -> accumulated phases -> real frame (twice its value) in workRe_/workIm_ as
// even/odd samples, via the half-size inverse transform of the Hermitian-packed spectrum.
void PitchShifter::synthesise() {
    const int half = n_ / 2;
    const float binWidth = sampleRate_ / static_cast<float>(n_);
    const float expected = kTwoPi * static_cast<float>(n_ / osamp_) / static_cast<float>(n_);
    const float osamp = static_cast<float>(osamp_);
    float* __restrict xr = specRe_.data();
    float* __restrict xi = specIm_.data();
    float* __restrict sum = phaseSum_.data();
    const float* __restrict freq = synFreq_.data();
    const float* __restrict magn = synMagn_.data();
    for (int k = 0; k <= half; ++k) {
        const float fk = static_cast<float>(k);
        float d = (freq[k] - fk * binWidth) / binWidth;
        d = kTwoPi * d / osamp;
        d += fk * expected;
        // A float sum that grows without bound loses its fraction: a long session would drift
        // off pitch and then into noise. Large sums fold back by whole turns; below the limit
        // the sum accumulates exactly as a plain running sum would.
        const float next = sum[k] + d;
        const float folded = next - kTwoPi * ((next * kInvTwoPi + kRoundF) - kRoundF);
        sum[k] = blend(std::fabs(next) > kPhaseFoldLimit, folded, next);
        float s, c;
        fastSinCos(sum[k], s, c);
        xr[k] = magn[k] * c;
        xi[k] = magn[k] * s;
    }
    // Only real parts are used: bins 0 and N/2 count with their real part, twice.
    xr[0] *= 2.0f;
    xi[0] = 0.0f;
    xr[half] *= 2.0f;
    xi[half] = 0.0f;

    float* re = workRe_.data();
    float* im = workIm_.data();
    const float* wr = twiddleRe_.data() + half;
    const float* wi = twiddleIm_.data() + half;
    for (int k = 0; k < half; ++k) {
        const float sr = xr[k] + xr[half - k], si = xi[k] - xi[half - k];
        const float dr = xr[k] - xr[half - k], di = xi[k] + xi[half - k];
        const int r = bitReverse_[k] >> 1;
        re[r] = sr + wi[k] * dr - wr[k] * di;
        im[r] = si + wr[k] * dr + wi[k] * di;
    }
    butterflies(im, re, half);  // swapped parts make it the inverse transform
}

void PitchShifter::fft(float* data, int sign) {
    float* re = workRe_.data();
    float* im = workIm_.data();
    for (int i = 0; i < n_; ++i) {
        const int r = bitReverse_[i];
        re[i] = data[2 * r];
        im[i] = data[2 * r + 1];
    }
    if (sign < 0)
        butterflies(re, im, n_);
    else
        butterflies(im, re, n_);
    for (int i = 0; i < n_; ++i) {
        data[2 * i] = re[i];
        data[2 * i + 1] = im[i];
    }
}

// Forward radix-2 decimation in time over bit-reversed input, two stages per pass.
void PitchShifter::butterflies(float* re, float* im, int points) const {
    int h = 1;
    if (points >= 4) {
        // Spans 1 and 2 have the twiddles 1 and -i.
        for (int b = 0; b < points; b += 4) {
            const float a0r = re[b] + re[b + 1], a0i = im[b] + im[b + 1];
            const float a1r = re[b] - re[b + 1], a1i = im[b] - im[b + 1];
            const float a2r = re[b + 2] + re[b + 3], a2i = im[b + 2] + im[b + 3];
            const float a3r = re[b + 2] - re[b + 3], a3i = im[b + 2] - im[b + 3];
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
    }
    const float* tr = twiddleRe_.data();
    const float* ti = twiddleIm_.data();
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
