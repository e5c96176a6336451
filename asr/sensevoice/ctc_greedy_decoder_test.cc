#include "sensevoice/ctc_greedy_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

// One-hot rows of width vocab with the given best ids.
std::vector<float> Logits(const std::vector<int>& best, int vocab) {
  std::vector<float> logits(best.size() * vocab, -1.0f);
  for (size_t t = 0; t < best.size(); ++t) logits[t * vocab + best[t]] = 2.0f;
  return logits;
}

TEST(CtcGreedyDecoder, MergesRepeatsAndDropsBlanks) {
  CtcGreedyDecoder decoder;
  const std::vector<int> best = {0, 5, 5, 0, 5, 7, 7};
  const auto logits = Logits(best, 9);
  EXPECT_EQ(decoder.Decode(logits.data(), 7, 9), (std::vector<int>{5, 5, 7}));
  // Only the frames asked for are read.
  EXPECT_EQ(decoder.Decode(logits.data(), 3, 9), (std::vector<int>{5}));

  decoder.blank_id = 5;
  EXPECT_EQ(decoder.Decode(logits.data(), 7, 9), (std::vector<int>{0, 0, 7}));
}

TEST(CtcGreedyDecoder, FirstMaximumWinsTies) {
  CtcGreedyDecoder decoder;
  const std::vector<float> logits = {0.1f, 3.0f, 0.5f, 3.0f,   // tie between 1 and 3
                                     -4.0f, -4.0f, -4.0f, -4.0f};  // all equal: 0 (blank)
  EXPECT_EQ(decoder.Decode(logits.data(), 2, 4), (std::vector<int>{1}));
}

// The decoder must pick what a plain left-to-right strict scan picks, also
// with repeated maxima, signed zeros, infinities and NaNs, at every width.
TEST(CtcGreedyDecoder, AgreesWithAPlainScanOnAwkwardRows) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float values[] = {0.0f, -0.0f, 1.0f, 1.0f, -1.0f, 2.0f, nan, inf, -inf, 0.5f};
  std::mt19937 rng(11);
  CtcGreedyDecoder decoder;
  decoder.blank_id = -1;  // keep every frame's choice visible
  for (int round = 0; round < 3000; ++round) {
    const int vocab = 1 + static_cast<int>(rng() % 40);
    std::vector<float> row(vocab);
    for (float& v : row) v = values[rng() % 10];
    int expected = 0;
    for (int v = 1; v < vocab; ++v) {
      if (row[v] > row[expected]) expected = v;
    }
    const std::vector<int> got = decoder.Decode(row.data(), 1, vocab);
    ASSERT_EQ(got, std::vector<int>{expected}) << "round " << round;
  }
}

TEST(CtcGreedyDecoder, NothingToDecode) {
  CtcGreedyDecoder decoder;
  const std::vector<float> logits(8, 1.0f);
  EXPECT_TRUE(decoder.Decode(nullptr, 2, 4).empty());
  EXPECT_TRUE(decoder.Decode(logits.data(), 0, 4).empty());
  EXPECT_TRUE(decoder.Decode(logits.data(), 2, 0).empty());
  EXPECT_TRUE(decoder.Decode(logits.data(), -1, 4).empty());
}

}  // namespace
