// zor_asr_transcribe of 10 s of audio end to end, on a simulated network that
// returns a prepared output (the run costs nothing, so what is measured is
// the host's work): host time per second of audio, its ratio to the feature
// extraction of the same audio, and the peak resident memory.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sensevoice/sense_voice_features.h"
#include "bench_util.h"
#include "zor_asr.h"

int main() {
  UseSimulatedRuntime(ZOR_BENCH_SIM_NPURT);
  const char* tmp_env = std::getenv("TMPDIR");
  const std::string dir = tmp_env != nullptr ? tmp_env : "/tmp";
  const std::string model = dir + "/sv_e2e.model", tokens = dir + "/sv_e2e_tokens.txt";
  {
    std::ofstream m(model);
    m << "behaviour prepared\n"
      << "input name=speech dims=1,800,560 type=INT8 scale=0.125 role=speech\n"
      << "input name=input_1 dims=1 type=INT32 role=language\n"
      << "input name=input_2 dims=1 type=INT32 role=text_norm\n"
      << "output dims=1,804,25055 type=FP32\ntokens 1 3 5 6";
    for (int i = 0; i < 150; ++i) m << ' ' << 100 + i;
    m << '\n';
    std::ofstream t(tokens);
    t << "<blk> 0\n<|en|> 1\n<|NEUTRAL|> 3\n<|Speech|> 5\n<|woitn|> 6\n";
    for (int i = 100; i < 25055; ++i) t << "\xE2\x96\x81w" << i << ' ' << i << '\n';
  }
  const long rss_before = PeakRssKiB();
  ZOR_ASRInitConfig cfg{};
  cfg.model_type = ZOR_ASR_MODEL_SENSEVOICE;
  cfg.model_path = model.c_str();
  cfg.tokenizer_path = tokens.c_str();
  ASRContext ctx = nullptr;
  if (zor_asr_init(&ctx, &cfg) != ZOR_ASR_Status_Success) {
    std::printf("zor_asr_init failed\n");
    return 1;
  }
  constexpr double kSeconds = 10.0;
  const std::vector<int16_t> pcm = BenchAudio(static_cast<size_t>(16000 * kSeconds));
  std::vector<float> audio(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) audio[i] = pcm[i] / 32768.0f;

  ZOR_ASRInput in{};
  in.audio_type = ZOR_ASR_AUDIO_PCM16;
  in.pcm = pcm.data();
  in.num_samples = static_cast<uint32_t>(pcm.size());
  int failures = 0;
  size_t sink = 0;
  auto transcribe = [&] {
    ZOR_ASRResult r{};
    if (zor_asr_transcribe(ctx, &in, &r) != ZOR_ASR_Status_Success) ++failures;
    sink += r.text != nullptr ? std::string(r.text).size() : 0;
  };
  auto features = [&] {
    sink += ExtractFeatures(audio.data(), static_cast<int>(audio.size()), 800, "edge").valid_frames;
  };
  transcribe();
  double cand = 1e300, base = 1e300;
  for (int round = 0; round < 3; ++round) {
    cand = std::min(cand, BestSeconds(3, transcribe));
    base = std::min(base, BestSeconds(3, features));
  }
  zor_asr_uninit(ctx);
  std::printf("sensevoice end to end: %zu samples (%.0f s), prepared network, %ld cores\n",
              pcm.size(), kSeconds, CoreCount());
  std::printf("  zor_asr_transcribe %.2f ms = %.2f ms per second of audio (real-time factor %.4f)\n",
              cand * 1e3, cand * 1e3 / kSeconds, cand / kSeconds);
  std::printf("  ratio to ExtractFeatures alone (%.2f ms): %.2f\n", base * 1e3, cand / base);
  std::printf("  peak resident memory %.1f MiB (%.1f MiB before the engine)\n",
              PeakRssKiB() / 1024.0, rss_before / 1024.0);
  return failures != 0 || sink == 0;
}
