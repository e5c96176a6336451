// Input features of the SenseVoice network: 80-bin log-mel filter banks,
// seven consecutive frames stacked into one 560-wide row every six frames
// (low frame rate), padded or cropped to the model's frame count.
#ifndef ZOR_ASR_SENSEVOICE_SENSE_VOICE_FEATURES_H_
#define ZOR_ASR_SENSEVOICE_SENSE_VOICE_FEATURES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "npu/sense_voice_network.h"

constexpr int kSenseVoiceStackShift = 6;
constexpr int kSenseVoiceFrameShiftSamples = 160;  // 10 ms at 16 kHz
// Audio one stacked row, and so one output frame of the network, stands for.
constexpr int kSenseVoiceSamplesPerRow = kSenseVoiceStackShift * kSenseVoiceFrameShiftSamples;

struct SenseVoiceFeatures {
  std::vector<float> feats;  // frames x 560, row by row
  int32_t valid_frames = 0;  // leading rows computed from audio; the rest is padding
  int32_t frames = 0;        // always the target frame count
};

// samples: mono 16 kHz audio, nominally in [-1, 1). target_frames <= 0 means
// 800. pad_mode is "zero", "mean" or "edge"; anything else (including "")
// behaves as "edge". Never fails: unusable audio gives all-zero rows with
// valid_frames 0 (and one "[SenseVoice] audio too short" line when the audio
// yields fewer than seven filter-bank frames).
SenseVoiceFeatures ExtractFeatures(const float* samples, int n_samples, int target_frames,
                                   const std::string& pad_mode);

// How many leading samples fully determine the first target_frames stacked
// rows. Audio beyond that is cropped away by ExtractFeatures anyway, so a
// caller may pass only this many samples and get identical rows (and keeps
// the sample count within int range for long recordings).
size_t SenseVoiceSamplesNeeded(int target_frames);

#endif  // ZOR_ASR_SENSEVOICE_SENSE_VOICE_FEATURES_H_
