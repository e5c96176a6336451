// ExtractFeatures on 10 s of audio against the bare filter-bank computation
// of the same audio: what scaling, stacking and padding add.
#include <cstdio>
#include <vector>

#include "kaldi-native-fbank/csrc/online-feature.h"
#include "sensevoice/sense_voice_features.h"
#include "bench_util.h"

int main() {
  constexpr int kSamples = 16000 * 10;
  const std::vector<int16_t> pcm = BenchAudio(kSamples);
  std::vector<float> audio(kSamples);
  for (int i = 0; i < kSamples; ++i) audio[i] = pcm[i] / 32768.0f;

  knf::FbankOptions opts;
  opts.frame_opts.dither = 0;
  opts.frame_opts.window_type = "hamming";
  opts.frame_opts.snip_edges = false;
  opts.mel_opts.num_bins = 80;
  std::vector<float> scaled(audio);
  for (float& v : scaled) v *= 32768.0f;

  float sink = 0;
  auto bare = [&] {
    knf::OnlineFbank fbank(opts);
    fbank.AcceptWaveform(16000, scaled.data(), kSamples);
    fbank.InputFinished();
    sink += fbank.GetFrame(fbank.NumFramesReady() - 1)[0];
  };
  auto ours = [&] {
    const SenseVoiceFeatures f = ExtractFeatures(audio.data(), kSamples, 800, "edge");
    sink += f.feats[f.feats.size() - 1];
  };
  // Interleaved, so both see the same machine load.
  double base = 1e300, cand = 1e300;
  for (int round = 0; round < 12; ++round) {
    base = std::min(base, BestSeconds(3, bare));
    cand = std::min(cand, BestSeconds(3, ours));
  }
  std::printf("sensevoice features: %d samples (10 s), %ld cores\n", kSamples, CoreCount());
  std::printf("  bare filter bank   %.3f ms\n", base * 1e3);
  std::printf("  ExtractFeatures    %.3f ms\n", cand * 1e3);
  std::printf("  ratio %.3f (target <= 1.15)\n", cand / base);
  return sink == 12345.678f ? 1 : 0;
}
