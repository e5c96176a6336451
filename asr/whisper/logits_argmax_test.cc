#include "whisper/logits_argmax.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "npu/zornn_types.h"

namespace {

size_t scan(const std::vector<float>& v) {
  size_t best = 0;
  for (size_t i = 1; i < v.size(); ++i) {
    if (v[i] > v[best]) best = i;
  }
  return best;
}

// Values that half precision holds exactly, so both forms must agree.
std::vector<float> on_half_grid(std::vector<float> v) {
  for (float& x : v) x = HalfToFloat(FloatToHalf(x));
  return v;
}

std::vector<uint16_t> halves_of(const std::vector<float>& v) {
  std::vector<uint16_t> h;
  for (float x : v) h.push_back(FloatToHalf(x));
  return h;
}

// The index both forms give, after checking that they give the same one.
size_t argmax_both(const std::vector<float>& v) {
  const size_t index = logits_argmax(v.data(), v.size());
  const std::vector<uint16_t> h = halves_of(v);
  EXPECT_EQ(logits_argmax_f16(h.data(), h.size()), index) << v.size() << " halves";
  return index;
}

std::vector<float> random_row(size_t n, std::mt19937& rng) {
  std::uniform_real_distribution<float> dist(-5.0f, 5.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return on_half_grid(v);
}

TEST(LogitsArgmax, EveryLengthAndEveryPosition) {
  // Lengths around the 64-value step and its multiples, the maximum at each
  // position, and a tie with an earlier copy.
  std::mt19937 rng(7);
  for (size_t n = 1; n <= 140; ++n) {
    const std::vector<float> v = random_row(n, rng);
    for (size_t at = 0; at < n; ++at) {
      std::vector<float> w = v;
      w[at] = 9.0f;
      ASSERT_EQ(argmax_both(w), at) << n << " values";
      for (size_t later = at + 1; later < n; ++later) {
        w[later] = 9.0f;
        ASSERT_EQ(argmax_both(w), at) << "a later tie, " << n << " values";
        w[later] = v[later];
      }
    }
  }
}

TEST(LogitsArgmax, AcrossBlocksOfTheRow) {
  // The row is read in blocks (2048 floats, 1024 halves): maxima on either
  // side of a block's edge, ties in later blocks and in the tail, signed
  // zeros.
  std::mt19937 rng(9);
  for (size_t n : {1023u, 1024u, 1025u, 2047u, 2048u, 2049u, 4096u + 63u, 6200u}) {
    const std::vector<float> v = random_row(n, rng);
    for (size_t at : {size_t{0}, size_t{63}, size_t{64}, size_t{1024}, size_t{2047},
                      size_t{2048}, n - 1}) {
      if (at >= n) continue;
      std::vector<float> w = v;
      w[at] = 7.0f;
      ASSERT_EQ(argmax_both(w), at) << n << " values";
      for (size_t later : {at + 1, at + 1024, at + 2048, n - 1}) {
        if (later <= at || later >= n) continue;
        w[later] = 7.0f;
        ASSERT_EQ(argmax_both(w), at) << "a later tie at " << later;
        w[later] = 8.0f;
        ASSERT_EQ(argmax_both(w), later) << "a later maximum";
        w[later] = v[later];
      }
      w[at] = 0.0f;
      for (float& x : w) x = x > 0.0f ? -x : x;
      w[at] = -0.0f;
      w[n - 1] = 0.0f;
      ASSERT_EQ(argmax_both(w), at) << "-0 first, +0 later";
    }
  }
}

TEST(LogitsArgmax, AVocabularyRow) {
  std::mt19937 rng(8);
  std::normal_distribution<float> dist(0.0f, 3.0f);
  std::vector<float> row(51866);
  for (int round = 0; round < 20; ++round) {
    for (float& x : row) x = dist(rng);
    ASSERT_EQ(logits_argmax(row.data(), row.size()), scan(row));
    row = on_half_grid(row);
    ASSERT_EQ(argmax_both(row), scan(row));
  }
  std::fill(row.begin(), row.end(), -1.0f);
  EXPECT_EQ(argmax_both(row), 0u) << "all equal: the first";
}

TEST(LogitsArgmax, SignedZerosAndNaNsAsTheScan) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> v(40, -1.0f);
  v[5] = -0.0f;
  v[9] = 0.0f;
  EXPECT_EQ(argmax_both(v), 5u);
  v[2] = nan;
  v[30] = nan;
  EXPECT_EQ(argmax_both(v), scan(v));
  v[0] = nan;  // never beaten
  EXPECT_EQ(argmax_both(v), 0u);
  std::vector<float> all(33, nan);
  EXPECT_EQ(argmax_both(all), 0u);
}

TEST(LogitsArgmax, EveryHalfBitPattern) {
  // Rows drawn from all 65,536 patterns (NaNs of either sign, infinities,
  // subnormals, both zeros) against the scan over their float values.
  std::mt19937 rng(10);
  std::uniform_int_distribution<int> bits(0, 0xFFFF);
  for (size_t n : {1u, 17u, 64u, 1000u, 5000u}) {
    for (int round = 0; round < 50; ++round) {
      std::vector<uint16_t> h(n);
      std::vector<float> v(n);
      for (size_t i = 0; i < n; ++i) {
        h[i] = static_cast<uint16_t>(bits(rng));
        v[i] = HalfToFloat(h[i]);
      }
      ASSERT_EQ(logits_argmax_f16(h.data(), n), scan(v)) << n << " halves";
    }
  }
  // NaNs and infinities: no NaN beats even -inf; the first +inf wins.
  std::vector<uint16_t> h = {0xFC00, 0x7C01, 0xFE00, 0x7FFF, 0x7C00, 0x7C00};
  EXPECT_EQ(logits_argmax_f16(h.data(), h.size()), 4u);
  h = {0x7E00, 0xFC00, 0x7C00};
  EXPECT_EQ(logits_argmax_f16(h.data(), h.size()), 0u) << "a NaN first is never beaten";
}

}  // namespace
