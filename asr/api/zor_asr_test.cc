// The front door through its C interface: argument checks, engine dispatch
// and its messages, Whisper path derivation, and, with the SenseVoice engine
// on the simulated NPU runtime, task checks, audio intake and the ownership
// of result strings.
#include "zor_asr.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>


namespace {

// The NPU runtime is loaded once per process, on the first network load, so
// the simulated one is named before any test runs.
const bool kSimulatorNamed = [] {
  const char* sim = std::getenv("ZOR_SIM_NPURT");
  if (sim != nullptr) setenv("ZOR_NPURT_PATH", sim, 1);
  return sim != nullptr;
}();

std::string ScratchDir() {
  const char* tmp = std::getenv("ZOR_TEST_TMP");
  std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  ::mkdir(dir.c_str(), 0755);
  dir += "/zor_asr_test_" + std::to_string(::getpid());
  ::mkdir(dir.c_str(), 0755);
  return dir;
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

ZOR_ASRInitConfig Config(uint32_t model_type, const char* model, const char* decoder,
                         const char* tokenizer, const char* extra_json = nullptr) {
  ZOR_ASRInitConfig cfg;
  std::memset(&cfg, 0, sizeof cfg);
  cfg.model_type = model_type;
  cfg.model_path = model;
  cfg.decoder_path = decoder;
  cfg.tokenizer_path = tokenizer;
  cfg.extra_json = extra_json;
  return cfg;
}

// Runs zor_asr_init and returns what it wrote to stderr. The handle is
// expected to come back null (every caller here expects a failure).
std::string InitFailure(const ZOR_ASRInitConfig& cfg) {
  ASRContext ctx = reinterpret_cast<ASRContext>(0x1);  // must be overwritten
  ::testing::internal::CaptureStderr();
  const ZOR_ASRRetStatus rc = zor_asr_init(&ctx, &cfg);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, ZOR_ASR_Status_Failed);
  EXPECT_EQ(ctx, nullptr);
  if (ctx != nullptr && ctx != reinterpret_cast<ASRContext>(0x1)) zor_asr_uninit(ctx);
  return err;
}

bool IsZeroed(const ZOR_ASRResult& r) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(&r);
  for (size_t i = 0; i < sizeof r; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

ZOR_ASRResult Garbage() {
  ZOR_ASRResult r;
  std::memset(&r, 0xAB, sizeof r);
  return r;
}

TEST(FrontDoor, NullArguments) {
  ZOR_ASRInitConfig cfg = Config(ZOR_ASR_MODEL_SENSEVOICE, "m", nullptr, "t");
  EXPECT_EQ(zor_asr_init(nullptr, &cfg), ZOR_ASR_Status_Failed);
  ASRContext ctx = reinterpret_cast<ASRContext>(0x1);
  EXPECT_EQ(zor_asr_init(&ctx, nullptr), ZOR_ASR_Status_Failed);
  EXPECT_EQ(ctx, nullptr);

  ZOR_ASRInput input;
  std::memset(&input, 0, sizeof input);
  ZOR_ASRResult result = Garbage();
  EXPECT_EQ(zor_asr_transcribe(nullptr, &input, &result), ZOR_ASR_Status_Failed);
  EXPECT_TRUE(IsZeroed(result));
  EXPECT_EQ(zor_asr_transcribe(nullptr, nullptr, nullptr), ZOR_ASR_Status_Failed);

  result = Garbage();
  EXPECT_EQ(zor_asr_free_result(&result), ZOR_ASR_Status_Success);
  EXPECT_TRUE(IsZeroed(result));
  EXPECT_EQ(zor_asr_free_result(nullptr), ZOR_ASR_Status_Failed);
  EXPECT_EQ(zor_asr_uninit(nullptr), ZOR_ASR_Status_Success);
}

TEST(FrontDoor, UnknownModelType) {
  EXPECT_EQ(InitFailure(Config(2, "m", "d", "t")), "[zor_asr] unknown model_type=2\n");
  EXPECT_EQ(InitFailure(Config(0xFFFFFFFFu, "m", "d", "t")),
            "[zor_asr] unknown model_type=-1\n");
}

TEST(FrontDoor, SenseVoiceNeedsModelAndTokens) {
  const std::string message = "[zor_asr] SenseVoice requires model_path and tokenizer_path\n";
  EXPECT_EQ(InitFailure(Config(ZOR_ASR_MODEL_SENSEVOICE, nullptr, nullptr, "t")), message);
  EXPECT_EQ(InitFailure(Config(ZOR_ASR_MODEL_SENSEVOICE, "", nullptr, "t")), message);
  EXPECT_EQ(InitFailure(Config(ZOR_ASR_MODEL_SENSEVOICE, "m", nullptr, nullptr)), message);
  EXPECT_EQ(InitFailure(Config(ZOR_ASR_MODEL_SENSEVOICE, "m", nullptr, "")), message);
  // Paths present but no network behind them: the engine fails, and the
  // front door's own line comes last.
  const std::string err =
      InitFailure(Config(ZOR_ASR_MODEL_SENSEVOICE, "/nonexistent/model", nullptr, "/nonexistent/t"));
  const std::string tail = "[zor_asr] sense_voice_create failed\n";
  ASSERT_GE(err.size(), tail.size());
  EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
}

TEST(FrontDoor, WhisperNeedsEncoderDecoderAndTokenizer) {
  const std::string message =
      "[zor_asr] Whisper requires model_path (encoder), decoder_path, and tokenizer_path\n";
  EXPECT_EQ(InitFailure(Config(ZOR_ASR_MODEL_WHISPER, nullptr, "d", "t")), message);
  EXPECT_EQ(InitFailure(Config(ZOR_ASR_MODEL_WHISPER, "e", "", "t")), message);
  EXPECT_EQ(InitFailure(Config(ZOR_ASR_MODEL_WHISPER, "e", nullptr, "t")), message);
  EXPECT_EQ(InitFailure(Config(ZOR_ASR_MODEL_WHISPER, "e", "d", "")), message);
}

TEST(FrontDoor, WhisperTokenizerAndMelFilterPaths) {
  const std::string dir = ScratchDir() + "/whisper_assets";
  ::mkdir(dir.c_str(), 0755);
  std::remove((dir + "/tokenizer_info.bin").c_str());
  std::remove((dir + "/data.bin").c_str());
  auto init = [](const std::string& tokenizer, const char* extra = nullptr) {
    return InitFailure(Config(ZOR_ASR_MODEL_WHISPER, "/nonexistent/enc", "/nonexistent/dec",
                              tokenizer.c_str(), extra));
  };

  // A directory, with or without its trailing separator; the tokenizer file
  // is checked first.
  EXPECT_EQ(init(dir), "[zor_asr] cannot open tokenizer '" + dir + "/tokenizer_info.bin'\n");
  EXPECT_EQ(init(dir + "/"), "[zor_asr] cannot open tokenizer '" + dir + "/tokenizer_info.bin'\n");
  EXPECT_EQ(init(dir + "\\"), "[zor_asr] cannot open tokenizer '" + dir + "\\tokenizer_info.bin'\n");

  WriteFile(dir + "/tokenizer_info.bin", "vocab");
  const std::string no_filters = "[zor_asr] cannot open mel filters '" + dir + "/data.bin'\n";
  EXPECT_EQ(init(dir), no_filters);
  EXPECT_EQ(init(dir + "/"), no_filters);
  EXPECT_EQ(init(dir + "/tokenizer_info.bin"), no_filters);
  // Any name ending in the file name counts as the file itself.
  EXPECT_EQ(init(dir + "/my_tokenizer_info.bin"),
            "[zor_asr] cannot open tokenizer '" + dir + "/my_tokenizer_info.bin'\n");
  // filters_path replaces the derived file when it is not empty.
  EXPECT_EQ(init(dir, "{\"filters_path\": \"/nonexistent/mel.bin\"}"),
            "[zor_asr] cannot open mel filters '/nonexistent/mel.bin'\n");
  EXPECT_EQ(init(dir, "{\"filters_path\": \"\"}"), no_filters);

  // Exactly "tokenizer_info.bin": the current directory, with "data.bin".
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir.c_str()), 0);
  const std::string bare = init("tokenizer_info.bin");
  ASSERT_EQ(::chdir(cwd), 0);
  EXPECT_EQ(bare, "[zor_asr] cannot open mel filters 'data.bin'\n");

