// Host time per second of audio for a 1-minute and a 1-hour recording with
// the Whisper engine, on simulated networks that cost next to nothing and
// give every chunk its own 45-token text (so the joined text grows with the
// recording, to about 2 MB for the hour). Joining a chunk's text must not
// cost more the longer the text so far: the ratio hour / minute should be
// 1. Measured as processor time of the whole process (the log-mel workers
// included), which other work on a shared machine disturbs less than the
// wall clock. For comparison, the joins alone: the engine's joiner against
// merging each chunk text into the whole text, over the texts of the hour.
// Usage: whisper_long_bench [repetitions of the minute]
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "whisper/whisper_chunks.h"
#include "whisper/whisper_test_files.h"
#include "zor_asr.h"

namespace {

constexpr int kTokens = 300;

// Words of about 40 bytes, so a chunk's text is long enough to matter.
std::string word(int i) { return " word" + std::to_string(i) + std::string(32, 'a' + i % 26); }

std::string tokenizer_file() {
  std::vector<std::string> texts;
  for (int i = 0; i < kTokens; ++i) texts.push_back("\xC4\xA0" + word(i).substr(1));  // U+0120: space
  return WhisperTokenizerBytes(texts);
}

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Best of `repeats` runs, in seconds of processor time.
template <typename F>
double BestCpuSeconds(int repeats, F&& run) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    const double start = ProcessCpuSeconds();
    run();
    best = std::min(best, ProcessCpuSeconds() - start);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  UseSimulatedRuntime(ZOR_BENCH_SIM_NPURT);
  const std::string dir = MakeBenchDir("whisper_long_bench");
  if (dir.empty()) return 1;
  if (!WriteWhisperBenchFiles(dir, tokenizer_file())) return 1;
  std::string tokens = "tokens";
  for (int i = 0; i < kTokens; ++i) tokens += " " + std::to_string(i);
  WriteWhisperBenchDecoder(dir + "/decoder.model", tokens + "\nnever_end 1\nvary_script 1");
  // The engine keeps a filter bank only once its file times are a few
  // seconds old, as an installed one is.
  std::this_thread::sleep_for(std::chrono::seconds(3));

  const std::string model = dir + "/encoder.model";
  const std::string decoder = dir + "/decoder.model";
  ZOR_ASRInitConfig cfg{};
  cfg.model_type = ZOR_ASR_MODEL_WHISPER;
  cfg.model_path = model.c_str();
  cfg.decoder_path = decoder.c_str();
  cfg.tokenizer_path = dir.c_str();
  cfg.extra_json = "{\"n_threads\": 2}";
  ASRContext ctx = nullptr;
  if (zor_asr_init(&ctx, &cfg) != ZOR_ASR_Status_Success) {
    std::printf("zor_asr_init failed\n");
    return 1;
  }
  std::printf("whisper, long recordings: simulated networks, 45 tokens of ~40 bytes a chunk, "
              "2 log-mel threads, nproc = %ld\n", CoreCount());
  std::printf("%10s %8s %10s %18s %16s\n", "recording", "chunks", "text MB", "host cpu ms/s",
              "ratio to 1 min");
  int failures = 0;
  double minute_per_second = 0;
  std::string hour_text;
  for (int seconds : {60, 3600}) {
    const std::vector<int16_t> pcm = BenchAudio(static_cast<size_t>(16000) * seconds);
    ZOR_ASRInput in{};
    in.audio_type = ZOR_ASR_AUDIO_PCM16;
    in.pcm = pcm.data();
    in.num_samples = static_cast<uint32_t>(pcm.size());
    in.language = "en";
    size_t text_bytes = 0;
    const double took = BestCpuSeconds(seconds == 60 ? reps : 1, [&] {
      ZOR_ASRResult r{};
      if (zor_asr_transcribe(ctx, &in, &r) != ZOR_ASR_Status_Success || r.text == nullptr) {
        ++failures;
        return;
      }
      text_bytes = std::string(r.text).size();
    });
    const double per_second = took * 1e3 / seconds;
    if (seconds == 60) minute_per_second = per_second;
    std::printf("%8d s %8zu %10.2f %18.3f %16.2f\n", seconds,
                plan_whisper_chunks(pcm.size()).size(), text_bytes / 1e6, per_second,
                per_second / minute_per_second);
  }
  zor_asr_uninit(ctx);

  // The joins alone, over chunk texts like the hour's (45 words each, the
  // first few repeating the end of the text before, as overlapping audio does).
  std::vector<std::string> texts;
  for (int c = 0; c < 1125; ++c) {
    std::string t;
    for (int k = 0; k < 45; ++k) t += word((c * 45 + k - 2 * (c > 0)) % kTokens);
    texts.push_back(t);
  }
  size_t sink = 0;
  const double joiner = BestSeconds(1, [&] {
    whisper_text_joiner j;
    for (const std::string& t : texts) j.append(t);
    sink += j.text().size();
  });
  const double whole = BestSeconds(1, [&] {
    std::string acc;
    for (const std::string& t : texts) merge_chunk_text(acc, t);
    sink += acc.size();
  });
  std::printf("joins of 1125 chunk texts (%.2f MB): joiner %.3f ms, merging into the whole "
              "text %.3f ms, ratio %.1f\n", sink / 2e6, joiner * 1e3, whole * 1e3, whole / joiner);
  std::system(("rm -rf '" + dir + "'").c_str());
  return failures != 0;
}
