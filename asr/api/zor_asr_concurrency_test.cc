// The header's thread promise, shown: separate contexts run on separate
// threads at once. Contexts of both engines are created at the same moment
// (so the first loads of the NPU runtime and of the mel filter bank race)
// and then transcribe side by side; the Whisper contexts share the process's
// filter cache. Built and run under ThreadSanitizer by scripts/test, which
// then reports any data race; here the texts must also come out right.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "whisper/whisper_test_files.h"
#include "zor_asr.h"

namespace {

constexpr int kThreads = 6;
constexpr int kRounds = 3;

std::string Dir() {
  const char* tmp = std::getenv("ZOR_TEST_TMP");
  const std::string base = tmp != nullptr ? tmp : "/tmp";
  ::mkdir(base.c_str(), 0755);
  const std::string dir = base + "/zor_asr_concurrency";
  ::mkdir(dir.c_str(), 0755);
  return dir;
}

std::string Write(const std::string& name, const std::string& bytes) {
  const std::string path = Dir() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::vector<int16_t> Audio(size_t n, int seed) {
  std::vector<int16_t> pcm(n);
  for (size_t i = 0; i < n; ++i) {
    pcm[i] = static_cast<int16_t>(7000 * std::sin(0.05 * static_cast<double>(i) + seed));
  }
  return pcm;
}

struct Outcome {
  bool init_ok = false;
  std::vector<std::string> texts;
};

TEST(ZorAsrConcurrency, ContextsOfBothEnginesRunOnSeparateThreads) {
  const char* sim = std::getenv("ZOR_SIM_NPURT");
  ASSERT_NE(sim, nullptr) << "ZOR_SIM_NPURT names the simulated NPU runtime";
  // Before any thread starts: the loader reads it at the first NPU call.
  setenv("ZOR_NPURT_PATH", sim, 1);

  const std::string sense_voice = Write(
      "sv.model",
      "behaviour sensevoice\n"
      "input name=speech dims=1,40,560 type=INT8 scale=0.25 role=speech\n"
      "input name=input_1 dims=1 type=INT32 role=language\n"
      "input name=input_2 dims=1 type=INT32 role=text_norm\n"
      "vocab 1024\ntokens 1 3 5 6 10 11\n");
  const std::string tokens =
      Write("tokens.txt",
            "<blk> 0\n<|en|> 1\n<|NEUTRAL|> 3\n<|Speech|> 5\n<|woitn|> 6\n"
            "\xE2\x96\x81hello 10\n\xE2\x96\x81world 11\n");
  const std::string encoder = Write("encoder.model",
                                    "behaviour whisper_encoder\n"
                                    "input name=mel dims=1,128,3000 type=FP32\n"
                                    "output name=features dims=1,4,8 type=FP32\n");
  const std::string decoder = Write("decoder.model",
                                    "behaviour whisper_decoder\n"
                                    "input name=tokens dims=1,48 type=INT64 role=tokens\n"
                                    "input name=audio dims=1,4,8 type=FP32 role=features\n"
                                    "output name=logits dims=1,48,51866 type=FP32\n"
                                    "tokens 100 101 50257\n");
  Write("tokenizer_info.bin", WhisperTokenizerBytes(WhisperTestVocabulary()));
  Write("data.bin", WhisperFlatFilterBank());
  const std::string whisper_dir = Dir();

  std::atomic<int> waiting{kThreads};
  std::vector<Outcome> outcomes(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const bool whisper = t % 2 == 1;
      ZOR_ASRInitConfig cfg{};
      cfg.model_type = whisper ? ZOR_ASR_MODEL_WHISPER : ZOR_ASR_MODEL_SENSEVOICE;
      cfg.model_path = whisper ? encoder.c_str() : sense_voice.c_str();
      cfg.decoder_path = whisper ? decoder.c_str() : nullptr;
      cfg.tokenizer_path = whisper ? whisper_dir.c_str() : tokens.c_str();
      cfg.extra_json = whisper ? "{\"n_threads\": 2}" : nullptr;
      // Every thread makes its first library call at the same moment.
      waiting.fetch_sub(1);
      while (waiting.load() > 0) std::this_thread::yield();
      ASRContext ctx = nullptr;
      outcomes[t].init_ok = zor_asr_init(&ctx, &cfg) == ZOR_ASR_Status_Success;
      if (!outcomes[t].init_ok) return;
      for (int round = 0; round < kRounds; ++round) {
        // Whisper gets more than 4.5 s every other round: the chunked path.
        const size_t n = whisper && round % 2 == 1 ? 90000 : 16000;
        const std::vector<int16_t> pcm = Audio(n, t * 10 + round);
        ZOR_ASRInput input{};
        input.audio_type = ZOR_ASR_AUDIO_PCM16;
        input.pcm = pcm.data();
        input.num_samples = static_cast<uint32_t>(pcm.size());
        input.language = "en";
        ZOR_ASRResult result{};
        if (zor_asr_transcribe(ctx, &input, &result) != ZOR_ASR_Status_Success) {
          outcomes[t].texts.push_back("<failed>");
          continue;
        }
        outcomes[t].texts.push_back(result.text != nullptr ? result.text : "<null>");
      }
      zor_asr_uninit(ctx);
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int t = 0; t < kThreads; ++t) {
    ASSERT_TRUE(outcomes[t].init_ok) << "thread " << t;
    const bool whisper = t % 2 == 1;
    ASSERT_EQ(outcomes[t].texts.size(), static_cast<size_t>(kRounds)) << "thread " << t;
    for (int round = 0; round < kRounds; ++round) {
      // Whisper: every chunk says " hello world", and the join keeps the
      // text the chunks share once.
      const std::string expected = whisper ? " hello world" : "hello world";
      EXPECT_EQ(outcomes[t].texts[round], expected) << "thread " << t << " round " << round;
    }
  }
}

}  // namespace