  // Both files in place: the engine is asked for, and fails on the missing
  // networks; the front door's own line comes last.
  WriteFile(dir + "/data.bin", "filters");
  const std::string err = init(dir);
  const std::string tail = "[zor_asr] whisper_asr_create failed\n";
  ASSERT_GE(err.size(), tail.size());
  EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
}

// A SenseVoice engine on the simulated NPU runtime whose network "says" the
// scripted tokens: language en, HAPPY, Speech, withitn, "hello world".
class SenseVoiceFrontDoor : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kSimulatorNamed) << "ZOR_SIM_NPURT is not set";
    dir_ = ScratchDir();
    model_ = dir_ + "/sense_voice.model";
    tokens_ = dir_ + "/tokens.txt";
    // A model description for the simulated runtime (sim/npurt/README.md).
    WriteFile(model_,
              "behaviour sensevoice\n"
              "input name=speech dims=1,100,560 type=FP32 role=speech\n"
              "input name=input_1 dims=1 type=INT32 role=language\n"
              "input name=input_2 dims=1 type=INT32 role=text_norm\n"
              "tokens 10 11 12 13 20 21\n");
    WriteFile(tokens_,
              "<blank> 0\n<|en|> 10\n<|HAPPY|> 11\n<|Speech|> 12\n<|withitn|> 13\n"
              "\xE2\x96\x81hello 20\n\xE2\x96\x81world 21\n");
    ZOR_ASRInitConfig cfg = Config(ZOR_ASR_MODEL_SENSEVOICE, model_.c_str(), nullptr,
                                   tokens_.c_str());
    ASSERT_EQ(zor_asr_init(&ctx_, &cfg), ZOR_ASR_Status_Success);
    ASSERT_NE(ctx_, nullptr);
    pcm_.assign(16000, 0);
    for (size_t i = 0; i < pcm_.size(); ++i) pcm_[i] = static_cast<int16_t>((i * 37) % 2000);
  }
  void TearDown() override { EXPECT_EQ(zor_asr_uninit(ctx_), ZOR_ASR_Status_Success); }

  ZOR_ASRInput Pcm(uint32_t rate = 0) const {
    ZOR_ASRInput in;
    std::memset(&in, 0, sizeof in);
    in.audio_type = ZOR_ASR_AUDIO_PCM16;
    in.pcm = pcm_.data();
    in.num_samples = static_cast<uint32_t>(pcm_.size());
    in.sample_rate = rate;
    return in;
  }

  // Transcribes and returns stderr; *rc receives the status.
  std::string Run(const ZOR_ASRInput& in, ZOR_ASRResult* result, ZOR_ASRRetStatus* rc) {
    ::testing::internal::CaptureStderr();
    *rc = zor_asr_transcribe(ctx_, &in, result);
    return ::testing::internal::GetCapturedStderr();
  }

  std::string dir_, model_, tokens_;
  ASRContext ctx_ = nullptr;
  std::vector<int16_t> pcm_;
};

