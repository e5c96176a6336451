// The SenseVoice engine end to end, through libfenn's C interface and the
// engine's own entry points, on the simulated NPU runtime: what the engine
// hands the network and what it makes of the network's answer.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "api/asr_engines.h"
#include "sensevoice/sense_voice_features.h"
#include "sensevoice/sense_voice_test_util.h"
#include "zor_asr.h"

namespace {

// A model description for the simulated runtime: speech [1, frames, 560] of
// the given type, then the language and text-normalisation id inputs.
std::string SenseVoiceModelText(const std::vector<int64_t>& tokens, uint32_t frames,
                                const std::string& speech = "type=FP32") {
  std::ostringstream m;
  m << "behaviour sensevoice\n"
    << "input name=speech dims=1," << frames << ",560 " << speech << " role=speech\n"
    << "input name=input_1 dims=1 type=INT32 role=language\n"
    << "input name=input_2 dims=1 type=INT32 role=text_norm\n"
    << "vocab 1024\ntokens";
  for (int64_t t : tokens) m << ' ' << t;
  m << '\n';
  return m.str();
}

// Token ids of the test vocabulary. Words w0.. sit at kWord + i.
enum : int64_t {
  kBlank = 0, kEn = 1, kZh = 2, kNeutral = 3, kHappy = 4, kSpeech = 5, kWoitn = 6,
  kWithitn = 7, kUnk = 8, kLaughter = 9, kHello = 10, kWorld = 11, kYue = 12, kWord = 100
};

std::string TokensFile() {
  std::ostringstream s;
  s << "<blk> 0\n<|en|> 1\n<|zh|> 2\n<|NEUTRAL|> 3\n<|HAPPY|> 4\n<|Speech|> 5\n"
       "<|woitn|> 6\n<|withitn|> 7\n<unk> 8\n<|Laughter|> 9\n\xE2\x96\x81hello 10\n"
       "\xE2\x96\x81world 11\n<|yue|> 12\n";
  for (int i = 0; i < 200; ++i) s << "\xE2\x96\x81w" << i << ' ' << kWord + i << '\n';
  return s.str();
}

std::vector<int64_t> Words(int n) {
  std::vector<int64_t> t;
  for (int i = 0; i < n; ++i) t.push_back(kWord + i);
  return t;
}

int CountWords(const std::string& text) {
  std::istringstream s(text);
  int n = 0;
  for (std::string w; s >> w;) ++n;
  return n;
}

std::vector<int16_t> Tone(size_t n) {
  std::vector<int16_t> pcm(n);
  for (size_t i = 0; i < n; ++i) {
    pcm[i] = static_cast<int16_t>(8000 * std::sin(i * 0.07) + 3000 * std::sin(i * 0.011));
  }
  return pcm;
}

// The inspection side of the simulated runtime that libfenn loaded.
struct Sim {
  void (*reset)() = nullptr;
  int64_t (*count)(const char*) = nullptr;
  int64_t (*record)(const char*, void*, int64_t) = nullptr;

