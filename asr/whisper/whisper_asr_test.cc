// The Whisper engine end to end: through the public C interface (and the
// engine entry points where the front door hides what is tested), on the
// simulated NPU runtime, which records what the networks received.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "api/asr_engines.h"
#include "whisper/log_mel.h"
#include "whisper/whisper_test_files.h"
#include "zor_asr.h"

namespace {

constexpr int64_t kEot = 50257;
constexpr int64_t kSot = 50258;
constexpr int64_t kEn = 50259;
constexpr int64_t kDe = 50261;
constexpr int64_t kTranslate = 50359;
constexpr int64_t kTranscribe = 50360;
constexpr int64_t kNoTimestamps = 50364;
constexpr int kFeatureFloats = 32;  // the simulated encoder's output, [1, 4, 8]

// Token texts of the test vocabulary, in the byte-level BPE alphabet.
constexpr int64_t kHello = 100;   // " hello"
constexpr int64_t kWorld = 101;   // " world"
constexpr int64_t kEacute = 102;  // "é"

// The simulated runtime's inspection interface, from the same instance that
// libfenn loaded.
struct Sim {
  void* handle = nullptr;
  void (*reset)() = nullptr;
  int64_t (*count)(const char*) = nullptr;
  int64_t (*record)(const char*, void*, int64_t) = nullptr;

  std::vector<uint8_t> Record(const char* name) const {
    const int64_t n = record(name, nullptr, 0);
    if (n < 0) return {};
    std::vector<uint8_t> out(static_cast<size_t>(n));
    record(name, out.data(), n);
    return out;
  }
  // Every decoder token window received, each cut at its last non-zero slot.
  std::vector<std::vector<int64_t>> Windows() const {
    const std::vector<uint8_t> raw = Record("decoder_windows");
    std::vector<std::vector<int64_t>> windows;
    for (size_t off = 0; off + 384 <= raw.size(); off += 384) {
      std::vector<int64_t> w(48);
      std::memcpy(w.data(), raw.data() + off, 384);
      while (!w.empty() && w.back() == 0) w.pop_back();
      windows.push_back(w);
    }
    return windows;
  }
};

std::string g_dir;
Sim g_sim;

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TokenizerFile(int count_override = -1) {
  return WhisperTokenizerBytes(WhisperTestVocabulary(), count_override);
}

std::string ModelPath(const std::string& name, const std::string& text) {
  const std::string path = g_dir + "/" + name + ".model";
  WriteFile(path, text);
  return path;
}

std::string EncoderModel(const std::string& extra = "") {
  return "behaviour whisper_encoder\n"
         "input name=mel dims=1,128,3000 type=FP32\n"
         "output name=features dims=1,4,8 type=FP32\n" +
         extra;
}

// The token window at index 0 unless audio_first.
std::string DecoderModel(const std::string& extra, bool audio_first = false,
                         const std::string& feature_dims = "1,4,8",
                         const std::string& logits_type = "FP32") {
  const std::string tokens = "input name=tokens dims=1,48 type=INT64 role=tokens\n";
  const std::string audio = "input name=audio dims=" + feature_dims + " type=FP32 role=features\n";
  return "behaviour whisper_decoder\n" + (audio_first ? audio + tokens : tokens + audio) +
         "output name=logits dims=1,48,51866 type=" + logits_type + "\n" + extra;
}

std::vector<int16_t> Pcm(size_t n) {
  std::vector<int16_t> pcm(n);
  uint32_t state = 12345;
  for (size_t i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    const double tone = 8000.0 * std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / 16000.0);
    pcm[i] = static_cast<int16_t>(tone + static_cast<double>((state >> 16) % 2001) - 1000.0);
  }
  return pcm;
}

// The encoder input the engine must build for samples [offset, offset + n).
std::vector<float> ExpectedEncoderInput(const std::vector<int16_t>& pcm, size_t offset,
                                        size_t n) {
  std::vector<float> samples(n);
  for (size_t i = 0; i < n; ++i) samples[i] = static_cast<float>(pcm[offset + i]) / 32768.0f;
  whisper_context ctx;
  whisper_segment_state state;
  EXPECT_EQ(whisper_pcm_to_mel_with_state(&ctx, &state, samples.data(), static_cast<int>(n), 2),
            0);
  std::vector<float> input(128 * 3000);
  for (size_t bin = 0; bin < 128; ++bin) {
    for (size_t f = 0; f < 3000; ++f) {
      input[bin * 3000 + f] = state.mel.values[bin * static_cast<size_t>(state.mel.frames) + f];
    }
  }
  return input;
}

std::vector<float> AsFloats(const std::vector<uint8_t>& bytes) {
  std::vector<float> out(bytes.size() / 4);
  std::memcpy(out.data(), bytes.data(), out.size() * 4);
  return out;
}

