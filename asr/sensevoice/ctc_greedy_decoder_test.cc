#include "sensevoice/ctc_greedy_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "npu/zornn_types.h"

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

TEST(CtcGreedyDecoder, TimedCollapseGivesEachTokenItsRunOfFrames) {
  CtcGreedyDecoder decoder;
  const std::vector<int32_t> best = {0, 5, 5, 0, 5, 7, 7, 7, 0, 0, 9};
  const std::vector<CtcToken> tokens = decoder.CollapseTimed(best.data(), 11);
  ASSERT_EQ(tokens.size(), 4u);
  const int expected[4][3] = {{5, 1, 2}, {5, 4, 4}, {7, 5, 7}, {9, 10, 10}};
  for (size_t i = 0; i < tokens.size(); ++i) {
    EXPECT_EQ(tokens[i].id, expected[i][0]) << i;
    EXPECT_EQ(tokens[i].first_frame, expected[i][1]) << i;
    EXPECT_EQ(tokens[i].last_frame, expected[i][2]) << i;
  }
  // The same tokens as the plain collapse, whatever the blank.
  decoder.blank_id = 7;
  std::vector<int> ids;
  for (const CtcToken& t : decoder.CollapseTimed(best.data(), 11)) ids.push_back(t.id);
  EXPECT_EQ(ids, decoder.Collapse(best.data(), 11));
  EXPECT_TRUE(decoder.CollapseTimed(nullptr, 3).empty());
  EXPECT_TRUE(decoder.CollapseTimed(best.data(), 0).empty());
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

std::vector<uint16_t> Halves(const std::vector<float>& values) {
  std::vector<uint16_t> halves;
  for (const float x : values) halves.push_back(FloatToHalf(x));
  return halves;
}

// The first maximum as a plain left-to-right strict scan finds it.
int PlainFirstMax(const float* row, int vocab) {
  int best = 0;
  for (int v = 1; v < vocab; ++v) {
    if (row[v] > row[best]) best = v;
  }
  return best;
}

// Both layouts, read in place, choose what the plain scan chooses on every
// frame, bit for bit, also with repeated maxima, signed zeros, infinities and
// NaNs (row 0 included), at frame counts and vocabularies on both sides of
// every vector, block and row-group width; only the first n frames are
// written.
//
// Half-precision logits of the same values (all exact in half precision)
// choose the same tokens.
TEST(CtcGreedyDecoder, BestTokensOfBothLayoutsAgreeWithAPlainScan) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float awkward[] = {0.0f, -0.0f, 1.0f, 1.0f, -1.0f, 2.0f, nan, inf, -inf, 0.5f};
  std::mt19937 rng(7);
  for (const int frames : {1, 2, 3, 4, 5, 7, 8, 9, 15, 17, 33, 1029}) {
    for (const int vocab : {1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 65, 97, 1001}) {
      if (frames * vocab > 300000) continue;
      for (const bool distinct : {false, true}) {
        std::vector<float> frame_major(static_cast<size_t>(frames) * vocab);
        for (float& x : frame_major) {
          x = distinct ? static_cast<float>(static_cast<int>(rng() % 4001) - 2000)
                       : awkward[rng() % 10];
        }
        std::vector<float> vocab_major(frame_major.size());
        for (int t = 0; t < frames; ++t) {
          for (int v = 0; v < vocab; ++v) {
            vocab_major[static_cast<size_t>(v) * frames + t] =
                frame_major[static_cast<size_t>(t) * vocab + v];
          }
        }
        for (const int n : {frames, frames - 1, 1}) {
          std::vector<int32_t> by_rows(frames, -7), by_columns(frames, -7);
          CtcGreedyDecoder::BestTokens(frame_major.data(), frames, vocab, false, n,
                                       by_rows.data());
          CtcGreedyDecoder::BestTokens(vocab_major.data(), frames, vocab, true, n,
                                       by_columns.data());
          std::vector<int32_t> by_half_rows(frames, -7), by_half_columns(frames, -7);
          const std::vector<uint16_t> half_rows = Halves(frame_major);
          const std::vector<uint16_t> half_columns = Halves(vocab_major);
          CtcGreedyDecoder::BestTokens(half_rows.data(), frames, vocab, false, n,
                                       by_half_rows.data());
          CtcGreedyDecoder::BestTokens(half_columns.data(), frames, vocab, true, n,
                                       by_half_columns.data());
          ASSERT_EQ(by_half_rows, by_rows) << "halves, frame-major T=" << frames << " V=" << vocab;
          ASSERT_EQ(by_half_columns, by_columns)
              << "halves, vocab-major T=" << frames << " V=" << vocab;
          for (int t = 0; t < frames; ++t) {
            const int32_t expected =
                t < n ? PlainFirstMax(&frame_major[static_cast<size_t>(t) * vocab], vocab) : -7;
            ASSERT_EQ(by_rows[t], expected) << "frame-major T=" << frames << " V=" << vocab
                                            << " n=" << n << " t=" << t;
            ASSERT_EQ(by_columns[t], expected) << "vocab-major T=" << frames << " V=" << vocab
                                               << " n=" << n << " t=" << t;
          }
          if (n == frames) {
            EXPECT_EQ(CtcGreedyDecoder::BestToken(frame_major.data(), vocab), by_rows[0]);
          }
        }
      }
    }
  }
}

TEST(CtcGreedyDecoder, BestTokensWithNothingToRead) {
  const std::vector<float> logits(8, 1.0f);
  std::vector<int32_t> best(2, -7);
  for (const bool vocab_major : {false, true}) {
    CtcGreedyDecoder::BestTokens(static_cast<const float*>(nullptr), 2, 4, vocab_major, 2,
                                 best.data());
    CtcGreedyDecoder::BestTokens(static_cast<const uint16_t*>(nullptr), 2, 4, vocab_major, 2,
                                 best.data());
    CtcGreedyDecoder::BestTokens(logits.data(), 2, 4, vocab_major, 0, best.data());
    CtcGreedyDecoder::BestTokens(logits.data(), 2, 0, vocab_major, 2, best.data());
    CtcGreedyDecoder::BestTokens(logits.data(), 0, 4, vocab_major, 2, best.data());
    CtcGreedyDecoder::BestTokens(logits.data(), 2, 4, vocab_major, 2, nullptr);
  }
  EXPECT_EQ(best, (std::vector<int32_t>{-7, -7}));
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