  std::vector<uint8_t> Record(const char* name) const {
    const int64_t n = record(name, nullptr, 0);
    std::vector<uint8_t> bytes(n > 0 ? static_cast<size_t>(n) : 0);
    if (n > 0) record(name, bytes.data(), n);
    return bytes;
  }
  int32_t Id(const char* name) const {
    const auto bytes = Record(name);
    int32_t v = -1;
    if (bytes.size() >= 4) std::memcpy(&v, bytes.data(), 4);
    return v;
  }
};

struct Outcome {
  int status = -1;
  std::string text;
  std::string language;
  bool has_language = false;
};

class SenseVoiceEngine : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* sim_path = std::getenv("ZOR_SIM_NPURT");
    ASSERT_NE(sim_path, nullptr) << "ZOR_SIM_NPURT names the simulated NPU runtime";
    setenv("ZOR_NPURT_PATH", sim_path, 1);
    handle_ = dlopen(sim_path, RTLD_NOW);
    ASSERT_NE(handle_, nullptr) << dlerror();
    sim_.reset = reinterpret_cast<void (*)()>(dlsym(handle_, "zornn_sim_reset"));
    sim_.count = reinterpret_cast<int64_t (*)(const char*)>(dlsym(handle_, "zornn_sim_count"));
    sim_.record = reinterpret_cast<int64_t (*)(const char*, void*, int64_t)>(
        dlsym(handle_, "zornn_sim_record"));
    ASSERT_TRUE(sim_.reset && sim_.count && sim_.record);
    tokens_ = WriteTestFile("engine_tokens.txt", TokensFile());
  }
  static void TearDownTestSuite() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  void SetUp() override { sim_.reset(); }
  void TearDown() override {
    if (ctx_ != nullptr) zor_asr_uninit(ctx_);
    EXPECT_EQ(sim_.count("contexts"), 0) << "every NPU context is destroyed";
  }

  // A model of `frames` frames whose CTC path is `tokens`.
  static std::string Model(const std::vector<int64_t>& tokens, uint32_t frames = 800,
                           const std::string& extra = "") {
    static int serial = 0;
    return WriteTestFile("engine_" + std::to_string(++serial) + ".model",
                         SenseVoiceModelText(tokens, frames) + extra + "\n");
  }

  int Init(const std::string& model, const char* extra_json = nullptr,
           const std::string& tokens = tokens_) {
    ZOR_ASRInitConfig cfg{};
    cfg.model_type = ZOR_ASR_MODEL_SENSEVOICE;
    cfg.model_path = model.c_str();
    cfg.tokenizer_path = tokens.c_str();
    cfg.extra_json = extra_json;
    return zor_asr_init(&ctx_, &cfg);
  }

  // An input record for pcm, which must outlive it.
  static ZOR_ASRInput PcmInput(const std::vector<int16_t>& pcm, const char* language = nullptr,
                               uint32_t timestamps = 0) {
    ZOR_ASRInput in{};
    in.audio_type = ZOR_ASR_AUDIO_PCM16;
    in.pcm = pcm.data();
    in.num_samples = static_cast<uint32_t>(pcm.size());
    in.language = language;
    in.timestamps = timestamps;
    return in;
  }

  Outcome Transcribe(const std::vector<int16_t>& pcm, const char* language = nullptr) {
    const ZOR_ASRInput in = PcmInput(pcm, language);
    ZOR_ASRResult r{};
    Outcome o;
    o.status = zor_asr_transcribe(ctx_, &in, &r);
    if (r.text != nullptr) o.text = r.text;
    o.has_language = r.language != nullptr;
    if (r.language != nullptr) o.language = r.language;
    return o;
  }

  static Sim sim_;
  static void* handle_;
  static std::string tokens_;
  ASRContext ctx_ = nullptr;
};
Sim SenseVoiceEngine::sim_;
void* SenseVoiceEngine::handle_ = nullptr;
std::string SenseVoiceEngine::tokens_;

TEST_F(SenseVoiceEngine, SendsTheFeaturesAndIdsAndReturnsTheCleanedText) {
  ASSERT_EQ(Init(Model({kEn, kNeutral, kSpeech, kWoitn, kHello, kLaughter, kUnk, kWorld})), 0);
  const auto pcm = Tone(16000);
  const Outcome o = Transcribe(pcm, "zh");
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(o.text, "hello world");
  EXPECT_EQ(o.language, "en");  // the network's tag wins over the caller's language

  // The speech input holds exactly the features of the audio (FP32 input).
  std::vector<float> x(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) x[i] = pcm[i] / 32768.0f;
  const SenseVoiceFeatures f = ExtractFeatures(x.data(), 16000, 800, "edge");
  const auto speech = sim_.Record("speech");
  ASSERT_EQ(speech.size(), f.feats.size() * sizeof(float));
  EXPECT_EQ(std::memcmp(speech.data(), f.feats.data(), speech.size()), 0);
  EXPECT_EQ(sim_.Id("language"), 3);
  EXPECT_EQ(sim_.Id("text_norm"), 15);
  EXPECT_EQ(sim_.count("zornn_set_input_shapes"), 0);  // 800 frames already fit
}