class WhisperAsr : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* sim = std::getenv("ZOR_SIM_NPURT");
    ASSERT_NE(sim, nullptr) << "ZOR_SIM_NPURT names the simulated NPU runtime";
    setenv("ZOR_NPURT_PATH", sim, 1);
    g_sim.handle = dlopen(sim, RTLD_NOW);
    ASSERT_NE(g_sim.handle, nullptr) << dlerror();
    g_sim.reset = reinterpret_cast<void (*)()>(dlsym(g_sim.handle, "zornn_sim_reset"));
    g_sim.count = reinterpret_cast<int64_t (*)(const char*)>(dlsym(g_sim.handle, "zornn_sim_count"));
    g_sim.record = reinterpret_cast<int64_t (*)(const char*, void*, int64_t)>(
        dlsym(g_sim.handle, "zornn_sim_record"));
    ASSERT_TRUE(g_sim.reset && g_sim.count && g_sim.record);

    const char* tmp = std::getenv("ZOR_TEST_TMP");
    const std::string base = tmp != nullptr ? tmp : "/tmp";
    mkdir(base.c_str(), 0755);
    g_dir = base + "/whisper_asr_test";
    mkdir(g_dir.c_str(), 0755);
    WriteFile(g_dir + "/tokenizer_info.bin", TokenizerFile());
    WriteFile(g_dir + "/data.bin", WhisperFlatFilterBank());
    // The filter path is process-wide; the local spectrograms use it too.
    const std::string filters_path = g_dir + "/data.bin";
    whisper_set_mel_filters_path(filters_path.c_str());
  }

  void SetUp() override { g_sim.reset(); }

  void TearDown() override {
    if (ctx_ != nullptr) zor_asr_uninit(ctx_);
  }

  // A context over the given model texts, through the front door.
  bool Init(const std::string& encoder, const std::string& decoder,
            const char* extra_json = "{\"n_threads\": 2}") {
    const std::string enc = ModelPath("encoder", encoder);
    const std::string dec = ModelPath("decoder", decoder);
    ZOR_ASRInitConfig cfg{};
    cfg.model_type = ZOR_ASR_MODEL_WHISPER;
    cfg.model_path = enc.c_str();
    cfg.decoder_path = dec.c_str();
    cfg.tokenizer_path = g_dir.c_str();
    cfg.extra_json = extra_json;
    return zor_asr_init(&ctx_, &cfg) == ZOR_ASR_Status_Success;
  }

  // One transcription of pcm; fills text_ and language_ on success.
  // With timestamps, also fills segments_ and checks the labels stay null.
  int Transcribe(const std::vector<int16_t>& pcm, const char* language = "en",
                 const char* task = nullptr, bool timestamps = false) {
    ZOR_ASRInput input{};
    input.timestamps = timestamps ? 1 : 0;
    input.audio_type = ZOR_ASR_AUDIO_PCM16;
    input.pcm = pcm.data();
    input.num_samples = static_cast<uint32_t>(pcm.size());
    input.language = language;
    input.task = task;
    ZOR_ASRResult result{};
    const int status = zor_asr_transcribe(ctx_, &input, &result);
    text_ = result.text != nullptr ? result.text : "<null>";
    language_ = result.language != nullptr ? result.language : "<null>";
    segments_.clear();
    for (uint32_t i = 0; i < result.n_segments; ++i) {
      const ZOR_ASRSegment& s = result.segments[i];
      segments_.push_back({s.start_ms, s.end_ms, s.text});
    }
    EXPECT_EQ(result.emotion, nullptr);
    EXPECT_EQ(result.event, nullptr);
    if (!timestamps) {
      EXPECT_EQ(result.segments, nullptr);
    }
    return status;
  }

  struct Segment {
    uint32_t start_ms;
    uint32_t end_ms;
    std::string text;
    bool operator==(const Segment& o) const {
      return start_ms == o.start_ms && end_ms == o.end_ms && text == o.text;
    }
  };

  ASRContext ctx_ = nullptr;
  std::vector<Segment> segments_;
  std::string text_;
  std::string language_;
};

using Window = std::vector<int64_t>;

// The windows of one decoding that ends on its own: the prompt, then one
// more token per run.
std::vector<Window> DecodingWindows(int64_t language, int64_t task,
                                    const std::vector<int64_t>& tokens) {
  std::vector<Window> out;
  Window w{kSot, language, task, kNoTimestamps};
  out.push_back(w);
  for (size_t i = 0; i + 1 < tokens.size(); ++i) {
    w.push_back(tokens[i]);
    out.push_back(w);
  }
  return out;
}

TEST_F(WhisperAsr, GivenLanguageDecodesTheScriptIntoText) {
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 100 101 102 50257\n")));
  const std::vector<int16_t> pcm = Pcm(16000);
  ASSERT_EQ(Transcribe(pcm, "de"), 0);
  EXPECT_EQ(text_, " hello world\xC3\xA9");
  EXPECT_EQ(language_, "de");
  EXPECT_EQ(g_sim.Windows(),
            DecodingWindows(kDe, kTranscribe, {kHello, kWorld, kEacute, kEot}));
  // The encoder got the bin-major spectrogram of the samples, and every
  // decoder run got exactly what the encoder produced.
  EXPECT_EQ(AsFloats(g_sim.Record("encoder_input")), ExpectedEncoderInput(pcm, 0, pcm.size()));
  EXPECT_EQ(g_sim.Record("decoder_features"), g_sim.Record("encoder_output"));
  EXPECT_EQ(g_sim.Record("encoder_output").size(), kFeatureFloats * 4u);
  EXPECT_EQ(g_sim.count("decoder_feature_mismatches"), 0);
}

