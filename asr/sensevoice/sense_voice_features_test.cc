#include "sensevoice/sense_voice_features.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "kaldi-native-fbank/csrc/online-feature.h"

namespace {

// A chirp with some noise-like texture, so that every stacked row differs.
std::vector<float> Audio(int n) {
  std::vector<float> x(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const double t = i / 16000.0;
    x[i] = static_cast<float>(0.3 * std::sin(2 * M_PI * (200 + 900 * t) * t) +
                              0.05 * std::sin(i * 0.731 + std::sin(i * 0.013)));
  }
  return x;
}

// Filter-bank frames of the same audio computed straight with the library,
// from PCM16-scaled samples.
std::vector<std::vector<float>> ReferenceFbank(const std::vector<float>& audio) {
  knf::FbankOptions opts;
  opts.frame_opts.dither = 0;
  opts.frame_opts.window_type = "hamming";
  opts.frame_opts.snip_edges = false;
  opts.mel_opts.num_bins = 80;
  knf::OnlineFbank fbank(opts);
  std::vector<float> scaled(audio);
  for (float& v : scaled) v *= 32768.0f;
  fbank.AcceptWaveform(16000, scaled.data(), static_cast<int>(scaled.size()));
  fbank.InputFinished();
  std::vector<std::vector<float>> frames;
  for (int i = 0; i < fbank.NumFramesReady(); ++i) {
    frames.emplace_back(fbank.GetFrame(i), fbank.GetFrame(i) + 80);
  }
  return frames;
}

const float* Row(const SenseVoiceFeatures& f, int r) { return f.feats.data() + r * 560; }

bool RowsEqual(const float* a, const float* b) { return std::memcmp(a, b, 560 * sizeof(float)) == 0; }

bool RowIsZero(const float* a) {
  for (int c = 0; c < 560; ++c) {
    if (a[c] != 0.0f) return false;
  }
  return true;
}

TEST(SenseVoiceFeatures, OneSecondStacksSevenFramesEverySixAndPadsWithTheLastRow) {
  const std::vector<float> audio = Audio(16000);
  const SenseVoiceFeatures f = ExtractFeatures(audio.data(), 16000, 0, "");
  const auto ref = ReferenceFbank(audio);
  ASSERT_EQ(ref.size(), 100u);
  EXPECT_EQ(f.frames, 800);
  EXPECT_EQ(f.valid_frames, 16);  // (100 - 7) / 6 + 1
  ASSERT_EQ(f.feats.size(), 800u * 560u);
  for (int r = 0; r < 16; ++r) {
    for (int k = 0; k < 7; ++k) {
      for (int b = 0; b < 80; ++b) {
        ASSERT_FLOAT_EQ(Row(f, r)[k * 80 + b], ref[6 * r + k][b]) << "row " << r << " frame " << k;
      }
    }
  }
  EXPECT_FALSE(RowsEqual(Row(f, 14), Row(f, 15)));
  for (int r = 16; r < 800; ++r) ASSERT_TRUE(RowsEqual(Row(f, r), Row(f, 15))) << r;
}

TEST(SenseVoiceFeatures, PadModes) {
  const std::vector<float> audio = Audio(16000);
  const SenseVoiceFeatures edge = ExtractFeatures(audio.data(), 16000, 20, "edge");
  const SenseVoiceFeatures unknown = ExtractFeatures(audio.data(), 16000, 20, "reflect");
  const SenseVoiceFeatures zero = ExtractFeatures(audio.data(), 16000, 20, "zero");
  const SenseVoiceFeatures mean = ExtractFeatures(audio.data(), 16000, 20, "mean");
  EXPECT_EQ(edge.feats, unknown.feats);
  for (const SenseVoiceFeatures* f : {&edge, &zero, &mean}) {
    EXPECT_EQ(f->valid_frames, 16);
    EXPECT_EQ(f->frames, 20);
    for (int r = 0; r < 16; ++r) EXPECT_TRUE(RowsEqual(Row(*f, r), Row(edge, r)));
  }
  std::vector<float> column_mean(560, 0.0f);
  for (int r = 0; r < 16; ++r) {
    for (int c = 0; c < 560; ++c) column_mean[c] += Row(edge, r)[c];
  }
  for (float& m : column_mean) m /= 16.0f;
  for (int r = 16; r < 20; ++r) {
    EXPECT_TRUE(RowIsZero(Row(zero, r)));
    EXPECT_TRUE(RowsEqual(Row(edge, r), Row(edge, 15)));
    for (int c = 0; c < 560; ++c) ASSERT_FLOAT_EQ(Row(mean, r)[c], column_mean[c]);
  }
}

TEST(SenseVoiceFeatures, CropsToTheTargetAndDefaultsTo800) {
  const std::vector<float> audio = Audio(16000);
  const SenseVoiceFeatures full = ExtractFeatures(audio.data(), 16000, 800, "edge");
  const SenseVoiceFeatures cropped = ExtractFeatures(audio.data(), 16000, 10, "edge");
  EXPECT_EQ(cropped.valid_frames, 10);
  EXPECT_EQ(cropped.frames, 10);
  ASSERT_EQ(cropped.feats.size(), 10u * 560u);
  EXPECT_TRUE(std::equal(cropped.feats.begin(), cropped.feats.end(), full.feats.begin()));
  EXPECT_EQ(ExtractFeatures(audio.data(), 16000, -3, "edge").frames, 800);
}

TEST(SenseVoiceFeatures, ShortOrMissingAudioGivesZerosWithNoValidRows) {
  const std::vector<float> audio = Audio(2000);
  // 900 samples make 6 filter-bank frames, one short of a stacked row.
  testing::internal::CaptureStderr();
  const SenseVoiceFeatures too_short = ExtractFeatures(audio.data(), 900, 5, "edge");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[SenseVoice] audio too short: fbank_frames=6\n");
  EXPECT_EQ(too_short.valid_frames, 0);
  EXPECT_EQ(too_short.frames, 5);
  EXPECT_EQ(too_short.feats, std::vector<float>(5 * 560, 0.0f));

  // 1100 samples make exactly 7 frames: one row, repeated as padding.
  const SenseVoiceFeatures one = ExtractFeatures(audio.data(), 1100, 3, "edge");
  EXPECT_EQ(one.valid_frames, 1);
  EXPECT_FALSE(RowIsZero(Row(one, 0)));
  EXPECT_TRUE(RowsEqual(Row(one, 2), Row(one, 0)));

  testing::internal::CaptureStderr();
  const SenseVoiceFeatures none = ExtractFeatures(nullptr, 16000, 4, "edge");
  const SenseVoiceFeatures empty = ExtractFeatures(audio.data(), 0, 4, "edge");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(none.valid_frames, 0);
  EXPECT_EQ(empty.valid_frames, 0);
  EXPECT_EQ(none.feats, std::vector<float>(4 * 560, 0.0f));
}

TEST(SenseVoiceFeatures, AudioBeyondTheSamplesNeededChangesNoRow) {
  const std::vector<float> audio = Audio(16000 * 3);
  for (int frames : {1, 10, 30}) {
    const size_t needed = SenseVoiceSamplesNeeded(frames);
    ASSERT_LT(needed, audio.size());
    const SenseVoiceFeatures full = ExtractFeatures(audio.data(), 48000, frames, "edge");
    const SenseVoiceFeatures trimmed =
        ExtractFeatures(audio.data(), static_cast<int>(needed), frames, "edge");
    EXPECT_EQ(trimmed.valid_frames, frames);
    EXPECT_EQ(full.feats, trimmed.feats) << frames;
  }
}

}  // namespace
