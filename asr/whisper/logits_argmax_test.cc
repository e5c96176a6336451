#include "whisper/logits_argmax.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

size_t scan(const std::vector<float>& v) {
  size_t best = 0;
  for (size_t i = 1; i < v.size(); ++i) {
    if (v[i] > v[best]) best = i;
  }
  return best;
}

TEST(LogitsArgmax, EveryLengthAndEveryPosition) {
  // Lengths around the 64-value step and its multiples, the maximum at each
  // position, and a tie with an earlier copy.
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(-5.0f, 5.0f);
  for (size_t n = 1; n <= 140; ++n) {
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    for (size_t at = 0; at < n; ++at) {
      std::vector<float> w = v;
      w[at] = 9.0f;
      ASSERT_EQ(logits_argmax(w.data(), n), at) << n << " values";
      for (size_t later = at + 1; later < n; ++later) {
        w[later] = 9.0f;
        ASSERT_EQ(logits_argmax(w.data(), n), at) << "a later tie, " << n << " values";
        w[later] = v[later];
      }
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
  }
  std::fill(row.begin(), row.end(), -1.0f);
  EXPECT_EQ(logits_argmax(row.data(), row.size()), 0u) << "all equal: the first";
}

TEST(LogitsArgmax, AcrossBlocksOfTheRow) {
  // The row is read in blocks of 2048 values: maxima on either side of a
  // block's edge, ties in later blocks and in the tail, signed zeros.
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> dist(-5.0f, 5.0f);
  for (size_t n : {2047u, 2048u, 2049u, 4096u + 63u, 6200u}) {
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    for (size_t at : {size_t{0}, size_t{63}, size_t{64}, size_t{2047}, size_t{2048}, n - 1}) {
      if (at >= n) continue;
      std::vector<float> w = v;
      w[at] = 7.0f;
      ASSERT_EQ(logits_argmax(w.data(), n), at) << n << " values";
      for (size_t later : {at + 1, at + 2048, n - 1}) {
        if (later <= at || later >= n) continue;
        w[later] = 7.0f;
        ASSERT_EQ(logits_argmax(w.data(), n), at) << "a later tie at " << later;
        w[later] = 8.0f;
        ASSERT_EQ(logits_argmax(w.data(), n), later) << "a later maximum";
        w[later] = v[later];
      }
      w[at] = 0.0f;
      for (float& x : w) x = x > 0.0f ? -x : x;
      w[at] = -0.0f;
      w[n - 1] = 0.0f;
      ASSERT_EQ(logits_argmax(w.data(), n), at) << "-0 first, +0 later";
    }
  }
}

TEST(LogitsArgmax, SignedZerosAndNaNsAsTheScan) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> v(40, -1.0f);
  v[5] = -0.0f;
  v[9] = 0.0f;
  EXPECT_EQ(logits_argmax(v.data(), v.size()), 5u);
  v[2] = nan;
  v[30] = nan;
  EXPECT_EQ(logits_argmax(v.data(), v.size()), scan(v));
  v[0] = nan;  // never beaten
  EXPECT_EQ(logits_argmax(v.data(), v.size()), 0u);
  std::vector<float> all(33, nan);
  EXPECT_EQ(logits_argmax(all.data(), all.size()), 0u);
}

}  // namespace