TEST_F(WhisperAsr, DetectionRunsOnceWithOnlyTheStartToken) {
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 100 50257\nlanguage_token 50264\n")));
  for (const char* language : {static_cast<const char*>(nullptr), "", "auto"}) {
    g_sim.reset();
    testing::internal::CaptureStderr();
    ASSERT_EQ(Transcribe(Pcm(8000), language), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[whisper] auto language -> ko\n");
    EXPECT_EQ(language_, "ko");
    EXPECT_EQ(text_, " hello");
    const std::vector<Window> windows = g_sim.Windows();
    ASSERT_EQ(windows.size(), 3u);
    EXPECT_EQ(windows[0], (Window{kSot}));
    EXPECT_EQ(windows[1], (Window{kSot, 50264, kTranscribe, kNoTimestamps}));
  }
}

TEST_F(WhisperAsr, DetectionTakesTheLastLanguageToken) {
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 50257\nlanguage_token 50358\n")));
  testing::internal::CaptureStderr();
  ASSERT_EQ(Transcribe(Pcm(8000), "auto"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[whisper] auto language -> yue\n");
  EXPECT_EQ(language_, "yue");
}

TEST_F(WhisperAsr, FailedDetectionFallsBackToEnglish) {
  // The first decoder run (the detection) fails; decoding goes on in "en".
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 100 50257\nfail zornn_run 1\n")));
  testing::internal::CaptureStderr();
  ASSERT_EQ(Transcribe(Pcm(8000), nullptr), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[whisper] decoder zornn_run failed\n"
            "[whisper] language detect failed, falling back to en\n");
  EXPECT_EQ(language_, "en");
  EXPECT_EQ(text_, " hello");
  // The failed run recorded nothing; decoding went on in English.
  EXPECT_EQ(g_sim.Windows(), DecodingWindows(kEn, kTranscribe, {kHello, kEot}));
}

TEST_F(WhisperAsr, UnusableDetectionOutputFallsBackWithoutDecoderMessage) {
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 50257\noutput_fault null 1\n")));
  testing::internal::CaptureStderr();
  ASSERT_EQ(Transcribe(Pcm(8000), "auto"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[whisper] language detect failed, falling back to en\n");
  EXPECT_EQ(language_, "en");
}

TEST_F(WhisperAsr, UnknownAndUpperCaseLanguagesFallBackToEnglish) {
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 50257\n")));
  for (const char* language : {"EN", "xx", "english"}) {
    g_sim.reset();
    testing::internal::CaptureStderr();
    ASSERT_EQ(Transcribe(Pcm(8000), language), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("[whisper] unknown language '") + language +
                  "', falling back to en\n");
    EXPECT_EQ(language_, "en");
    EXPECT_EQ(g_sim.Windows(), (std::vector<Window>{{kSot, kEn, kTranscribe, kNoTimestamps}}));
  }
  g_sim.reset();
  ASSERT_EQ(Transcribe(Pcm(8000), "yue"), 0);
  EXPECT_EQ(g_sim.Windows(), (std::vector<Window>{{kSot, 50358, kTranscribe, kNoTimestamps}}));
}

TEST_F(WhisperAsr, OnlyExactTranslateSelectsTranslation) {
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 50257\n")));
  const struct {
    const char* task;
    int64_t token;
  } cases[] = {{"translate", kTranslate}, {"transcribe", kTranscribe}, {nullptr, kTranscribe},
               {"", kTranscribe}};
  for (const auto& c : cases) {
    g_sim.reset();
    ASSERT_EQ(Transcribe(Pcm(8000), "en", c.task), 0);
    EXPECT_EQ(g_sim.Windows(), (std::vector<Window>{{kSot, kEn, c.token, kNoTimestamps}}));
  }
  // The front door refuses a task it does not know; the engine itself takes
  // anything but the exact "translate" as transcription.
  whisper_asr_engine* engine = nullptr;
  {
    const std::string enc = ModelPath("encoder_direct", EncoderModel());
    const std::string dec = ModelPath("decoder_direct", DecoderModel("tokens 50257\n"));
    const std::string tok = g_dir + "/tokenizer_info.bin";
    const std::string mel = g_dir + "/data.bin";
    engine = whisper_asr_create(enc.c_str(), dec.c_str(), tok.c_str(), mel.c_str(), 1);
  }
  ASSERT_NE(engine, nullptr);
  g_sim.reset();
  const std::vector<int16_t> pcm = Pcm(8000);
  std::string text, language;
  ASSERT_EQ(whisper_asr_recognize(engine, pcm.data(), pcm.size(), "en", "Translate", text,
                                  language),
            0);
  EXPECT_EQ(g_sim.Windows(), (std::vector<Window>{{kSot, kEn, kTranscribe, kNoTimestamps}}));
  whisper_asr_destroy(engine);
}

TEST_F(WhisperAsr, EndOfTextFirstGivesEmptyTextAndSuccess) {
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 50257\nlanguage_token 50261\n")));
  ASSERT_EQ(Transcribe(Pcm(8000), "auto"), 0);
  EXPECT_EQ(text_, "");
  EXPECT_EQ(language_, "de");
}

TEST_F(WhisperAsr, NeverEndingDecoderStopsAfter45Tokens) {
  // The script runs out at once, and the decoder keeps answering token 100.
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 100\nnever_end 1\n")));
  ASSERT_EQ(Transcribe(Pcm(8000), "en"), 0);
  std::string expected;
  for (int i = 0; i < 45; ++i) expected += " hello";
  EXPECT_EQ(text_, expected);
  const std::vector<Window> windows = g_sim.Windows();
  ASSERT_EQ(windows.size(), 45u);  // runs with 4 .. 48 valid positions
  EXPECT_EQ(windows.back().size(), 48u);
}

TEST_F(WhisperAsr, DecoderInputOrderFollowsTheFirstInputsElementCount) {
  for (const bool audio_first : {false, true}) {
    SCOPED_TRACE(audio_first ? "audio first" : "window first");
    ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 100 50257\n", audio_first)));
    g_sim.reset();
    ASSERT_EQ(Transcribe(Pcm(8000), "en"), 0);
    EXPECT_EQ(text_, " hello");
    // The simulated decoder reads its window from the input declared as
    // the window, so swapped inputs would fail the run or the script.
    EXPECT_EQ(g_sim.Windows(), DecodingWindows(kEn, kTranscribe, {kHello, kEot}));
    EXPECT_EQ(g_sim.Record("decoder_features"), g_sim.Record("encoder_output"));
    EXPECT_EQ(g_sim.count("decoder_feature_mismatches"), 0);
    zor_asr_uninit(ctx_);
    ctx_ = nullptr;
  }
}

TEST_F(WhisperAsr, ChunkingOfLongInputs) {
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 100 101 50257\n")));
  const struct {
    size_t n;
    size_t chunks;
    size_t last_offset;
  } cases[] = {{72000, 1, 0}, {72001, 1, 0}, {100000, 2, 51200}, {160000, 3, 102400}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    g_sim.reset();
    const std::vector<int16_t> pcm = Pcm(c.n);
    ASSERT_EQ(Transcribe(pcm, "en"), 0);
    // Identical chunk texts overlap completely and are kept once.
    EXPECT_EQ(text_, " hello world");
    EXPECT_EQ(language_, "en");
    EXPECT_EQ(g_sim.Windows().size(), 3 * c.chunks);
    EXPECT_EQ(g_sim.count("decoder_feature_mismatches"), 0);
    // The last chunk runs to the end of the input.
    EXPECT_EQ(AsFloats(g_sim.Record("encoder_input")),
              ExpectedEncoderInput(pcm, c.last_offset, c.n - c.last_offset));
  }
}

TEST_F(WhisperAsr, EveryChunkStartsWhereThePlanSays) {
  // The encoder's output fetch fails after run k, so the last input it
  // recorded is chunk k's.
  const std::vector<int16_t> pcm = Pcm(160000);
  const size_t offsets[] = {0, 51200, 102400};
  const size_t lengths[] = {64000, 64000, 57600};
  for (int k = 1; k <= 3; ++k) {
    SCOPED_TRACE(k);
    ASSERT_TRUE(Init(EncoderModel("fail zornn_outputs_get " + std::to_string(k) + "\n"),
                     DecoderModel("tokens 100 50257\n")));
    g_sim.reset();
    testing::internal::CaptureStderr();
    EXPECT_EQ(Transcribe(pcm, "en"), ZOR_ASR_Status_Failed);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[whisper] encoder zornn_outputs_get failed\n");
    EXPECT_EQ(AsFloats(g_sim.Record("encoder_input")),
              ExpectedEncoderInput(pcm, offsets[k - 1], lengths[k - 1]));
    zor_asr_uninit(ctx_);
    ctx_ = nullptr;
  }
}

TEST_F(WhisperAsr, FirstChunkSettlesTheLanguageForTheRest) {
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 100 50257\nlanguage_token 50261\n")));
  testing::internal::CaptureStderr();
  ASSERT_EQ(Transcribe(Pcm(160000), "auto"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[whisper] auto language -> de\n");
  EXPECT_EQ(language_, "de");
  const std::vector<Window> windows = g_sim.Windows();
  // One detection, then three chunks of two runs each, all in German.
  ASSERT_EQ(windows.size(), 7u);
  EXPECT_EQ(windows[0], (Window{kSot}));
  for (size_t i = 1; i < windows.size(); ++i) EXPECT_EQ(windows[i][1], kDe) << i;

  // An unknown language is reported once, on the first chunk.
  g_sim.reset();
  testing::internal::CaptureStderr();
  ASSERT_EQ(Transcribe(Pcm(160000), "EN"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[whisper] unknown language 'EN', falling back to en\n");
  EXPECT_EQ(language_, "en");
}

TEST_F(WhisperAsr, NeverEndingChunksMergeTheirOverlap) {
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 101\nnever_end 1\n")));
  ASSERT_EQ(Transcribe(Pcm(100000), "en"), 0);
  std::string expected;
  for (int i = 0; i < 45; ++i) expected += " world";
  EXPECT_EQ(text_, expected);
  EXPECT_EQ(g_sim.Windows().size(), 90u);
}

TEST_F(WhisperAsr, FailingChunkFailsTheCallAndLeavesTheContextUsable) {
  // Decoder run 3 is the first run of the second chunk.
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 100 50257\nfail zornn_run 3\n")));
  testing::internal::CaptureStderr();
  EXPECT_EQ(Transcribe(Pcm(100000), "en"), ZOR_ASR_Status_Failed);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[whisper] decoder zornn_run failed\n");
  EXPECT_EQ(text_, "<null>");
  ASSERT_EQ(Transcribe(Pcm(100000), "en"), 0);
  EXPECT_EQ(text_, " hello");
}

TEST_F(WhisperAsr, NpuCallFailuresGiveTheirMessages) {
  const struct {
    bool encoder;
    const char* function;
    const char* message;
  } cases[] = {
      {true, "zornn_inputs_set", "[whisper] encoder zornn_inputs_set failed\n"},
      {true, "zornn_run", "[whisper] encoder zornn_run failed\n"},
      {true, "zornn_outputs_get", "[whisper] encoder zornn_outputs_get failed\n"},
      {false, "zornn_inputs_set", "[whisper] decoder zornn_inputs_set failed\n"},
      {false, "zornn_run", "[whisper] decoder zornn_run failed\n"},
      {false, "zornn_outputs_get", "[whisper] decoder zornn_outputs_get failed\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const std::string fault = std::string("fail ") + c.function + " all\n";
    ASSERT_TRUE(Init(EncoderModel(c.encoder ? fault : ""),
                     DecoderModel("tokens 50257\n" + (c.encoder ? "" : fault))));
    testing::internal::CaptureStderr();
    EXPECT_EQ(Transcribe(Pcm(8000), "en"), ZOR_ASR_Status_Failed);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    zor_asr_uninit(ctx_);
    ctx_ = nullptr;
  }
}

TEST_F(WhisperAsr, BrokenDecoderOutputsFailWithoutMessage) {
  // A buffer that is null, empty or not whole floats is never read.
  for (const char* fault : {"null", "empty", "misaligned"}) {
    SCOPED_TRACE(fault);
    ASSERT_TRUE(Init(EncoderModel(),
                     DecoderModel(std::string("tokens 50257\noutput_fault ") + fault + "\n")));
    testing::internal::CaptureStderr();
    EXPECT_EQ(Transcribe(Pcm(8000), "en"), ZOR_ASR_Status_Failed);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    zor_asr_uninit(ctx_);
    ctx_ = nullptr;
  }
  // One row too few for the run with four valid positions.
  ASSERT_TRUE(Init(EncoderModel(),
                   DecoderModel("tokens 50257\noutput_bytes " + std::to_string(3 * 51866 * 4) +
                                "\n")));
  EXPECT_EQ(Transcribe(Pcm(8000), "en"), ZOR_ASR_Status_Failed);
  zor_asr_uninit(ctx_);
  ctx_ = nullptr;
  // One float short of 48 rows: enough for every run but the last one, which
  // needs the 48th row.
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 100\nnever_end 1\noutput_fault short\n")));
  g_sim.reset();
  EXPECT_EQ(Transcribe(Pcm(8000), "en"), ZOR_ASR_Status_Failed);
  EXPECT_EQ(g_sim.Windows().size(), 45u);
  // Exactly the rows needed are enough: detection reads row 0 of a
  // one-row output.
  zor_asr_uninit(ctx_);
  ctx_ = nullptr;
  g_sim.reset();
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 50257\nlanguage_token 50261\n"
                                                "output_bytes " + std::to_string(4 * 51866 * 4) + "\n")));
  testing::internal::CaptureStderr();
  EXPECT_EQ(Transcribe(Pcm(8000), "auto"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[whisper] auto language -> de\n");
}

TEST_F(WhisperAsr, HalfPrecisionLogitsAreReadAsTheNetworkWroteThem) {
  const auto decoder = [](const std::string& extra) {
    return DecoderModel(extra, false, "1,4,8", "FP16");
  };
  ASSERT_TRUE(Init(EncoderModel(), decoder("tokens 100 101 102 50257\nlanguage_token 50264\n")));
  testing::internal::CaptureStderr();
  ASSERT_EQ(Transcribe(Pcm(16000), "auto"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[whisper] auto language -> ko\n");
  EXPECT_EQ(text_, " hello world\xC3\xA9");
  zor_asr_uninit(ctx_);
  ctx_ = nullptr;
  // Rows of halves, not floats: four rows' worth of halves serve the run
  // with four valid positions; a row short, or a byte that is not a whole
  // half, is refused.
  constexpr int64_t kRow = 51866 * 2;
  for (const auto& [bytes, status] : {std::pair<int64_t, int>{4 * kRow, 0},
                                      {3 * kRow, ZOR_ASR_Status_Failed},
                                      {4 * kRow + 1, ZOR_ASR_Status_Failed}}) {
    SCOPED_TRACE(bytes);
    ASSERT_TRUE(Init(EncoderModel(),
                     decoder("tokens 50257\noutput_bytes " + std::to_string(bytes) + "\n")));
    EXPECT_EQ(Transcribe(Pcm(8000), "en"), status);
    zor_asr_uninit(ctx_);
    ctx_ = nullptr;
  }
}

TEST_F(WhisperAsr, BrokenEncoderOutputs) {
  for (const char* fault : {"null", "empty"}) {
    SCOPED_TRACE(fault);
    ASSERT_TRUE(Init(EncoderModel(std::string("output_fault ") + fault + "\n"),
                     DecoderModel("tokens 50257\n")));
    testing::internal::CaptureStderr();
    EXPECT_EQ(Transcribe(Pcm(8000), "en"), ZOR_ASR_Status_Failed);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[whisper] encoder zornn_outputs_get failed\n");
    zor_asr_uninit(ctx_);
    ctx_ = nullptr;
  }
  // A size that is not whole floats is rounded down: the decoder gets the
  // whole floats, exactly.
  ASSERT_TRUE(Init(EncoderModel("output_bytes 30\n"),
                   DecoderModel("tokens 100 50257\n", false, "1,7")));
  ASSERT_EQ(Transcribe(Pcm(8000), "en"), 0);
  EXPECT_EQ(text_, " hello");
  const std::vector<uint8_t> produced = g_sim.Record("encoder_output");
  const std::vector<uint8_t> received = g_sim.Record("decoder_features");
  ASSERT_GE(produced.size(), 28u);
  EXPECT_EQ(received, std::vector<uint8_t>(produced.begin(), produced.begin() + 28));
}

TEST_F(WhisperAsr, MissingMelFiltersFailTheSegment) {
  // Creation sets the process-wide filter path: a stale one is replaced.
  whisper_set_mel_filters_path("/nonexistent/data.bin");
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 50257\n")));
  ASSERT_EQ(Transcribe(Pcm(8000), "en"), 0);
  g_sim.reset();
  const std::string moved = g_dir + "/data.bin.away";
  const std::string filters = g_dir + "/data.bin";
  ASSERT_EQ(std::rename(filters.c_str(), moved.c_str()), 0);
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  const int status = Transcribe(Pcm(8000), "en");
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(std::rename(moved.c_str(), filters.c_str()), 0);
  EXPECT_EQ(status, ZOR_ASR_Status_Failed);
  EXPECT_EQ(out, "whisper_pcm_to_mel_with_state: failed to compute mel spectrogram\n");
  EXPECT_EQ(err, "log_mel_spectrogram : fail to open '" + filters +
                     "'\n[whisper] log-mel failed\n");
  EXPECT_EQ(g_sim.count("zornn_run"), 0);
}

class WhisperAsrCreate : public WhisperAsr {
 protected:
  whisper_asr_engine* Create(const std::string& encoder, const std::string& decoder,
                             const std::string& tokenizer) {
    const std::string mel = g_dir + "/data.bin";
    return whisper_asr_create(encoder.c_str(), decoder.c_str(), tokenizer.c_str(), mel.c_str(),
                              0);
  }
};

TEST_F(WhisperAsrCreate, EveryPathIsRequired) {
  const std::string p = g_dir + "/data.bin";
  const char* good = p.c_str();
  const char* bad[] = {nullptr, ""};
  for (const char* b : bad) {
    for (int which = 0; which < 4; ++which) {
      const char* args[4] = {good, good, good, good};
      args[which] = b;
      testing::internal::CaptureStderr();
      EXPECT_EQ(whisper_asr_create(args[0], args[1], args[2], args[3], 1), nullptr);
      EXPECT_EQ(testing::internal::GetCapturedStderr(),
                "[whisper] encoder, decoder, tokenizer_info.bin and data.bin are required\n");
    }
  }
  EXPECT_EQ(g_sim.count("zornn_init"), 0);
}

TEST_F(WhisperAsrCreate, TokenizerWithoutEntriesIsRefused) {
  const std::string enc = ModelPath("encoder", EncoderModel());
  const std::string dec = ModelPath("decoder", DecoderModel("tokens 50257\n"));
  const std::string empty = g_dir + "/empty_tokenizer.bin";
  WriteFile(empty, TokenizerFile(0));
  testing::internal::CaptureStderr();
  EXPECT_EQ(Create(enc, dec, empty), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[whisper] failed to load tokenizer '" + empty + "'\n");
  const std::string missing = g_dir + "/no_such_tokenizer.bin";
  testing::internal::CaptureStderr();
  EXPECT_EQ(Create(enc, dec, missing), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "read_token_info : fail to open '" + missing + "'\n"
            "[whisper] failed to load tokenizer '" + missing + "'\n");
  EXPECT_EQ(g_sim.count("zornn_init"), 0);
}

TEST_F(WhisperAsrCreate, FailedContextsAreReportedAndNothingIsLeftAlive) {
  const std::string enc = ModelPath("encoder", EncoderModel());
  const std::string dec = ModelPath("decoder", DecoderModel("tokens 50257\n"));
  const std::string null_handle =
      ModelPath("null_handle", EncoderModel("init_null_handle 1\n"));
  const std::string missing = ModelPath("refused", EncoderModel("fail zornn_init all\n"));
  const std::string tok = g_dir + "/tokenizer_info.bin";

  testing::internal::CaptureStderr();
  EXPECT_EQ(Create(missing, dec, tok), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[whisper] zornn_init failed for " + missing + "\n");
  EXPECT_EQ(g_sim.count("contexts"), 0);

  testing::internal::CaptureStderr();
  EXPECT_EQ(Create(enc, missing, tok), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[whisper] zornn_init failed for " + missing + "\n");
  EXPECT_EQ(g_sim.count("contexts"), 0);

  // Both fail: one message for each path.
  testing::internal::CaptureStderr();
  EXPECT_EQ(Create(null_handle, missing, tok), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[whisper] zornn_init failed for " + null_handle + "\n"
            "[whisper] zornn_init failed for " + missing + "\n");
  EXPECT_EQ(g_sim.count("contexts"), 0);

  whisper_asr_engine* engine = Create(enc, dec, tok);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(g_sim.count("contexts"), 2);
  EXPECT_EQ(g_sim.count("init_config_nonzero"), 0);
  whisper_asr_destroy(engine);
  EXPECT_EQ(g_sim.count("contexts"), 0);
  whisper_asr_destroy(nullptr);
}

TEST_F(WhisperAsrCreate, RecognizeRefusesMissingArgumentsWithoutTouchingOutputs) {
  const std::string enc = ModelPath("encoder", EncoderModel());
  const std::string dec = ModelPath("decoder", DecoderModel("tokens 100 50257\n"));
  whisper_asr_engine* engine = Create(enc, dec, g_dir + "/tokenizer_info.bin");
  ASSERT_NE(engine, nullptr);
  const std::vector<int16_t> pcm = Pcm(8000);
  std::string text = "keep", language = "me";
  EXPECT_EQ(whisper_asr_recognize(nullptr, pcm.data(), pcm.size(), "en", nullptr, text, language),
            -1);
  EXPECT_EQ(whisper_asr_recognize(engine, nullptr, pcm.size(), "en", nullptr, text, language), -1);
  EXPECT_EQ(whisper_asr_recognize(engine, pcm.data(), 0, "en", nullptr, text, language), -1);
  EXPECT_EQ(text, "keep");
  EXPECT_EQ(language, "me");
  EXPECT_EQ(g_sim.count("zornn_run"), 0);
  // A successful call replaces them.
  ASSERT_EQ(whisper_asr_recognize(engine, pcm.data(), pcm.size(), "en", nullptr, text, language),
            0);
  EXPECT_EQ(text, " hello");
  EXPECT_EQ(language, "en");
  whisper_asr_destroy(engine);
}

// A create that fails changes nothing a running engine reads: not the
// process-wide filter path.
TEST_F(WhisperAsr, FailedCreateLeavesRunningEnginesAlone) {
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 100 101 50257\n")));
  ASSERT_EQ(Transcribe(Pcm(8000)), 0);
  const std::string enc = ModelPath("encoder2", EncoderModel());
  const std::string dec = ModelPath("decoder2", DecoderModel("tokens 50257\n"));
  const std::string no_tokenizer = g_dir + "/no_tokenizer_here";
  mkdir(no_tokenizer.c_str(), 0755);
  struct Attempt {
    const char* decoder;
    const char* tokenizer;
  };
  const std::string refused = ModelPath("refused2", DecoderModel("fail zornn_init all\n"));
  const std::string tok_dir = g_dir;
  // A filter file that opens but holds no bank: an engine reading it fails.
  const std::string short_filters = g_dir + "/short_data.bin";
  WriteFile(short_filters, "1234");
  const std::string json = "{\"filters_path\": \"" + short_filters + "\"}";
  for (const Attempt& a : {Attempt{dec.c_str(), no_tokenizer.c_str()},
                           Attempt{refused.c_str(), tok_dir.c_str()}}) {
    ZOR_ASRInitConfig cfg{};
    cfg.model_type = ZOR_ASR_MODEL_WHISPER;
    cfg.model_path = enc.c_str();
    cfg.decoder_path = a.decoder;
    cfg.tokenizer_path = a.tokenizer;
    cfg.extra_json = json.c_str();
    ASRContext failed = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_NE(zor_asr_init(&failed, &cfg), ZOR_ASR_Status_Success);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(failed, nullptr);
    ASSERT_EQ(Transcribe(Pcm(8000)), 0) << a.tokenizer;
    EXPECT_EQ(text_, " hello world");
  }
}

// Timestamp token of t milliseconds (a multiple of 20).
constexpr int64_t Ts(int64_t ms) { return 50365 + ms / 20; }

TEST_F(WhisperAsr, TimestampModeDropsTheNoTimestampsTokenAndTimesEachSegment) {
  ASSERT_TRUE(Init(EncoderModel(),
                   DecoderModel("tokens 100 50257\ntimestamp_tokens " +
                                std::to_string(Ts(0)) + " 100 " + std::to_string(Ts(1000)) + " " +
                                std::to_string(Ts(1000)) + " 101 102 " +
                                std::to_string(Ts(2480)) + " 50257\n")));
  ASSERT_EQ(Transcribe(Pcm(48000), "de", nullptr, true), 0);
  EXPECT_EQ(text_, " hello world\xC3\xA9");
  EXPECT_EQ(language_, "de");
  EXPECT_EQ(segments_, (std::vector<Segment>{{0, 1000, "hello"}, {1000, 2480, "world\xC3\xA9"}}));
  // The prompt is three tokens; the model's timestamps follow in the window.
  const std::vector<Window> windows = g_sim.Windows();
  ASSERT_EQ(windows.size(), 8u);
  EXPECT_EQ(windows[0], (Window{kSot, kDe, kTranscribe}));
  EXPECT_EQ(windows[1], (Window{kSot, kDe, kTranscribe, Ts(0)}));

  // Without timestamps the same context decodes as ever.
  g_sim.reset();
  ASSERT_EQ(Transcribe(Pcm(48000), "de"), 0);
  EXPECT_EQ(text_, " hello");
  EXPECT_TRUE(segments_.empty());
  EXPECT_EQ(g_sim.Windows(), DecodingWindows(kDe, kTranscribe, {kHello, kEot}));
}

TEST_F(WhisperAsr, TimestampsWithoutTimesOrPastTheAudioStayWithinThePiece) {
  // No timestamp token at all: one segment over the whole piece (1.5 s).
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("timestamp_tokens 100 101 50257\n")));
  ASSERT_EQ(Transcribe(Pcm(24000), "en", nullptr, true), 0);
  EXPECT_EQ(segments_, (std::vector<Segment>{{0, 1500, "hello world"}}));
  zor_asr_uninit(ctx_);
  ctx_ = nullptr;

  // Text after the last time runs to the end; a time past the audio is its
  // end; a lone timestamp pair without text makes no segment.
  ASSERT_TRUE(Init(EncoderModel(),
                   DecoderModel("timestamp_tokens " + std::to_string(Ts(200)) + " " +
                                std::to_string(Ts(400)) + " 100 " + std::to_string(Ts(9000)) +
                                " 101\n")));
  ASSERT_EQ(Transcribe(Pcm(24000), "en", nullptr, true), 0);
  EXPECT_EQ(segments_, (std::vector<Segment>{{400, 1500, "hello"}, {1500, 1500, "world"}}));
  EXPECT_EQ(text_, " hello world");
}

TEST_F(WhisperAsr, TimedChunksAreOffsetMergedAndKeptIncreasing) {
  // Two chunks (0 and 3.2 s). The second repeats " world" from the overlap:
  // the merge drops it from the text and from the segments, and the segment
  // that follows starts no earlier than the first chunk's last one ends.
  ASSERT_TRUE(Init(EncoderModel(),
                   DecoderModel("timestamp_tokens " + std::to_string(Ts(0)) + " 100 " +
                                std::to_string(Ts(1000)) + " 101 " + std::to_string(Ts(3900)) +
                                "\ntimestamp_tokens " + std::to_string(Ts(0)) + " 101 " +
                                std::to_string(Ts(500)) + " 102 " + std::to_string(Ts(2000)) +
                                "\n")));
  ASSERT_EQ(Transcribe(Pcm(100000), "en", nullptr, true), 0);
  EXPECT_EQ(text_, " hello world\xC3\xA9");
  EXPECT_EQ(segments_, (std::vector<Segment>{{0, 1000, "hello"},
                                             {1000, 3900, "world"},
                                             {3900, 5200, "\xC3\xA9"}}));

  // A model without times gives one segment per chunk, each from where its
  // chunk starts.
  zor_asr_uninit(ctx_);
  ctx_ = nullptr;
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("timestamp_tokens 100\ntimestamp_tokens 101\n")));
  ASSERT_EQ(Transcribe(Pcm(100000), "en", nullptr, true), 0);
  EXPECT_EQ(text_, " hello world");
  EXPECT_EQ(segments_, (std::vector<Segment>{{0, 4000, "hello"}, {4000, 6250, "world"}}));
}

TEST_F(WhisperAsr, ManyTranscriptionsOnOneContext) {
  // Run under LeakSanitizer, this shows that no call keeps anything.
  ASSERT_TRUE(Init(EncoderModel(), DecoderModel("tokens 100 101 50257\nlanguage_token 50260\n")));
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(Transcribe(Pcm(i % 4 == 0 ? 90000 : 4000), i % 3 == 0 ? "auto" : "zh"), 0);
    EXPECT_EQ(text_, " hello world");
    EXPECT_EQ(language_, "zh");
  }
}

}  // namespace