TEST_F(SenseVoiceEngine, QuantisesFeaturesForAnInt8SpeechInput) {
  ASSERT_EQ(Init(WriteTestFile("engine_int8.model",
                               SenseVoiceModelText({kHello}, 50, "type=INT8 scale=0.5 zp=-3"))),
            0);
  const auto pcm = Tone(16000);
  ASSERT_EQ(Transcribe(pcm).text, "hello");

  std::vector<float> x(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) x[i] = pcm[i] / 32768.0f;
  const SenseVoiceFeatures f = ExtractFeatures(x.data(), 16000, 50, "edge");
  const auto speech = sim_.Record("speech");
  ASSERT_EQ(speech.size(), f.feats.size());
  for (size_t i = 0; i < speech.size(); ++i) {
    const float q = std::round(f.feats[i] / 0.5f - 3.0f);
    ASSERT_EQ(static_cast<int8_t>(speech[i]), static_cast<int8_t>(std::fmin(127, std::fmax(-128, q))))
        << i;
  }
}

TEST_F(SenseVoiceEngine, LanguageIds) {
  ASSERT_EQ(Init(Model({kHello})), 0);
  const auto pcm = Tone(4000);
  const struct {
    const char* language;
    int32_t id;
  } cases[] = {{"zh", 3}, {"en", 4},  {"yue", 7},  {"ja", 11},  {"ko", 12}, {"nospeech", 13},
               {"auto", 0}, {"YUE", 0}, {"Yue", 0}, {"fr", 0}, {"", 0},   {nullptr, 0}};
  for (const auto& c : cases) {
    const Outcome o = Transcribe(pcm, c.language);
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(sim_.Id("language"), c.id) << (c.language ? c.language : "(null)");
    // No language tag in the output: the caller's language ("auto" when none) comes back.
    EXPECT_EQ(o.language, c.language && *c.language ? c.language : "auto");
  }
}

TEST_F(SenseVoiceEngine, TextNormalisationIdsAndSwappedInputs) {
  const struct {
    const char* json;
    int32_t text_norm;
  } cases[] = {{nullptr, 15},
               {"{\"use_itn\": 1}", 14},
               {"{\"use_itn\": 0}", 15},
               {"{\"textnorm\": \"woitn\", \"use_itn\": 1}", 15},
               {"{\"textnorm\": \"withitn\", \"use_itn\": 0}", 14},
               {"{\"textnorm\": \"\", \"use_itn\": 1}", 14},
               {"{\"textnorm\": \"other\", \"use_itn\": 0}", 15}};
  const auto pcm = Tone(4000);
  const std::string model = Model({kHello});
  for (const auto& c : cases) {
    ASSERT_EQ(Init(model, c.json), 0);
    ASSERT_EQ(Transcribe(pcm, "en").status, 0);
    EXPECT_EQ(sim_.Id("text_norm"), c.text_norm) << (c.json ? c.json : "(none)");
    EXPECT_EQ(sim_.Id("language"), 4);
    zor_asr_uninit(ctx_);
    ctx_ = nullptr;
  }
  ASSERT_EQ(Init(model, "{\"swap_int_inputs\": 1, \"use_itn\": 1}"), 0);
  ASSERT_EQ(Transcribe(pcm, "ja").status, 0);
  EXPECT_EQ(sim_.Id("language"), 14);
  EXPECT_EQ(sim_.Id("text_norm"), 11);
}

