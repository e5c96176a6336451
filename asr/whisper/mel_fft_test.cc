// The eight-lane transform against a direct transform in double precision,
// and the vector logarithm against the C library's.
#include "whisper/mel_fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace whisper_spectrum {
namespace {

// |X[k]|^2 of 400 real samples, k = 0..200, in double precision.
std::vector<double> direct_power(const std::vector<double>& x) {
  std::vector<double> power(kFftBins);
  for (int k = 0; k < kFftBins; ++k) {
    double re = 0, im = 0;
    for (int s = 0; s < kFftSize; ++s) {
      const double angle = 2.0 * M_PI * ((k * s) % kFftSize) / kFftSize;
      re += x[s] * std::cos(angle);
      im -= x[s] * std::sin(angle);
    }
    power[k] = re * re + im * im;
  }
  return power;
}

TEST(MelFft, EveryLaneMatchesADirectTransform) {
  // A different signal in each lane: impulses at odd and even positions, a
  // constant, pure tones on and between bins, noise, and silence.
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  std::vector<std::vector<double>> frames(kLanes, std::vector<double>(kFftSize, 0.0));
  frames[0][0] = 1.0;
  frames[1][399] = 0.5;
  for (double& v : frames[2]) v = 0.25;
  for (int s = 0; s < kFftSize; ++s) {
    frames[3][s] = std::sin(2.0 * M_PI * 37 * s / kFftSize);
    frames[4][s] = std::cos(2.0 * M_PI * 100.5 * s / kFftSize);
    frames[5][s] = std::sin(2.0 * M_PI * 200 * s / kFftSize + 0.3);
    frames[6][s] = dist(rng);
  }
  mel_fft_work work;
  for (int l = 0; l < kLanes; ++l) {
    for (int m = 0; m < kPacked; ++m) {
      work.re[m * kLanes + l] = static_cast<float>(frames[l][2 * m]);
      work.im[m * kLanes + l] = static_cast<float>(frames[l][2 * m + 1]);
    }
  }
  std::vector<float> power(kFftBins * kLanes);
  mel_power_spectrum(work, power.data());
  for (int l = 0; l < kLanes; ++l) {
    std::vector<double> x(kFftSize);
    for (int s = 0; s < kFftSize; ++s) x[s] = static_cast<float>(frames[l][s]);
    const std::vector<double> want = direct_power(x);
    double peak = 0;
    for (double p : want) peak = std::max(peak, p);
    for (int k = 0; k < kFftBins; ++k) {
      // Single-precision rounding, relative to the frame's strongest bin.
      ASSERT_NEAR(power[k * kLanes + l], want[k], 2e-6 * peak + 1e-30)
          << "lane " << l << ", bin " << k;
    }
  }
}

TEST(MelFft, HannWindowIsPeriodic) {
  const float* hann = mel_hann_window();
  EXPECT_EQ(hann[0], 0.0f);
  EXPECT_EQ(hann[200], 1.0f);
  for (int i = 1; i < kFftSize; ++i) {  // divided by 400, not 399
    EXPECT_NEAR(hann[i], 0.5 * (1.0 - std::cos(2.0 * M_PI * i / kFftSize)), 2.5e-7) << i;
  }
}

TEST(MelVector, Log10WithinAFewUnitsInTheLastPlace) {
  // From the power floor up past any spectrogram value, every lane
  // position, and the powers of ten exactly.
  float worst = 0;
  for (int decade = -10; decade < 12; ++decade) {
    for (int step = 0; step < 4096; step += kLanes) {
      float in[kLanes];
      for (int l = 0; l < kLanes; ++l) {
        in[l] = static_cast<float>(std::pow(10.0, decade + (step + l) / 4096.0));
      }
      const lanes_f32 out = lanes_log10(lanes_load(in));
      for (int l = 0; l < kLanes; ++l) {
        const double want = std::log10(static_cast<double>(in[l]));
        const double ulp = std::nextafter(std::fabs(static_cast<float>(want)), 1e30f) -
                           std::fabs(static_cast<float>(want));
        const float err = static_cast<float>(std::fabs(out[l] - want) / (want == 0 ? 1e-7 : ulp));
        worst = std::max(worst, err);
      }
    }
  }
  EXPECT_LE(worst, 4.0f) << "units in the last place";
  float tens[kLanes] = {1e-10f, 1e-5f, 1.0f, 10.0f, 100.0f, 1e5f, 1e10f, 0.1f};
  const lanes_f32 logs = lanes_log10(lanes_load(tens));
  for (int l = 0; l < kLanes; ++l) {
    EXPECT_NEAR(logs[l], std::log10(static_cast<double>(tens[l])), 1e-6) << tens[l];
  }
}

TEST(MelVector, TransposeSwapsRowsAndLanes) {
  lanes_f32 m[kLanes];
  for (int i = 0; i < kLanes; ++i) {
    for (int l = 0; l < kLanes; ++l) m[i][l] = static_cast<float>(10 * i + l);
  }
  lanes_transpose(m);
  for (int i = 0; i < kLanes; ++i) {
    for (int l = 0; l < kLanes; ++l) EXPECT_EQ(m[i][l], static_cast<float>(10 * l + i));
  }
}

}  // namespace
}  // namespace whisper_spectrum
