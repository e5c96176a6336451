// Compiled with -ffp-contract=off: every fused multiply-add is an explicit
// std::fma, every other product and sum is rounded on its own, so the bits
// do not depend on the target's FMA instructions.
#include "whisper/mel_fft.h"

#include <cmath>

namespace whisper_spectrum {
namespace {

mel_tables build_tables() {
  mel_tables t{};
  for (int i = 0; i < kFftSize; ++i) {
    const float theta = static_cast<float>(2.0 * M_PI * i / kFftSize);
    t.sin_table[i] = std::sin(theta);
    t.cos_table[i] = std::cos(theta);
    t.hann[i] = i == 0 ? 0.0f : 0.5f * (1.0f - std::cos(theta));
  }
  t.sin_table[0] = 0.0f;
  t.cos_table[0] = 1.0f;
  return t;
}

// Input is read with a stride, so the even/odd halves of each level need no
// copy; their spectra go to scratch, deeper levels use the scratch after them.
void fft_strided(const mel_tables& t, const float* in, size_t stride, int n, float* out,
                 float* scratch) {
  if (n == 1) {
    out[0] = in[0];
    out[1] = 0.0f;
    return;
  }
  if (n % 2 == 1) {
    const int step = kFftSize / n;
    for (int k = 0; k < n; ++k) {
      float re = 0.0f;
      float im = 0.0f;
      // idx runs through (k * j * step) mod 400 by steps, without a division.
      const int delta = (k * step) % kFftSize;
      int idx = 0;
      for (int j = 0; j < n; ++j, idx += delta) {
        if (idx >= kFftSize) idx -= kFftSize;
        const float x = in[j * stride];
        re = std::fma(x, t.cos_table[idx], re);
        im = std::fma(-x, t.sin_table[idx], im);
      }
      out[2 * k] = re;
      out[2 * k + 1] = im;
    }
    return;
  }
  const int half = n / 2;
  float* even = scratch;
  float* odd = scratch + n;
  fft_strided(t, in, stride * 2, half, even, scratch + 2 * n);
  fft_strided(t, in + stride, stride * 2, half, odd, scratch + 2 * n);
  const int step = kFftSize / n;
  for (int k = 0; k < half; ++k) {
    const int idx = k * step;
    const float c = t.cos_table[idx];
    const float s = t.sin_table[idx];
    const float er = even[2 * k], ei = even[2 * k + 1];
    const float orr = odd[2 * k], oi = odd[2 * k + 1];
    out[2 * k] = er + c * orr + s * oi;
    out[2 * k + 1] = ei + c * oi - s * orr;
    out[2 * (k + half)] = er - c * orr - s * oi;
    out[2 * (k + half) + 1] = ei - c * oi + s * orr;
  }
}

}  // namespace

const mel_tables& get_mel_tables() {
  static const mel_tables tables = build_tables();  // C++11 guarantees one safe init
  return tables;
}

void mel_fft(const float* in, int n, float* out, float* scratch) {
  fft_strided(get_mel_tables(), in, 1, n, out, scratch);
}

}  // namespace whisper_spectrum