TEST_F(SenseVoiceEngine, DecodesTheSpeechFramesPlusFourPlusTheExtraFrames) {
  // One scripted word per output frame, so the word count is the number of
  // frames decoded. 1 s of audio makes 16 stacked rows.
  const std::string model = Model(Words(120));
  const auto second = Tone(16000);
  const struct {
    const char* json;
    int words;
  } cases[] = {{nullptr, 16 + 4 + 24},
               {"{\"max_frames\": 0}", 44},  // the model's own 800 frames
               {"{\"decode_extra_frames\": -5}", 44},
               {"{\"decode_extra_frames\": 0}", 44},
               {"{\"decode_extra_frames\": 10}", 30},
               {"{\"decode_extra_frames\": 2147483647}", 120},  // all the script, no overflow
               {"{\"max_frames\": 10}", 14}};                   // T = 10 + 4 output frames
  for (const auto& c : cases) {
    ASSERT_EQ(Init(model, c.json), 0);
    const Outcome o = Transcribe(second);
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(CountWords(o.text), c.words) << (c.json ? c.json : "(none)");
    zor_asr_uninit(ctx_);
    ctx_ = nullptr;
  }
}

TEST_F(SenseVoiceEngine, MaxFramesReshapesTheSpeechInput) {
  ASSERT_EQ(Init(Model({kHello}), "{\"max_frames\": 10, \"pad_mode\": \"zero\"}"), 0);
  const auto pcm = Tone(16000);
  ASSERT_EQ(Transcribe(pcm).status, 0);
  const auto shapes = sim_.Record("shapes");
  EXPECT_NE(std::string(shapes.begin(), shapes.end()).find("0:[1,10,560]"), std::string::npos);
  EXPECT_EQ(sim_.Record("speech").size(), 10u * 560u * sizeof(float));
  // The second call keeps the shape: nothing is resized again.
  ASSERT_EQ(Transcribe(pcm).status, 0);
  EXPECT_EQ(sim_.count("zornn_set_input_shapes"), 1);
}

TEST_F(SenseVoiceEngine, ShortAudioStillRunsTheNetwork) {
  ASSERT_EQ(Init(Model(Words(60))), 0);
  testing::internal::CaptureStderr();
  const Outcome o = Transcribe(Tone(500));
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(o.status, 0);
  EXPECT_NE(err.find("[SenseVoice] audio too short: fbank_frames=3\n"), std::string::npos) << err;
  EXPECT_EQ(CountWords(o.text), 4 + 24);
  // Nothing but zeros reached the network.
  const auto speech = sim_.Record("speech");
  ASSERT_EQ(speech.size(), 800u * 560u * 4u);
  EXPECT_EQ(std::vector<uint8_t>(speech.size(), 0), speech);
}

TEST_F(SenseVoiceEngine, TagsAfterTheFortiethTokenAreNotRead) {
  std::vector<int64_t> script = Words(39);
  script.push_back(kZh);  // the 40th token is read
  ASSERT_EQ(Init(Model(script)), 0);
  const auto pcm = Tone(16000);
  EXPECT_EQ(Transcribe(pcm, "en").language, "zh");
  zor_asr_uninit(ctx_);
  ctx_ = nullptr;

  script = Words(40);
  script.push_back(kZh);  // the 41st is not
  ASSERT_EQ(Init(Model(script)), 0);
  const Outcome o = Transcribe(pcm, "yue");
  EXPECT_EQ(o.language, "yue");
  EXPECT_EQ(CountWords(o.text), 40);
}