TEST_F(SenseVoiceFrontDoor, TranscribesPcmAndOwnsTheStrings) {
  ZOR_ASRResult result = Garbage();
  ZOR_ASRRetStatus rc;
  EXPECT_EQ(Run(Pcm(), &result, &rc), "");  // rate 0 means 16000: no warning
  ASSERT_EQ(rc, ZOR_ASR_Status_Success);
  ASSERT_NE(result.text, nullptr);
  EXPECT_STREQ(result.text, "hello world");
  ASSERT_NE(result.language, nullptr);
  EXPECT_STREQ(result.language, "en");
  for (size_t i = 16; i < sizeof result; ++i) {
    ASSERT_EQ(reinterpret_cast<const unsigned char*>(&result)[i], 0) << "byte " << i;
  }

  // free_result clears the record only; the context's strings stay valid
  // until the next successful transcription.
  const char* text = result.text;
  ZOR_ASRResult copy = result;
  EXPECT_EQ(zor_asr_free_result(&result), ZOR_ASR_Status_Success);
  EXPECT_TRUE(IsZeroed(result));
  EXPECT_STREQ(text, "hello world");

  // A failed transcription zeroes the record and leaves the earlier strings.
  ZOR_ASRInput empty = Pcm();
  empty.num_samples = 0;
  result = Garbage();
  EXPECT_EQ(Run(empty, &result, &rc), "");
  EXPECT_EQ(rc, ZOR_ASR_Status_Failed);
  EXPECT_TRUE(IsZeroed(result));
  EXPECT_STREQ(copy.text, "hello world");
  EXPECT_STREQ(copy.language, "en");

  // The context still works, and the new result has strings of its own.
  EXPECT_EQ(Run(Pcm(16000), &result, &rc), "");
  ASSERT_EQ(rc, ZOR_ASR_Status_Success);
  EXPECT_STREQ(result.text, "hello world");
}

