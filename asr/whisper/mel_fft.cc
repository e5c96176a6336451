// Compiled with -ffp-contract=off (see mel_vector.h).
#include "whisper/mel_fft.h"

#include <cmath>
#include <utility>

namespace whisper_spectrum {
namespace {

typedef lanes_f32 V;

// One pass of the self-sorting (Stockham) decimation-in-frequency FFT: the
// sub-transforms of length n with s interleaved copies are split into R of
// length n / R, and the result lands in sorted order after the last pass.
struct Pass {
  int radix;
  int n;
  int s;
};
constexpr Pass kPasses[] = {{5, 200, 1}, {5, 40, 5}, {8, 8, 25}};
static_assert(5 * 5 * 8 == kPacked, "the passes cover the packed length");
constexpr int kPassCount = sizeof(kPasses) / sizeof(kPasses[0]);

// Twiddle count of a pass: (radix - 1) per butterfly position p < n / radix.
constexpr int twiddles(const Pass& p) { return (p.n / p.radix) * (p.radix - 1); }
constexpr int kTwiddleTotal =
    twiddles(kPasses[0]) + twiddles(kPasses[1]) + twiddles(kPasses[2]);

struct Plan {
  // Per pass, for p < n / R and k = 1..R-1: exp(-2*pi*i*p*k / n).
  float tw_re[kTwiddleTotal];
  float tw_im[kTwiddleTotal];
  int tw_offset[kPassCount];
  // Unpacking the real transform: cos and sin of 2*pi*k / 400, k < 100.
  float unpack_cos[kPacked / 2];
  float unpack_sin[kPacked / 2];
  float hann[kFftSize];
};

Plan build_plan() {
  Plan plan{};
  int offset = 0;
  for (int i = 0; i < kPassCount; ++i) {
    const Pass& pass = kPasses[i];
    plan.tw_offset[i] = offset;
    for (int p = 0; p < pass.n / pass.radix; ++p) {
      for (int k = 1; k < pass.radix; ++k) {
        const double angle = 2.0 * M_PI * p * k / pass.n;
        plan.tw_re[offset] = static_cast<float>(std::cos(angle));
        plan.tw_im[offset] = static_cast<float>(-std::sin(angle));
        ++offset;
      }
    }
  }
  for (int k = 0; k < kPacked / 2; ++k) {
    plan.unpack_cos[k] = static_cast<float>(std::cos(2.0 * M_PI * k / kFftSize));
    plan.unpack_sin[k] = static_cast<float>(std::sin(2.0 * M_PI * k / kFftSize));
  }
  for (int i = 1; i < kFftSize; ++i) {
    const float theta = static_cast<float>(2.0 * M_PI * i / kFftSize);
    plan.hann[i] = 0.5f * (1.0f - std::cos(theta));
  }
  return plan;
}

const Plan& plan() {
  static const Plan p = build_plan();  // C++11 guarantees one safe initialisation
  return p;
}

// Butterflies: b = DFT_R(a), forward sign.
ZOR_LANES_INLINE void butterfly(const V (&ar)[4], const V (&ai)[4], V (&br)[4], V (&bi)[4]) {
  const V t0r = ar[0] + ar[2], t0i = ai[0] + ai[2];
  const V t1r = ar[0] - ar[2], t1i = ai[0] - ai[2];
  const V t2r = ar[1] + ar[3], t2i = ai[1] + ai[3];
  const V t3r = ar[1] - ar[3], t3i = ai[1] - ai[3];
  br[0] = t0r + t2r;
  bi[0] = t0i + t2i;
  br[2] = t0r - t2r;
  bi[2] = t0i - t2i;
  br[1] = t1r + t3i;  // t1 - i * t3
  bi[1] = t1i - t3r;
  br[3] = t1r - t3i;  // t1 + i * t3
  bi[3] = t1i + t3r;
}

ZOR_LANES_INLINE void butterfly(const V (&ar)[5], const V (&ai)[5], V (&br)[5], V (&bi)[5]) {
  constexpr float c1 = 0.309016994374947424f;   // cos(2*pi/5)
  constexpr float c2 = -0.809016994374947424f;  // cos(4*pi/5)
  constexpr float s1 = 0.951056516295153572f;   // sin(2*pi/5)
  constexpr float s2 = 0.587785252292473129f;   // sin(4*pi/5)
  const V t1r = ar[1] + ar[4], t1i = ai[1] + ai[4];
  const V t2r = ar[2] + ar[3], t2i = ai[2] + ai[3];
  const V t3r = ar[1] - ar[4], t3i = ai[1] - ai[4];
  const V t4r = ar[2] - ar[3], t4i = ai[2] - ai[3];
  br[0] = ar[0] + t1r + t2r;
  bi[0] = ai[0] + t1i + t2i;
  const V t5r = ar[0] + c1 * t1r + c2 * t2r, t5i = ai[0] + c1 * t1i + c2 * t2i;
  const V t6r = ar[0] + c2 * t1r + c1 * t2r, t6i = ai[0] + c2 * t1i + c1 * t2i;
  const V t7r = s1 * t3r + s2 * t4r, t7i = s1 * t3i + s2 * t4i;
  const V t8r = s2 * t3r - s1 * t4r, t8i = s2 * t3i - s1 * t4i;
  br[1] = t5r + t7i;  // t5 - i * t7
  bi[1] = t5i - t7r;
  br[4] = t5r - t7i;  // t5 + i * t7
  bi[4] = t5i + t7r;
  br[2] = t6r + t8i;  // t6 - i * t8
  bi[2] = t6i - t8r;
  br[3] = t6r - t8i;  // t6 + i * t8
  bi[3] = t6i + t8r;
}

// Radix 8 as two radix-4 halves (even and odd inputs) joined by w8^k,
// w8 = exp(-2*pi*i/8) = (1 - i) / sqrt(2).
ZOR_LANES_INLINE void butterfly(const V (&ar)[8], const V (&ai)[8], V (&br)[8], V (&bi)[8]) {
  constexpr float h = 0.707106781186547524f;  // 1 / sqrt(2)
  const V evr[4] = {ar[0], ar[2], ar[4], ar[6]}, evi[4] = {ai[0], ai[2], ai[4], ai[6]};
  const V odr[4] = {ar[1], ar[3], ar[5], ar[7]}, odi[4] = {ai[1], ai[3], ai[5], ai[7]};
  V er[4], ei[4], orr[4], oi[4];
  butterfly(evr, evi, er, ei);
  butterfly(odr, odi, orr, oi);
  V tr[4], ti[4];  // w8^k * O[k]
  tr[0] = orr[0];
  ti[0] = oi[0];
  tr[1] = h * (orr[1] + oi[1]);
  ti[1] = h * (oi[1] - orr[1]);
  tr[2] = oi[2];
  ti[2] = -orr[2];
  tr[3] = h * (oi[3] - orr[3]);
  ti[3] = -h * (orr[3] + oi[3]);
  for (int k = 0; k < 4; ++k) {
    br[k] = er[k] + tr[k];
    bi[k] = ei[k] + ti[k];
    br[k + 4] = er[k] - tr[k];
    bi[k + 4] = ei[k] - ti[k];
  }
}

template <int R>
ZOR_LANES_INLINE void run_pass(const Pass& pass, const float* tw_re, const float* tw_im,
                               const float* xr, const float* xi, float* yr, float* yi) {
  const int n = pass.n, s = pass.s, m = n / R;
  for (int p = 0; p < m; ++p) {
    for (int q = 0; q < s; ++q) {
      V ar[R], ai[R], br[R], bi[R];
      for (int j = 0; j < R; ++j) {
        ar[j] = lanes_load(xr + (q + s * (p + j * m)) * kLanes);
        ai[j] = lanes_load(xi + (q + s * (p + j * m)) * kLanes);
      }
      butterfly(ar, ai, br, bi);
      lanes_store(yr + (q + s * R * p) * kLanes, br[0]);
      lanes_store(yi + (q + s * R * p) * kLanes, bi[0]);
      for (int k = 1; k < R; ++k) {
        V outr = br[k], outi = bi[k];
        if (p != 0) {  // the twiddle of p = 0 is 1
          const float wr = tw_re[p * (R - 1) + k - 1], wi = tw_im[p * (R - 1) + k - 1];
          outr = br[k] * wr - bi[k] * wi;
          outi = br[k] * wi + bi[k] * wr;
        }
        lanes_store(yr + (q + s * (R * p + k)) * kLanes, outr);
        lanes_store(yi + (q + s * (R * p + k)) * kLanes, outi);
      }
    }
  }
}

}  // namespace

ZOR_LANES_CLONES void mel_power_spectrum(mel_fft_work& work, float* power) {
  const Plan& pl = plan();
  float* xr = work.re;
  float* xi = work.im;
  float* yr = work.scratch_re;
  float* yi = work.scratch_im;
  for (int i = 0; i < kPassCount; ++i) {
    const Pass& pass = kPasses[i];
    const float* twr = pl.tw_re + pl.tw_offset[i];
    const float* twi = pl.tw_im + pl.tw_offset[i];
    switch (pass.radix) {
      case 5:
        run_pass<5>(pass, twr, twi, xr, xi, yr, yi);
        break;
      default:
        run_pass<8>(pass, twr, twi, xr, xi, yr, yi);
        break;
    }
    std::swap(xr, yr);
    std::swap(xi, yi);
  }
  // Z = the packed transform, now in xr / xi. With E and O the
  // transforms of the even and odd samples, E[k] = (Z[k] + conj(Z[200-k])) / 2,
  // O[k] = (Z[k] - conj(Z[200-k])) / 2i, X[k] = E[k] + w^k O[k] and
  // X[200-k] = conj(E[k] - w^k O[k]), w = exp(-2*pi*i / 400).
  const V z0r = lanes_load(xr), z0i = lanes_load(xi);
  const V x0 = z0r + z0i, x200 = z0r - z0i;
  lanes_store(power, x0 * x0);
  lanes_store(power + kPacked * kLanes, x200 * x200);
  for (int k = 1; k < kPacked / 2; ++k) {
    const V zkr = lanes_load(xr + k * kLanes), zki = lanes_load(xi + k * kLanes);
    const V zmr = lanes_load(xr + (kPacked - k) * kLanes);
    const V zmi = lanes_load(xi + (kPacked - k) * kLanes);
    const V er = 0.5f * (zkr + zmr), ei = 0.5f * (zki - zmi);
    const V or_ = 0.5f * (zki + zmi), oi = 0.5f * (zmr - zkr);
    const float c = pl.unpack_cos[k], s = pl.unpack_sin[k];
    const V tr = c * or_ + s * oi;  // w^k O = (c - i s) O
    const V ti = c * oi - s * or_;
    const V ar = er + tr, ai = ei + ti;
    const V br = er - tr, bi = ei - ti;
    lanes_store(power + k * kLanes, ar * ar + ai * ai);
    lanes_store(power + (kPacked - k) * kLanes, br * br + bi * bi);
  }
  const V zhr = lanes_load(xr + (kPacked / 2) * kLanes);
  const V zhi = lanes_load(xi + (kPacked / 2) * kLanes);
  lanes_store(power + (kPacked / 2) * kLanes, zhr * zhr + zhi * zhi);  // X[100] = conj(Z[100])
}

const float* mel_hann_window() { return plan().hann; }

}  // namespace whisper_spectrum