TEST_F(SenseVoiceEngine, BadTokenFilesFailCreationAndReleaseTheModel) {
  const std::string model = Model({kHello});
  testing::internal::CaptureStderr();
  EXPECT_NE(Init(model, nullptr, TestTmpDir() + "/sv_missing_tokens.txt"), 0);
  EXPECT_EQ(ctx_, nullptr);
  EXPECT_NE(Init(model, nullptr, WriteTestFile("bad_tokens.txt", "<blk> zero\n<|en|> 1\n")), 0);
  EXPECT_NE(Init(model, nullptr, WriteTestFile("empty_tokens.txt", "\n")), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[zor_asr] sense_voice_create failed"), std::string::npos);
  EXPECT_EQ(sim_.count("zornn_init"), 3);
  EXPECT_EQ(sim_.count("zornn_destroy"), 3);
}

TEST_F(SenseVoiceEngine, EngineEntryPoints) {
  const std::string model = Model({kHappy, kWithitn, kHello}, 800, "fail zornn_run 2");
  sense_voice_config cfg{};
  cfg.model_path = model.c_str();
  EXPECT_EQ(sense_voice_create(nullptr), nullptr);
  EXPECT_EQ(sense_voice_create(&cfg), nullptr);  // no tokens file: fails before loading
  EXPECT_EQ(sim_.count("zornn_init"), 0);

  cfg.tokenizer_path = tokens_.c_str();
  sense_voice_engine* engine = sense_voice_create(&cfg);  // null pad_mode and textnorm
  ASSERT_NE(engine, nullptr);
  const auto pcm = Tone(8000);
  char marker = 0;
  sense_voice_result out{&marker, &marker, &marker, &marker, &marker};
  EXPECT_EQ(sense_voice_recognize(engine, pcm.data(), 0, "en", &out), -1);
  EXPECT_EQ(sense_voice_recognize(engine, nullptr, pcm.size(), "en", &out), -1);
  EXPECT_EQ(sense_voice_recognize(nullptr, pcm.data(), pcm.size(), "en", &out), -1);
  EXPECT_EQ(sense_voice_recognize(engine, pcm.data(), pcm.size(), "en", nullptr), -1);
  EXPECT_EQ(out.language, &marker);  // untouched by argument errors
  EXPECT_EQ(out.text, &marker);
  EXPECT_EQ(sim_.count("zornn_run"), 0);

  ASSERT_EQ(sense_voice_recognize(engine, pcm.data(), pcm.size(), nullptr, &out), 0);
  EXPECT_STREQ(out.language, "");  // no tag and no caller language
  EXPECT_STREQ(out.emotion, "HAPPY");
  EXPECT_STREQ(out.event, "Speech");
  EXPECT_STREQ(out.textnorm, "withitn");
  EXPECT_STREQ(out.text, "hello");
  sense_voice_free_result(&out);
  EXPECT_EQ(out.text, nullptr);

  // The second run fails in the network; the result is all null and the
  // engine stays usable.
  testing::internal::CaptureStderr();
  EXPECT_EQ(sense_voice_recognize(engine, pcm.data(), pcm.size(), "en", &out), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(!out.language && !out.emotion && !out.event && !out.textnorm && !out.text);
  ASSERT_EQ(sense_voice_recognize(engine, pcm.data(), pcm.size(), "en", &out), 0);
  EXPECT_STREQ(out.textnorm, "withitn");
  sense_voice_free_result(&out);
  sense_voice_free_result(nullptr);
  sense_voice_destroy(engine);
  sense_voice_destroy(nullptr);
}

TEST_F(SenseVoiceEngine, VocabMajorLogitsDecodeTheSame) {
  ASSERT_EQ(Init(Model({kEn, kHello, kHello, kWorld}, 800, "layout vocab_major")), 0);
  const Outcome o = Transcribe(Tone(16000));
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(o.text, "hello hello world");  // the blank the path puts between equal tokens
  EXPECT_EQ(o.language, "en");
}

// Both layouts, read where the runtime left them, as floats or as the
// half-precision values the network wrote, decode exactly the frames asked
// for: one scripted word per frame, at decoded frame counts and a
// vocabulary that are not multiples of any vector or block width.
TEST_F(SenseVoiceEngine, BothLayoutsDecodeTheFramesAskedFor) {
  const auto second = Tone(16000);
  const struct {
    const char* json;
    int words;
  } cases[] = {{nullptr, 16 + 4 + 24},
               {"{\"decode_extra_frames\": 9}", 29},
               {"{\"decode_extra_frames\": 2147483647}", 120},
               {"{\"max_frames\": 9}", 13}};
  for (const auto& [logits, layout] : std::initializer_list<std::pair<const char*, const char*>>{
           {"FP32", "frame_major"}, {"FP32", "vocab_major"}, {"FP16", "frame_major"},
           {"FP16", "vocab_major"}}) {
    const std::string model = Model(Words(120), 800,
                                    std::string("vocab 1001\nlayout ") + layout +
                                        "\noutput name=logits type=" + logits);
    for (const auto& c : cases) {
      ASSERT_EQ(Init(model, c.json), 0);
      const Outcome o = Transcribe(second);
      ASSERT_EQ(o.status, 0);
      std::string expected = "w0";
      for (int i = 1; i < c.words; ++i) expected += " w" + std::to_string(i);
      EXPECT_EQ(o.text, expected) << layout << ' ' << logits << ' '
                                  << (c.json ? c.json : "(none)");
      zor_asr_uninit(ctx_);
      ctx_ = nullptr;
    }
  }
}

// Networks shaped unlike the usual one still give the right text, or fail
// with a message; never a wrong text with success.
TEST_F(SenseVoiceEngine, EveryNetworkShapeGivesTheRightTextOrFails) {
  const std::vector<int64_t> script = {kEn, kNeutral, kSpeech, kWoitn, kHello, kWorld};
  const auto pcm = Tone(16000);
  const auto reopen = [this](const std::string& model, const char* json = nullptr) {
    if (ctx_ != nullptr) zor_asr_uninit(ctx_);
    ctx_ = nullptr;
    return Init(model, json);
  };
  // More than 1000 output frames: the frame axis is not the vocabulary.
  for (const char* layout : {"frame_major", "vocab_major"}) {
    ASSERT_EQ(reopen(Model(script, 800, std::string("vocab 25055\nlayout ") + layout),
                     "{\"max_frames\": 1200}"),
              0);
    const Outcome o = Transcribe(pcm);
    EXPECT_EQ(o.status, 0) << layout;
    EXPECT_EQ(o.text, "hello world") << layout;
    EXPECT_EQ(o.language, "en") << layout;
  }
  // 16-bit float speech inputs get the features in their own type.
  std::vector<float> x(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) x[i] = pcm[i] / 32768.0f;
  const SenseVoiceFeatures f = ExtractFeatures(x.data(), 16000, 800, "edge");
  for (const char* type : {"FP16", "BF16"}) {
    ASSERT_EQ(reopen(WriteTestFile(std::string("engine_") + type + ".model",
                                   SenseVoiceModelText(script, 800, std::string("type=") + type))),
              0);
    const Outcome o = Transcribe(pcm);
    EXPECT_EQ(o.text, "hello world") << type;
    const auto bytes = sim_.Record("speech_values");
    ASSERT_EQ(bytes.size(), f.feats.size() * sizeof(float)) << type;
    std::vector<float> got(f.feats.size());
    std::memcpy(got.data(), bytes.data(), bytes.size());
    const float tolerance = std::string(type) == "FP16" ? 1.0f / 1024 : 1.0f / 128;
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_NEAR(got[i], f.feats[i], std::fabs(f.feats[i]) * tolerance + 1e-6f) << type << i;
    }
  }
  // A speech input the engine cannot fill is refused when the model loads.
  testing::internal::CaptureStderr();
  EXPECT_NE(reopen(WriteTestFile("engine_int32.model",
                                 SenseVoiceModelText(script, 800, "type=INT32"))),
            0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("has element type INT32"),
            std::string::npos);
  // input_10 contains input_1: each id still reaches its own input.
  ASSERT_EQ(reopen(WriteTestFile("engine_names.model",
                                 "behaviour sensevoice\n"
                                 "input name=speech dims=1,800,560 role=speech\n"
                                 "input name=input_1 dims=1 type=INT32 role=language\n"
                                 "input name=input_10 dims=1 type=INT32 role=text_norm\n"
                                 "vocab 1024\ntokens 1 3 5 6 10 11\n")),
            0);
  ASSERT_EQ(Transcribe(pcm, "ja").text, "hello world");
  EXPECT_EQ(sim_.Id("language"), 11);
  EXPECT_EQ(sim_.Id("text_norm"), 15);
  // Without the output's extents the layout is unknown: the call fails.
  ASSERT_EQ(reopen(Model(script, 800, "vocab 25055\nquery_fault OUTPUT_ATTR 2+")), 0);
  testing::internal::CaptureStderr();
  const Outcome failed = Transcribe(pcm);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[SenseVoice] zornn_query OUTPUT_ATTR failed\n");
  EXPECT_NE(failed.status, 0);
}

TEST_F(SenseVoiceEngine, FrontDoorRejectsWhatTheEngineCannotDo) {
  ASSERT_EQ(Init(Model({kHello})), 0);
  const auto pcm = Tone(4000);
  ZOR_ASRInput in{};
  in.audio_type = ZOR_ASR_AUDIO_PCM16;
  in.pcm = pcm.data();
  in.num_samples = 0;
  ZOR_ASRResult r{};
  EXPECT_NE(zor_asr_transcribe(ctx_, &in, &r), 0);
  in.num_samples = static_cast<uint32_t>(pcm.size());
  in.task = "translate";
  testing::internal::CaptureStderr();
  EXPECT_NE(zor_asr_transcribe(ctx_, &in, &r), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[zor_asr] unsupported task 'translate' (SenseVoice is transcribe-only)\n");
  EXPECT_EQ(sim_.count("zornn_run"), 0);
  in.task = "transcribe";
  ASSERT_EQ(zor_asr_transcribe(ctx_, &in, &r), 0);
  EXPECT_STREQ(r.text, "hello");
}

// Run under LeakSanitizer by the sanitizer build: thousands of
// recognitions, with failures mixed in, must leave nothing behind.
TEST_F(SenseVoiceEngine, ThousandsOfTranscriptionsLeaveNothingBehind) {
  const std::string model =
      Model({kEn, kHappy, kHello, kLaughter, kWorld}, 20,
            "fail zornn_run 7\nfail zornn_run 50\nfail zornn_run 400\nfail zornn_run 1999");
  const auto pcm = Tone(1600);
  const char* languages[] = {"auto", "en", "zh", "yue", nullptr};
  testing::internal::CaptureStderr();
  for (int round = 0; round < 4; ++round) {
    ASSERT_EQ(Init(model, "{\"pad_mode\": \"mean\", \"use_itn\": 1}"), 0);
    int failures = 0;
    for (int i = 0; i < 500; ++i) {
      const Outcome o = Transcribe(pcm, languages[i % 5]);
      if (o.status != 0) {
        ++failures;
        continue;
      }
      ASSERT_EQ(o.text, "hello world");
    }
    zor_asr_uninit(ctx_);
    ctx_ = nullptr;
    EXPECT_EQ(failures, 3);  // runs 7, 50 and 400 of each context fail
  }
  testing::internal::GetCapturedStderr();
}

TEST_F(SenseVoiceEngine, TimestampsGiveSegmentsAndLabelsOnFrameTimes) {
  // Tags on the four prompt frames, then words on known frames: a pause of
  // 9 frames (540 ms) between world and w0 splits the text.
  ASSERT_EQ(Init(Model({kEn, kHappy, kSpeech, kWoitn, kHello, kWorld, kWord, kWord + 1}, 800,
                       "token_frames 0 1 2 3 10-12 14 24 26-27")),
            0);
  const auto pcm = Tone(48000);
  ZOR_ASRInput in = PcmInput(pcm, nullptr, 1);
  ZOR_ASRResult r{};
  ASSERT_EQ(zor_asr_transcribe(ctx_, &in, &r), 0);
  EXPECT_STREQ(r.text, "hello world w0 w1");
  EXPECT_STREQ(r.emotion, "HAPPY");
  EXPECT_STREQ(r.event, "Speech");
  ASSERT_EQ(r.n_segments, 2u);
  // Output frame f stands for 60 ms from (f - 4) x 60 ms.
  EXPECT_EQ(r.segments[0].start_ms, 6u * 60);
  EXPECT_EQ(r.segments[0].end_ms, 11u * 60);
  EXPECT_STREQ(r.segments[0].text, "hello world");
  EXPECT_EQ(r.segments[1].start_ms, 20u * 60);
  EXPECT_EQ(r.segments[1].end_ms, 24u * 60);
  EXPECT_STREQ(r.segments[1].text, "w0 w1");

  // A failed call zeroes the record but keeps what the earlier one pointed at.
  const ZOR_ASRSegment* kept = r.segments;
  const char* kept_emotion = r.emotion;
  in.task = "translate";
  testing::internal::CaptureStderr();
  EXPECT_EQ(zor_asr_transcribe(ctx_, &in, &r), ZOR_ASR_Status_Failed);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(r.segments, nullptr);
  EXPECT_EQ(r.n_segments, 0u);
  EXPECT_STREQ(kept[1].text, "w0 w1");
  EXPECT_EQ(kept[1].end_ms, 24u * 60);
  EXPECT_STREQ(kept_emotion, "HAPPY");
  in.task = nullptr;

  // At 8 kHz the same frames stand for twice the time, within the audio.
  in.sample_rate = 8000;
  testing::internal::CaptureStderr();
  ASSERT_EQ(zor_asr_transcribe(ctx_, &in, &r), 0);
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(r.n_segments, 2u);
  EXPECT_EQ(r.segments[1].end_ms, 24u * 120);

  // Without timestamps the four fields and the reserved tail stay zero, and
  // the earlier segments are released with the earlier result.
  in.timestamps = 0;
  in.sample_rate = 0;
  ASSERT_EQ(zor_asr_transcribe(ctx_, &in, &r), 0);
  EXPECT_STREQ(r.text, "hello world w0 w1");
  EXPECT_EQ(r.segments, nullptr);
  EXPECT_EQ(r.n_segments, 0u);
  EXPECT_EQ(r.emotion, nullptr);
  EXPECT_EQ(r.event, nullptr);
  const std::vector<uint8_t> zeros(sizeof r.reserved);
  EXPECT_EQ(std::memcmp(r.reserved, zeros.data(), zeros.size()), 0);
}

TEST_F(SenseVoiceEngine, TimedTokensPastTheAudioEndWithIt) {
  // 0.5 s of audio (8 rows); a word decoded on the extra frames after it is
  // kept, its times held to the audio's end.
  ASSERT_EQ(Init(Model({kEn, kHello, kWorld}, 800, "token_frames 0 6 16-17")), 0);
  const auto pcm = Tone(8000);
  ZOR_ASRInput in = PcmInput(pcm, nullptr, 1);
  ZOR_ASRResult r{};
  ASSERT_EQ(zor_asr_transcribe(ctx_, &in, &r), 0);
  ASSERT_EQ(r.n_segments, 2u);
  EXPECT_EQ(r.segments[0].start_ms, 2u * 60);
  EXPECT_EQ(r.segments[0].end_ms, 3u * 60);
  EXPECT_EQ(r.segments[1].start_ms, 500u);
  EXPECT_EQ(r.segments[1].end_ms, 500u);
  EXPECT_STREQ(r.segments[1].text, "world");
  EXPECT_STREQ(r.emotion, "NEUTRAL");  // the defaults when the network names none
  EXPECT_STREQ(r.event, "Speech");
}

}  // namespace