TEST_F(SenseVoiceFrontDoor, TaskIsCheckedBeforeTheAudio) {
  // The file does not exist: a task error must come before a file error.
  ZOR_ASRInput in;
  std::memset(&in, 0, sizeof in);
  in.audio_type = ZOR_ASR_AUDIO_FILE;
  in.file_path = "/nonexistent/audio.wav";
  ZOR_ASRResult result = Garbage();
  ZOR_ASRRetStatus rc;
  in.task = "translate";
  EXPECT_EQ(Run(in, &result, &rc),
            "[zor_asr] unsupported task 'translate' (SenseVoice is transcribe-only)\n");
  EXPECT_EQ(rc, ZOR_ASR_Status_Failed);
  EXPECT_TRUE(IsZeroed(result));
  in.task = "Transcribe";
  EXPECT_EQ(Run(in, &result, &rc), "[zor_asr] unsupported task 'Transcribe'\n");
  EXPECT_EQ(rc, ZOR_ASR_Status_Failed);
  // Accepted tasks reach the reader.
  for (const char* task : {static_cast<const char*>(nullptr), "", "transcribe"}) {
    in.task = task;
    EXPECT_EQ(Run(in, &result, &rc), "[zor_asr] failed to read wav: failed to open wav file\n");
    EXPECT_EQ(rc, ZOR_ASR_Status_Failed);
  }
}

TEST_F(SenseVoiceFrontDoor, AudioIntake) {
  ZOR_ASRResult result;
  ZOR_ASRRetStatus rc;
  // Missing inputs fail silently.
  ZOR_ASRInput in = Pcm();
  in.pcm = nullptr;
  EXPECT_EQ(Run(in, &result, &rc), "");
  EXPECT_EQ(rc, ZOR_ASR_Status_Failed);
  in = Pcm();
  in.audio_type = 7;
  EXPECT_EQ(Run(in, &result, &rc), "");
  EXPECT_EQ(rc, ZOR_ASR_Status_Failed);
  std::memset(&in, 0, sizeof in);
  in.audio_type = ZOR_ASR_AUDIO_FILE;
  EXPECT_EQ(Run(in, &result, &rc), "");
  EXPECT_EQ(rc, ZOR_ASR_Status_Failed);
  in.file_path = "";
  EXPECT_EQ(Run(in, &result, &rc), "");
  EXPECT_EQ(rc, ZOR_ASR_Status_Failed);

  // 8 kHz PCM: a warning, and still recognised.
  EXPECT_EQ(Run(Pcm(8000), &result, &rc), "[zor_asr] warning: sample rate is 8000, expected 16000\n");
  ASSERT_EQ(rc, ZOR_ASR_Status_Success);
  EXPECT_STREQ(result.text, "hello world");

  // A WAV file: 8 kHz stereo, mixed down, the file's rate reported.
  std::string wav = "RIFF";
  auto u32 = [&wav](uint32_t v) { for (int i = 0; i < 4; ++i) wav.push_back(static_cast<char>(v >> (8 * i))); };
  auto u16 = [&wav](uint16_t v) { wav.push_back(static_cast<char>(v)); wav.push_back(static_cast<char>(v >> 8)); };
  const uint32_t frames = 8000;
  u32(36 + frames * 4);
  wav += "WAVEfmt ";
  u32(16); u16(1); u16(2); u32(8000); u32(8000 * 4); u16(4); u16(16);
  wav += "data";
  u32(frames * 4);
  for (uint32_t i = 0; i < frames * 2; ++i) u16(static_cast<uint16_t>(i % 300));
  const std::string path = dir_ + "/stereo8k.wav";
  WriteFile(path, wav);
  std::memset(&in, 0, sizeof in);
  in.audio_type = ZOR_ASR_AUDIO_FILE;
  in.file_path = path.c_str();
  in.sample_rate = 16000;  // ignored for files
  EXPECT_EQ(Run(in, &result, &rc), "[zor_asr] warning: sample rate is 8000, expected 16000\n");
  ASSERT_EQ(rc, ZOR_ASR_Status_Success);
  EXPECT_STREQ(result.text, "hello world");

  // A file whose data holds no whole frame reaches the engine with no
  // samples, which SenseVoice refuses.
  const std::string tiny = dir_ + "/tiny.wav";
  WriteFile(tiny, wav.substr(0, 40) + std::string("\x01\x00\x00\x00\x07", 5));
  in.file_path = tiny.c_str();
  EXPECT_EQ(Run(in, &result, &rc), "[zor_asr] warning: sample rate is 8000, expected 16000\n");
  EXPECT_EQ(rc, ZOR_ASR_Status_Failed);

  // A lying data size is reported with the reader's text.
  const std::string liar = dir_ + "/liar.wav";
  WriteFile(liar, wav.substr(0, 40) + std::string("\xff\xff\xff\xff", 4));
  in.file_path = liar.c_str();
  EXPECT_EQ(Run(in, &result, &rc), "[zor_asr] failed to read wav: failed to read wav pcm data\n");
  EXPECT_EQ(rc, ZOR_ASR_Status_Failed);
}

}  // namespace
