// zor_asr_transcribe of a 1-minute recording with the Whisper engine end to
// end, on simulated networks that cost next to nothing (a 32-float encoder
// output, a decoder that answers a scripted token), so what is measured is
// the host's work: host time per second of audio (the transcription's time
// less what it spent inside the simulated runtime, which keeps count), and
// its ratio to the log-mel spectrograms of the same chunks computed alone,
// at 1 and 2 threads, for chunks that decode to nothing and to 12 tokens
// each (every token is one more decoder step, whose 51,866 logits the host
// reads), with float and with half-precision logits. The wall time, runtime
// included, is printed beside it; then what one step's read of the logits
// costs against a plain copy of the same row.
// Usage: whisper_e2e_bench [repetitions]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "whisper/log_mel.h"
#include "whisper/logits_argmax.h"
#include "whisper/whisper_chunks.h"
#include "whisper/whisper_test_files.h"
#include "zor_asr.h"

namespace {

constexpr int kSeconds = 60;
constexpr int kEncoderFrames = 3000;  // what the encoder takes: 30 s
struct Decoding {
  int tokens_per_chunk;  // 12: about what 4 s of speech decodes to
  const char* logits_type;
};
constexpr Decoding kDecodings[] = {{0, "FP32"}, {12, "FP32"}, {12, "FP16"}};
constexpr int kDecodingCount = sizeof(kDecodings) / sizeof(kDecodings[0]);

std::string DecoderName(int d) { return "decoder" + std::to_string(d) + ".model"; }

constexpr size_t kVocab = 51866;
constexpr size_t kRows = 48;  // the decoder's output: one row per window position

// A decoder step's read of its row against a memcpy of the row, rows taken
// in turn from an output of 48 as the runtime's, which is larger than the
// second-level cache: the argmax's floor is the memory's speed.
template <typename T, typename Argmax>
void CompareWithCopy(const char* type, int reps, Argmax argmax, size_t& sink) {
  std::vector<T> output(kRows * kVocab);
  for (size_t i = 0; i < output.size(); ++i) output[i] = static_cast<T>((i * 2654435761u) % 1000);
  std::vector<T> copy(kVocab);
  size_t row = 0;
  const auto argmax_rows = [&] {
    for (size_t r = 0; r < kRows; ++r, row = (row + 1) % kRows) {
      sink += argmax(output.data() + row * kVocab, kVocab);
    }
  };
  const auto copy_rows = [&] {
    for (size_t r = 0; r < kRows; ++r, row = (row + 1) % kRows) {
      std::memcpy(copy.data(), output.data() + row * kVocab, kVocab * sizeof(T));
      sink += copy[r];
    }
  };
  const double per_row = 1e6 / kRows;
  const double argmax_us = BestSeconds(reps * 10, argmax_rows) * per_row;
  const double copy_us = BestSeconds(reps * 10, copy_rows) * per_row;
  std::printf("  one row of %zu %s logits: argmax %.2f us, memcpy %.2f us, ratio %.2f\n", kVocab,
              type, argmax_us, copy_us, argmax_us / copy_us);
}

// A vocabulary of 300 short words: count, then length-prefixed texts.
std::string tokenizer_file() {
  std::vector<std::string> texts;
  for (int i = 0; i < 300; ++i) texts.push_back("\xC4\xA0w" + std::to_string(i));  // U+0120: space
  return WhisperTokenizerBytes(texts);
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  UseSimulatedRuntime(ZOR_BENCH_SIM_NPURT);
  const std::string dir = MakeBenchDir("whisper_e2e_bench");
  if (dir.empty()) return 1;
  if (!WriteWhisperBenchFiles(dir, tokenizer_file())) return 1;
  for (int d = 0; d < kDecodingCount; ++d) {
    std::string tokens = "tokens";
    for (int i = 0; i < kDecodings[d].tokens_per_chunk; ++i) tokens += " " + std::to_string(100 + i);
    WriteWhisperBenchDecoder(dir + "/" + DecoderName(d), tokens, kDecodings[d].logits_type);
  }
  // The engine keeps a filter bank only once its file times are a few
  // seconds old, as an installed one is; let this fresh file age that far.
  std::this_thread::sleep_for(std::chrono::seconds(3));

  const std::vector<int16_t> pcm = BenchAudio(static_cast<size_t>(16000) * kSeconds);
  const std::vector<whisper_chunk> chunks = plan_whisper_chunks(pcm.size());
  std::vector<std::vector<float>> chunk_audio;
  for (const whisper_chunk& c : chunks) {
    std::vector<float> samples(c.length);
    for (size_t i = 0; i < c.length; ++i) samples[i] = pcm[c.offset + i] / 32768.0f;
    chunk_audio.push_back(std::move(samples));
  }
  std::printf("whisper end to end: %zu samples (%d s) in %zu chunks, simulated networks, "
              "nproc = %ld, best of %d runs\n", pcm.size(), kSeconds, chunks.size(), CoreCount(),
              reps);
  std::printf("%8s %13s %7s %10s %8s %10s %8s %6s %10s\n", "threads", "tokens/chunk", "logits",
              "wall ms/s", "runtime", "host ms/s", "log-mel", "ratio", "wall ratio");
  int failures = 0;
  size_t sink = 0;
  for (int threads : {1, 2}) {
    double host_seconds[kDecodingCount] = {};
    for (int d = 0; d < kDecodingCount; ++d) {
      const std::string model = dir + "/encoder.model";
      const std::string decoder = dir + "/" + DecoderName(d);
      const std::string extra = "{\"n_threads\": " + std::to_string(threads) + "}";
      ZOR_ASRInitConfig cfg{};
      cfg.model_type = ZOR_ASR_MODEL_WHISPER;
      cfg.model_path = model.c_str();
      cfg.decoder_path = decoder.c_str();
      cfg.tokenizer_path = dir.c_str();
      cfg.extra_json = extra.c_str();
      ASRContext ctx = nullptr;
      if (zor_asr_init(&ctx, &cfg) != ZOR_ASR_Status_Success) {
        std::printf("zor_asr_init failed\n");
        return 1;
      }
      ZOR_ASRInput in{};
      in.audio_type = ZOR_ASR_AUDIO_PCM16;
      in.pcm = pcm.data();
      in.num_samples = static_cast<uint32_t>(pcm.size());
      in.language = "en";
      const auto transcribe = [&] {
        ZOR_ASRResult r{};
        if (zor_asr_transcribe(ctx, &in, &r) != ZOR_ASR_Status_Success) ++failures;
        sink += r.text != nullptr ? std::string(r.text).size() : 0;
      };
      // The spectrograms the engine computes, one per chunk, alone: its
      // first 3000 frames straight into a reused encoder input, as the engine
      // computes them.
      whisper_filters filters;
      filters.mel_bins = 128;
      filters.fft_bins = 201;
      filters.path = dir + "/data.bin";
      std::vector<float> encoder_input(size_t{128} * kEncoderFrames);
      const auto log_mels = [&] {
        for (const std::vector<float>& samples : chunk_audio) {
          if (whisper_pcm_to_mel_frames(filters, samples.data(), static_cast<int>(samples.size()),
                                        threads, encoder_input.data(), kEncoderFrames) != 0) {
            ++failures;
          }
          sink += encoder_input[0] != 0.0f;
        }
      };
      transcribe();
      double wall = 1e300, e2e = 1e300, mel = 1e300;
      for (int round = 0; round < 3; ++round) {
        wall = std::min(wall, BestSeconds(reps, transcribe));
        e2e = std::min(e2e, BestHostSeconds(reps, transcribe));
        mel = std::min(mel, BestSeconds(reps, log_mels));
      }
      zor_asr_uninit(ctx);
      const double per_second = 1e3 / kSeconds;
      std::printf("%8d %13d %7s %10.3f %8.3f %10.3f %8.3f %6.2f %10.2f\n", threads,
                  kDecodings[d].tokens_per_chunk, kDecodings[d].logits_type, wall * per_second,
                  (wall - e2e) * per_second, e2e * per_second, mel * per_second, e2e / mel,
                  wall / mel);
      host_seconds[d] = e2e;
    }
    // A chunk takes one decoder step per token and one for the end.
    for (int d = 1; d < kDecodingCount; ++d) {
      const double extra_steps = static_cast<double>(chunks.size()) *
                                 (kDecodings[d].tokens_per_chunk - kDecodings[0].tokens_per_chunk);
      std::printf("%8s each further decoder step with %s logits, host: %.1f us\n", "",
                  kDecodings[d].logits_type,
                  (host_seconds[d] - host_seconds[0]) / extra_steps * 1e6);
    }
  }
  CompareWithCopy<float>("FP32", reps, logits_argmax, sink);
  CompareWithCopy<uint16_t>("FP16", reps, logits_argmax_f16, sink);
  std::system(("rm -rf '" + dir + "'").c_str());
  return failures != 0 || sink == 0;
}
