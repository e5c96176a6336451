#include "sensevoice/ctc_greedy_decoder.h"

#include <gtest/gtest.h>

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

TEST(CtcGreedyDecoder, NothingToDecode) {
  CtcGreedyDecoder decoder;
  const std::vector<float> logits(8, 1.0f);
  EXPECT_TRUE(decoder.Decode(nullptr, 2, 4).empty());
  EXPECT_TRUE(decoder.Decode(logits.data(), 0, 4).empty());
  EXPECT_TRUE(decoder.Decode(logits.data(), 2, 0).empty());
  EXPECT_TRUE(decoder.Decode(logits.data(), -1, 4).empty());
}

}  // namespace
