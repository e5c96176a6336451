#include "sensevoice/sense_voice_features.h"

#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <cstring>

#include "kaldi-native-fbank/csrc/online-feature.h"

namespace {

constexpr float kSampleRate = 16000.0f;
constexpr int kFrameLengthSamples = 400;  // 25 ms at 16 kHz
// The network was trained on PCM16-scaled filter banks.
constexpr float kPcm16Scale = 32768.0f;

// Every option is set here, not left to the library's defaults, so that a
// new release of the library cannot silently change the network's input.
knf::FbankOptions SenseVoiceFbankOptions() {
  knf::FbankOptions opts;
  knf::FrameExtractionOptions& frame = opts.frame_opts;
  frame.samp_freq = kSampleRate;
  frame.frame_shift_ms = 10.0f;
  frame.frame_length_ms = 25.0f;
  frame.dither = 0.0f;
  frame.preemph_coeff = 0.97f;
  frame.remove_dc_offset = true;
  frame.window_type = "hamming";
  frame.round_to_power_of_two = true;
  frame.blackman_coeff = 0.42f;
  frame.snip_edges = false;

  knf::MelBanksOptions& mel = opts.mel_opts;
  mel.num_bins = kSenseVoiceMelBins;
  mel.low_freq = 20.0f;
  mel.high_freq = 0.0f;  // no upper cut-off
  mel.vtln_low = 100.0f;
  mel.vtln_high = -500.0f;
  mel.debug_mel = false;
  mel.htk_mode = false;
  mel.is_librosa = false;
  mel.norm = "slaney";
  mel.use_slaney_mel_scale = true;
  mel.floor_to_int_bin = false;

  opts.use_energy = false;
  opts.energy_floor = 0.0f;
  opts.raw_energy = true;
  opts.htk_compat = false;
  opts.use_log_fbank = true;
  opts.use_log_floor = true;
  opts.eps = FLT_EPSILON;
  opts.use_power = true;
  return opts;
}

void FillPadding(SenseVoiceFeatures& out, const std::string& pad_mode) {
  const size_t dim = kSenseVoiceFeatureDim;
  const size_t valid = static_cast<size_t>(out.valid_frames);
  const size_t total = static_cast<size_t>(out.frames);
  if (valid >= total || pad_mode == "zero") return;

  float* feats = out.feats.data();
  const float* fill = feats + (valid - 1) * dim;  // "edge": the last valid row
  std::vector<float> mean;
  if (pad_mode == "mean") {
    mean.assign(dim, 0.0f);
    for (size_t r = 0; r < valid; ++r) {
      const float* row = feats + r * dim;
      for (size_t c = 0; c < dim; ++c) mean[c] += row[c];
    }
    const float n = static_cast<float>(valid);
    for (float& m : mean) m /= n;
    fill = mean.data();
  }
  for (size_t r = valid; r < total; ++r) std::memcpy(feats + r * dim, fill, dim * sizeof(float));
}

}  // namespace

size_t SenseVoiceSamplesNeeded(int target_frames) {
  const size_t frames = target_frames > 0 ? static_cast<size_t>(target_frames)
                                          : static_cast<size_t>(kSenseVoiceDefaultFrames);
  // Row r uses filter-bank frames 6r .. 6r+6, so the last row ends at frame
  // 6F. Frame t covers samples [160t - 120, 160t + 280); two spare frames
  // keep the end-of-signal handling away from every frame that is used.
  const size_t last_frame = frames * kSenseVoiceStackShift + 2;
  return last_frame * kSenseVoiceFrameShiftSamples + kFrameLengthSamples;
}

SenseVoiceFeatures ExtractFeatures(const float* samples, int n_samples, int target_frames,
                                   const std::string& pad_mode) {
  SenseVoiceFeatures out;
  out.frames = target_frames > 0 ? target_frames : kSenseVoiceDefaultFrames;
  out.valid_frames = 0;
  out.feats.assign(static_cast<size_t>(out.frames) * kSenseVoiceFeatureDim, 0.0f);
  if (samples == nullptr || n_samples <= 0) return out;

  std::vector<float> scaled(static_cast<size_t>(n_samples));
  float* dst = scaled.data();
  int i = 0;
  for (; i + 4 <= n_samples; i += 4) {
    dst[i] = samples[i] * kPcm16Scale;
    dst[i + 1] = samples[i + 1] * kPcm16Scale;
    dst[i + 2] = samples[i + 2] * kPcm16Scale;
    dst[i + 3] = samples[i + 3] * kPcm16Scale;
  }
  for (; i < n_samples; ++i) dst[i] = samples[i] * kPcm16Scale;

  knf::OnlineGenericBaseFeature<knf::FbankComputer> fbank(SenseVoiceFbankOptions());
  fbank.AcceptWaveform(kSampleRate, dst, n_samples);
  fbank.InputFinished();
  const int fbank_frames = fbank.NumFramesReady();
  if (fbank_frames < kSenseVoiceStackWindow) {
    std::fprintf(stderr, "[SenseVoice] audio too short: fbank_frames=%d\n", fbank_frames);
    return out;
  }

  const int stacked = (fbank_frames - kSenseVoiceStackWindow) / kSenseVoiceStackShift + 1;
  out.valid_frames = std::min(out.frames, stacked);
  constexpr size_t kBinBytes = kSenseVoiceMelBins * sizeof(float);
  for (int r = 0; r < out.valid_frames; ++r) {
    float* row = out.feats.data() + static_cast<size_t>(r) * kSenseVoiceFeatureDim;
    for (int k = 0; k < kSenseVoiceStackWindow; ++k) {
      std::memcpy(row + k * kSenseVoiceMelBins,
                  fbank.GetFrame(r * kSenseVoiceStackShift + k), kBinBytes);
    }
  }
  FillPadding(out, pad_mode);
  return out;
}
