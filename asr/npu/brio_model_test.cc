// BrioModel against the simulated NPU runtime: input resolution, frame
// count, quantisation, id inputs, resizing and the handling of the output.
#include "brio_model.h"

#include "zornn_types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "npu_test_support.h"
#include "npurt_model_writer.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class BrioModelTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { sim_ = new SimNpurt(); }
  static void TearDownTestSuite() {
    delete sim_;
    sim_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(sim_->ok()) << "ZOR_SIM_NPURT must name the simulated runtime";
    sim_->Reset();
  }
  void TearDown() override { EXPECT_EQ(sim_->Count("contexts"), 0) << "a context leaked"; }

  std::string Write(const NpurtModel& m) {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string path = TestTmpPath(std::string(info->name()) + "_" + std::to_string(serial_++) +
                                   ".model");
    EXPECT_TRUE(m.WriteTo(path));
    return path;
  }

  // Loads a model and returns the stderr it wrote.
  std::string Load(const NpurtModel& m, std::unique_ptr<BrioModel>* out) {
    const std::string path = Write(m);
    CaptureStderr();
    *out = std::make_unique<BrioModel>(path);
    return GetCapturedStderr();
  }

  static SimNpurt* sim_;
  int serial_ = 0;
};

SimNpurt* BrioModelTest::sim_ = nullptr;

std::vector<float> Features(int frames, float base = 0.0f) {
  std::vector<float> f(static_cast<size_t>(frames) * 560);
  for (size_t i = 0; i < f.size(); ++i) f[i] = base + static_cast<float>(i % 97) * 0.125f;
  return f;
}

// Construction: the IO check, the attribute lines, and failures that leave
// the model unloaded with its context released.
TEST_F(BrioModelTest, ConstructionReportsAttributesAndResolvedInputs) {
  std::unique_ptr<BrioModel> model;
  NpurtModel m = NpurtModel::SenseVoice(800, 1024);
  m.Output(NpurtTensor("logits").Type("FP32"));
  const std::string err = Load(m, &model);
  ASSERT_TRUE(model->loaded) << err;
  EXPECT_EQ(model->n_inputs, 3u);
  EXPECT_EQ(model->speech_index, 0u);
  EXPECT_EQ(model->language_index, 1u);
  EXPECT_EQ(model->text_norm_index, 2u);
  EXPECT_EQ(model->frames, 800);
  EXPECT_NE(err.find("[SenseVoice] input index=0 name=speech n_dims=3 dims=[1,800,560] "
                     "type=FP32 n_elems=448000 size=1792000 scale=1 zp=0\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("[SenseVoice] input index=2 name=input_2 n_dims=1 dims=[1] type=INT32 "
                     "n_elems=1 size=4 scale=1 zp=0\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("[SenseVoice] output index=0 name=logits n_dims=3 dims=[1,804,1024] "
                     "type=FP32 n_elems=823296 size=3293184"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("[SenseVoice] resolved speech=0 language=1 text_norm=2 frames=800\n"),
            std::string::npos);
  // The soft-op option is set once, {0x7FFFFFFF, 0} with a count of 1.
  EXPECT_EQ(sim_->Count("softop_count"), 1);
  EXPECT_EQ(sim_->Values<int32_t>("softop"), (std::vector<int32_t>{0x7FFFFFFF, 0}));
  EXPECT_EQ(sim_->Count("init_config_nonzero"), 0);
  EXPECT_EQ(sim_->Text("calls"),
            "zornn_init\nzornn_query\nzornn_query\nzornn_query\nzornn_query\nzornn_query\n"
            "zornn_set_softop_opt\n");
  model.reset();
  EXPECT_EQ(sim_->Count("zornn_destroy"), 1);
}

TEST_F(BrioModelTest, ConstructionFailuresLeaveTheModelUnloaded) {
  std::unique_ptr<BrioModel> model;
  {
    NpurtModel m("sensevoice");
    m.Input(NpurtTensor("speech").Dims({1, 800, 560}));
    m.Input(NpurtTensor("input_1").Dims({1}).Type("INT32"));
    EXPECT_NE(Load(m, &model).find("unexpected IO: n_input=2 n_output=1\n"), std::string::npos);
    EXPECT_FALSE(model->loaded);
    EXPECT_EQ(model->context, nullptr);
  }
  {
    NpurtModel m = NpurtModel::SenseVoice();
    m.Line("n_outputs 0");
    EXPECT_NE(Load(m, &model).find("unexpected IO: n_input=3 n_output=0\n"), std::string::npos);
    EXPECT_FALSE(model->loaded);
  }
  {
    CaptureStderr();
    BrioModel missing(TestTmpPath("does_not_exist.model"));
    EXPECT_NE(GetCapturedStderr().find("zornn_init failed: " +
                                       TestTmpPath("does_not_exist.model") + "\n"),
              std::string::npos);
    EXPECT_FALSE(missing.loaded);
  }
  {
    // A zero result with a null handle is no context.
    NpurtModel m = NpurtModel::SenseVoice();
    m.Line("init_null_handle 1");
    EXPECT_NE(Load(m, &model).find("zornn_init failed: "), std::string::npos);
    EXPECT_FALSE(model->loaded);
  }
  {
    NpurtModel m = NpurtModel::SenseVoice();
    m.Line("fail zornn_query 1");
    EXPECT_NE(Load(m, &model).find("zornn_query IN_OUT_NUM failed\n"), std::string::npos);
    EXPECT_FALSE(model->loaded);
  }
  {
    NpurtModel m = NpurtModel::SenseVoice();
    m.Line("fail zornn_query 3");  // the INPUT_ATTR query of input 1
    EXPECT_NE(Load(m, &model).find("zornn_query INPUT_ATTR failed, index=1\n"),
              std::string::npos);
    EXPECT_FALSE(model->loaded);
  }
  EXPECT_EQ(sim_->Count("contexts"), 0);
  {
    // A failed output query is not fatal; it is just not printed.
    NpurtModel m = NpurtModel::SenseVoice();
    m.Line("fail zornn_query 5");
    const std::string err = Load(m, &model);
    EXPECT_TRUE(model->loaded);
    EXPECT_EQ(err.find("output index="), std::string::npos);
  }
  model.reset();
}

TEST_F(BrioModelTest, ResolvesSpeechAndIdInputs) {
  std::unique_ptr<BrioModel> model;
  {
    // Ids first, speech last.
    NpurtModel m("sensevoice");
    m.Input(NpurtTensor("a").Dims({1}).Type("INT32"));
    m.Input(NpurtTensor("b").Dims({1}).Type("INT32"));
    m.Input(NpurtTensor("speech").Dims({1, 120, 560}));
    Load(m, &model);
    EXPECT_EQ(model->speech_index, 2u);
    EXPECT_EQ(model->language_index, 0u);
    EXPECT_EQ(model->text_norm_index, 1u);
    EXPECT_EQ(model->frames, 120);
  }
  {
    // keras_tensor_2 reported before keras_tensor_1 still maps by name.
    NpurtModel m("sensevoice");
    m.Input(NpurtTensor("speech").Dims({1, 800, 560}));
    m.Input(NpurtTensor("keras_tensor_2").Dims({1}).Type("INT32"));
    m.Input(NpurtTensor("keras_tensor_1").Dims({1}).Type("INT32"));
    Load(m, &model);
    EXPECT_EQ(model->language_index, 2u);
    EXPECT_EQ(model->text_norm_index, 1u);
  }
  {
    // The same with the other naming.
    NpurtModel m("sensevoice");
    m.Input(NpurtTensor("speech").Dims({1, 800, 560}));
    m.Input(NpurtTensor("serving_input_2").Dims({1}).Type("INT32"));
    m.Input(NpurtTensor("serving_input_1").Dims({1}).Type("INT32"));
    Load(m, &model);
    EXPECT_EQ(model->language_index, 2u);
    EXPECT_EQ(model->text_norm_index, 1u);
  }
  {
    // No 560 extent: input 0 takes the features; ids that are not scalars
    // fall back to the remaining inputs in order.
    NpurtModel m("sensevoice");
    m.Input(NpurtTensor("x").Dims({1, 800, 80}));
    m.Input(NpurtTensor("y").Dims({1, 2}).Type("INT32"));
    m.Input(NpurtTensor("z").Dims({1, 2}).Type("INT32"));
    m.Input(NpurtTensor("w").Dims({1, 2}).Type("INT32"));
    Load(m, &model);
    EXPECT_EQ(model->speech_index, 0u);
    EXPECT_EQ(model->language_index, 1u);
    EXPECT_EQ(model->text_norm_index, 2u);
  }
  {
    // The later of two speech candidates wins.
    NpurtModel m("sensevoice");
    m.Input(NpurtTensor("s1").Dims({1, 10, 560}));
    m.Input(NpurtTensor("id").Dims({1}).Type("INT32"));
    m.Input(NpurtTensor("s2").Dims({1, 20, 560}));
    Load(m, &model);
    EXPECT_EQ(model->speech_index, 2u);
    EXPECT_EQ(model->frames, 20);
    EXPECT_EQ(model->language_index, 0u);
    EXPECT_EQ(model->text_norm_index, 1u);
  }
  {
    // An exact name beats a name that merely contains it: input_10 is not
    // input_1, and the two ids never share an input.
    NpurtModel m("sensevoice");
    m.Input(NpurtTensor("speech").Dims({1, 800, 560}));
    m.Input(NpurtTensor("input_10").Dims({1}).Type("INT32"));
    m.Input(NpurtTensor("input_1").Dims({1}).Type("INT32"));
    Load(m, &model);
    EXPECT_EQ(model->language_index, 2u);
    EXPECT_EQ(model->text_norm_index, 1u);
  }
  {
    // Only the text-normalisation input is named, and it comes first: the
    // language id takes the other one.
    NpurtModel m("sensevoice");
    m.Input(NpurtTensor("speech").Dims({1, 800, 560}));
    m.Input(NpurtTensor("input_2").Dims({1}).Type("INT32"));
    m.Input(NpurtTensor("lang").Dims({1}).Type("INT32"));
    Load(m, &model);
    EXPECT_EQ(model->language_index, 2u);
    EXPECT_EQ(model->text_norm_index, 1u);
  }
  {
    // Three scalars and no speech extent: input 0 is speech and is not
    // bound a second time as an id input.
    NpurtModel m("sensevoice");
    m.Input(NpurtTensor("a").Dims({1}));
    m.Input(NpurtTensor("b").Dims({1}).Type("INT32"));
    m.Input(NpurtTensor("c").Dims({1}).Type("INT32"));
    Load(m, &model);
    EXPECT_EQ(model->speech_index, 0u);
    EXPECT_EQ(model->language_index, 1u);
    EXPECT_EQ(model->text_norm_index, 2u);
  }
  model.reset();
}

TEST_F(BrioModelTest, FrameCountRules) {
  auto frames_of = [&](NpurtTensor speech) {
    NpurtModel m("sensevoice");
    m.Input(speech);
    m.Input(NpurtTensor("input_1").Dims({1}).Type("INT32"));
    m.Input(NpurtTensor("input_2").Dims({1}).Type("INT32"));
    std::unique_ptr<BrioModel> model;
    Load(m, &model);
    EXPECT_TRUE(model->loaded);
    return model->frames;
  };
  EXPECT_EQ(frames_of(NpurtTensor("s").Dims({1, 800, 560})), 800);
  EXPECT_EQ(frames_of(NpurtTensor("s").Dims({1, 560, 300})), 300);
  // No usable extent: element count / 560, or 800 below one row.
  EXPECT_EQ(frames_of(NpurtTensor("s").Dims({1, 560}).NElems(800 * 560)), 800);
  EXPECT_EQ(frames_of(NpurtTensor("s").Dims({1, 560}).NElems(93 * 560 + 7)), 93);
  EXPECT_EQ(frames_of(NpurtTensor("s").Dims({1, 560}).NElems(100)), 800);
  // n_elems 0: the product of the extents, a 0 extent counting as 1.
  EXPECT_EQ(frames_of(NpurtTensor("s").Dims({0, 1, 560}).NElems(0)), 1);
  // n_dims beyond six: only six extents are read.
  EXPECT_EQ(frames_of(NpurtTensor("s").Dims({1, 1, 1, 1, 1, 560}).NDims(40).NElems(560 * 7)), 7);
}

// Quantisation: q = round(x / scale + zp) with halves away from zero,
// clamped to the type, stored little-endian.
TEST_F(BrioModelTest, QuantisesSpeechToTheInputType) {
  const std::vector<float> probes = {2.5f,  -2.5f,       200.0f, -200.0f,     0.49999997f,
                                     1.5f,  -0.5f,       0.5f,   -1.4999999f, 70000.0f,
                                     -7e4f, 32767.5f,    3.0f,   -0.0f,       1e30f,
                                     -1e30f, 254.5f,     -128.5f};
  auto run = [&](const std::string& type, float scale, int zp) {
    NpurtModel m("sensevoice");
    NpurtTensor speech("speech");
    speech.Dims({1, 1, 560}).Type(type).Scale(scale).Zp(zp);
    m.Input(speech);
    m.Input(NpurtTensor("input_1").Dims({1}).Type("INT32"));
    m.Input(NpurtTensor("input_2").Dims({1}).Type("INT32"));
    m.Line("vocab 1024");
    std::unique_ptr<BrioModel> model;
    Load(m, &model);
    std::vector<float> features(560, 0.25f);
    std::copy(probes.begin(), probes.end(), features.begin());
    ForwardResult r = model->Forward(features.data(), 1, 560, 0, 0, false);
    EXPECT_EQ(r.frames, 5);
    return sim_->Record("speech");
  };
  auto reference = [&](float x, float scale, int zp, double lo, double hi) {
    const float s = scale == 0.0f ? 1.0f : scale;
    const double q = std::round(static_cast<double>(x / s + static_cast<float>(zp)));
    return static_cast<long>(std::min(hi, std::max(lo, q)));
  };
  {
    std::vector<uint8_t> got = run("INT8", 0.0f, 0);  // scale 0 acts as 1
    ASSERT_EQ(got.size(), 560u);
    const std::vector<int8_t> expect = {3, -3, 127, -128, 0, 2, -1, 1, -1, 127, -128, 127,
                                        3, 0,  127, -128, 127, -128};
    for (size_t i = 0; i < expect.size(); ++i) {
      EXPECT_EQ(static_cast<int8_t>(got[i]), expect[i]) << "probe " << probes[i];
    }
    EXPECT_EQ(static_cast<int8_t>(got[559]), 0);  // 0.25 rounds to 0
  }
  {
    std::vector<uint8_t> got = run("UINT8", 0.5f, 128);
    ASSERT_EQ(got.size(), 560u);
    for (size_t i = 0; i < probes.size(); ++i) {
      EXPECT_EQ(got[i], reference(probes[i], 0.5f, 128, 0, 255)) << "probe " << probes[i];
    }
    EXPECT_EQ(got[559], 129);  // 0.25 / 0.5 + 128 = 128.5, away from zero
  }
  {
    std::vector<uint8_t> got = run("INT16", 0.01f, -3);
    ASSERT_EQ(got.size(), 1120u);
    for (size_t i = 0; i < probes.size(); ++i) {
      const int16_t v = static_cast<int16_t>(got[2 * i] | (got[2 * i + 1] << 8));
      EXPECT_EQ(v, reference(probes[i], 0.01f, -3, -32768, 32767)) << "probe " << probes[i];
    }
  }
  {
    std::vector<uint8_t> got = run("UINT16", 1.0f, 0);
    ASSERT_EQ(got.size(), 1120u);
    for (size_t i = 0; i < probes.size(); ++i) {
      const uint16_t v = static_cast<uint16_t>(got[2 * i] | (got[2 * i + 1] << 8));
      EXPECT_EQ(v, reference(probes[i], 1.0f, 0, 0, 65535)) << "probe " << probes[i];
    }
  }
  {
    // Float inputs get the features unchanged, quantisation settings ignored.
    std::vector<uint8_t> got = run("FP32", 0.5f, 7);
    ASSERT_EQ(got.size(), 2240u);
    float first;
    std::memcpy(&first, got.data(), 4);
    EXPECT_EQ(first, 2.5f);
  }
  for (const char* type : {"FP16", "BF16"}) {
    // 16-bit floats, rounded to nearest even; quantisation settings ignored.
    std::vector<uint8_t> got = run(type, 0.5f, 7);
    ASSERT_EQ(got.size(), 1120u);
    const bool half = std::string(type) == "FP16";
    for (size_t i = 0; i < probes.size(); ++i) {
      const uint16_t v = static_cast<uint16_t>(got[2 * i] | (got[2 * i + 1] << 8));
      const float back = half ? HalfToFloat(v) : Bfloat16ToFloat(v);
      if (half && std::fabs(probes[i]) > 65504.0f) {
        EXPECT_TRUE(std::isinf(back) && std::signbit(back) == std::signbit(probes[i]));
      } else {
        EXPECT_NEAR(back, probes[i], std::fabs(probes[i]) * (half ? 1.0 / 2048 : 1.0 / 256))
            << type << " probe " << probes[i];
      }
    }
    EXPECT_EQ(got[0] | (got[1] << 8), half ? 0x4100 : 0x4020);  // 2.5
  }
}

// Types no speech buffer can be built in are refused when the model loads.
TEST_F(BrioModelTest, SpeechInputsOfOtherTypesAreRefusedAtLoad) {
  for (const char* type : {"INT32", "UINT32", "INT64", "UINT64", "INT4", "BOOL", "77"}) {
    std::unique_ptr<BrioModel> model;
    const std::string err = Load(NpurtModel::SenseVoice(800, 1024, type), &model);
    EXPECT_FALSE(model->loaded) << type;
    const std::string name = std::string(type) == "77" ? "UNKNOWN" : type;
    EXPECT_NE(err.find("[SenseVoice] speech input 0 has element type " + name), std::string::npos)
        << err;
  }
}

TEST_F(BrioModelTest, QuantisationMatchesScalarRoundingOnManyValues) {
  // Many values, including exact halves and values just beside them, across
  // a whole input; catches a vectorised path that rounds differently from
  // the scalar definition anywhere, tail included.
  NpurtModel m("sensevoice");
  m.Input(NpurtTensor("speech").Dims({1, 9, 560}).Type("INT16").Scale(0.25f).Zp(5));
  m.Input(NpurtTensor("input_1").Dims({1}).Type("INT32"));
  m.Input(NpurtTensor("input_2").Dims({1}).Type("INT32"));
  m.Line("vocab 1024");
  std::unique_ptr<BrioModel> model;
  Load(m, &model);
  std::vector<float> f(9 * 560);
  uint32_t seed = 12345;
  for (size_t i = 0; i < f.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    const float half = static_cast<float>(static_cast<int>(seed >> 16) - 32768) * 0.125f + 0.125f;
    f[i] = (i % 3 == 0) ? half : std::nextafter(half, (i % 3 == 1) ? 1e9f : -1e9f);
  }
  ForwardResult r = model->Forward(f.data(), 9, 560, 0, 0, false);
  ASSERT_EQ(r.frames, 13);
  std::vector<int16_t> got = sim_->Values<int16_t>("speech");
  ASSERT_EQ(got.size(), f.size());
  for (size_t i = 0; i < f.size(); ++i) {
    const float q = std::round(f[i] / 0.25f + 5.0f);
    const float c = std::min(32767.0f, std::max(-32768.0f, q));
    ASSERT_EQ(got[i], static_cast<int16_t>(c)) << "value " << f[i] << " at " << i;
  }
}

TEST_F(BrioModelTest, SpeechAndIdBuffersGrowToTheAttributeSize) {
  NpurtModel m("sensevoice");
  m.Input(NpurtTensor("speech").Dims({1, 2, 560}).Type("INT8").Size(2 * 560 + 64));
  m.Input(NpurtTensor("input_1").Dims({1, 3}).Type("INT32"));
  m.Input(NpurtTensor("input_2").Dims({1}).Type("INT32").Size(24));
  m.Line("vocab 1024");
  std::unique_ptr<BrioModel> model;
  Load(m, &model);
  // The id inputs are not scalars here, so resolution falls back to order.
  ASSERT_EQ(model->language_index, 1u);
  std::vector<float> f(2 * 560, 1.0f);
  ASSERT_EQ(model->Forward(f.data(), 2, 560, 7, 14, false).frames, 6);
  std::vector<uint8_t> speech = sim_->Record("speech");
  ASSERT_EQ(speech.size(), 2u * 560 + 64);
  EXPECT_EQ(speech[0], 1);
  EXPECT_EQ(speech[2 * 560 + 63], 0);
  EXPECT_EQ(sim_->Values<int32_t>("input1"), (std::vector<int32_t>{7, 0, 0}));
  EXPECT_EQ(sim_->Values<int32_t>("input2"), (std::vector<int32_t>{14, 0, 0, 0, 0, 0}));
}

TEST_F(BrioModelTest, InputsBeyondTheThreeResolvedAreBoundWithoutABuffer) {
  NpurtModel m("sensevoice");
  m.Input(NpurtTensor("extra").Dims({1, 4}).Type("INT32"));
  m.Input(NpurtTensor("speech").Dims({1, 6, 560}));
  m.Input(NpurtTensor("input_1").Dims({1}).Type("INT32"));
  m.Input(NpurtTensor("input_2").Dims({1}).Type("INT32"));
  m.Line("vocab 1024");
  std::unique_ptr<BrioModel> model;
  Load(m, &model);
  ASSERT_EQ(model->speech_index, 1u);
  ASSERT_EQ(model->language_index, 2u);
  ASSERT_EQ(model->text_norm_index, 3u);
  std::vector<float> f = Features(6);
  ASSERT_EQ(model->Forward(f.data(), 6, 560, 4, 15, false).frames, 10);
  // The runtime records every input it was handed a buffer for.
  EXPECT_EQ(sim_->Record("input0").size(), 0u);
  EXPECT_EQ(sim_->Record("input1").size(), 6u * 560 * 4);
  EXPECT_EQ(sim_->Values<int32_t>("input2"), std::vector<int32_t>{4});
  EXPECT_EQ(sim_->Values<int32_t>("input3"), std::vector<int32_t>{15});
}

TEST_F(BrioModelTest, IdValuesAndSwap) {
  std::unique_ptr<BrioModel> model;
  NpurtModel m = NpurtModel::SenseVoice(10, 1024);
  Load(m, &model);
  std::vector<float> f = Features(10);
  ASSERT_EQ(model->Forward(f.data(), 10, 560, 7, 14, false).frames, 14);
  EXPECT_EQ(sim_->Values<int32_t>("language"), std::vector<int32_t>{7});
  EXPECT_EQ(sim_->Values<int32_t>("text_norm"), std::vector<int32_t>{14});
  ASSERT_EQ(model->Forward(f.data(), 10, 560, 7, 14, true).frames, 14);
  EXPECT_EQ(sim_->Values<int32_t>("language"), std::vector<int32_t>{14});
  EXPECT_EQ(sim_->Values<int32_t>("text_norm"), std::vector<int32_t>{7});
}

TEST_F(BrioModelTest, ResizesTheSpeechInputOnlyWhenTheSizeChanges) {
  std::unique_ptr<BrioModel> model;
  NpurtModel m = NpurtModel::SenseVoice(800, 1024);
  m.Tokens({24884, 25004, 25016, 25017, 7, 7, 9});
  Load(m, &model);
  std::vector<float> f = Features(100);
  ForwardResult r = model->Forward(f.data(), 100, 560, 0, 14, false);
  ASSERT_EQ(r.frames, 104);  // the new frame count plus the four query frames
  EXPECT_EQ(r.vocab, 1024);
  EXPECT_EQ(sim_->Text("shapes"), "0:[1,100,560] 1:[1] 2:[1]\n");
  EXPECT_EQ(sim_->Record("speech").size(), 100u * 560 * 4);
  // Same shape again: nothing to resize.
  r = model->Forward(f.data(), 100, 560, 0, 14, false);
  EXPECT_EQ(r.frames, 104);
  EXPECT_EQ(sim_->Count("zornn_set_input_shapes"), 1);
  // The model's frame count is what the recognizer pads to; it stays put.
  EXPECT_EQ(model->frames, 800);
}

TEST_F(BrioModelTest, ResizeFailureIsReportedAndTheModelStaysUsable) {
  std::unique_ptr<BrioModel> model;
  NpurtModel m = NpurtModel::SenseVoice(800, 1024);
  m.Line("fail zornn_set_input_shapes 1");
  Load(m, &model);
  std::vector<float> f = Features(800);
  CaptureStderr();
  ForwardResult r = model->Forward(f.data(), 50, 560, 0, 14, false);
  EXPECT_EQ(GetCapturedStderr(),
            "zornn_set_input_shapes failed (n_inputs=3, frames=50, dim=560)\n");
  EXPECT_TRUE(r.logits.empty());
  EXPECT_EQ(r.frames, 0);
  EXPECT_EQ(r.vocab, 0);
  EXPECT_EQ(sim_->Count("zornn_run"), 0);
  r = model->Forward(f.data(), 800, 560, 0, 14, false);
  EXPECT_EQ(r.frames, 804);
}

TEST_F(BrioModelTest, RejectsBadArgumentsWithoutCallingTheRuntime) {
  std::unique_ptr<BrioModel> model;
  Load(NpurtModel::SenseVoice(10, 1024), &model);
  sim_->Reset();
  std::vector<float> f = Features(10);
  CaptureStderr();
  EXPECT_TRUE(model->Forward(nullptr, 10, 560, 0, 0, false).logits.empty());
  EXPECT_TRUE(model->Forward(f.data(), 0, 560, 0, 0, false).logits.empty());
  EXPECT_TRUE(model->Forward(f.data(), -3, 560, 0, 0, false).logits.empty());
  EXPECT_TRUE(model->Forward(f.data(), 10, 0, 0, 0, false).logits.empty());
  // A product beyond 32 bits is refused rather than wrapped.
  EXPECT_TRUE(model->Forward(f.data(), 1 << 22, 1 << 12, 0, 0, false).logits.empty());
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(sim_->Text("calls"), "");

  std::unique_ptr<BrioModel> unloaded;
  NpurtModel bad = NpurtModel::SenseVoice();
  bad.Line("fail zornn_init all");
  Load(bad, &unloaded);
  EXPECT_TRUE(unloaded->Forward(f.data(), 10, 560, 0, 0, false).logits.empty());
}

// The network's path, read back through both output layouts.
TEST_F(BrioModelTest, FrameMajorIsCopiedAndVocabMajorTransposed) {
  const int vocab = 1500;  // above 1000, not a multiple of the tile
  std::vector<ForwardResult> results;
  for (const char* layout : {"frame_major", "vocab_major"}) {
    NpurtModel m = NpurtModel::SenseVoice(800, vocab);
    m.Line(std::string("layout ") + layout).Tokens({24884 % vocab, 25004 % vocab, 7, 7, 1023});
    std::unique_ptr<BrioModel> model;
    Load(m, &model);
    std::vector<float> f = Features(37);
    results.push_back(model->Forward(f.data(), 37, 560, 0, 14, false));
    ASSERT_EQ(results.back().frames, 41);
    ASSERT_EQ(results.back().vocab, vocab);
  }
  EXPECT_EQ(results[0].logits, results[1].logits);
  // The winners spell the path: 7, blank, 7 keep the repeat apart.
  const std::vector<int> path = {24884 % vocab, 25004 % vocab, 7, 0, 7, 1023, 0, 0};
  for (size_t t = 0; t < path.size(); ++t) {
    const float* row = &results[1].logits[t * vocab];
    EXPECT_EQ(std::max_element(row, row + vocab) - row, path[t]) << "frame " << t;
  }
}

// ForwardInPlace hands over the runtime's own buffer in the runtime's
// layout, holding what Forward returns as rows; half-precision logits come
// as the network wrote them, not converted. Every failure leaves the reader
// uncalled, and the model usable.
TEST_F(BrioModelTest, ForwardInPlaceReadsTheRuntimesOwnOutput) {
  const int vocab = 1500;
  for (const auto& [halves, vocab_major] : std::initializer_list<std::pair<bool, bool>>{
           {false, false}, {false, true}, {true, false}, {true, true}}) {
    const std::string layout =
        std::string(vocab_major ? "vocab_major" : "frame_major") + (halves ? ", FP16" : "");
    NpurtModel m = NpurtModel::SenseVoice(800, vocab);
    m.Line(std::string("layout ") + (vocab_major ? "vocab_major" : "frame_major"))
        .Tokens({3, 5, 5, 1200});
    if (halves) m.Output(NpurtTensor("logits").Type("FP16"));
    std::unique_ptr<BrioModel> model;
    Load(m, &model);
    std::vector<float> f = Features(37);
    const ForwardResult expected = model->Forward(f.data(), 37, 560, 0, 14, false);
    ASSERT_EQ(expected.frames, 41);

    int calls = 0;
    LogitsView seen;
    bool cells_match = true;
    const BrioModel::LogitsReader read = [&](const LogitsView& out) {
      ++calls;
      seen = out;
      cells_match = (out.halves != nullptr) == halves && (out.data != nullptr) == !halves;
      for (int32_t t = 0; t < out.frames; ++t) {
        for (int32_t v = 0; v < out.vocab; ++v) {
          const size_t at =
              out.vocab_major ? size_t(v) * out.frames + t : size_t(t) * out.vocab + v;
          const float cell = halves ? HalfToFloat(out.halves[at]) : out.data[at];
          cells_match = cells_match && cell == expected.logits[size_t(t) * vocab + v];
        }
      }
    };
    ASSERT_TRUE(model->ForwardInPlace(f.data(), 37, 560, 0, 14, false, read)) << layout;
    EXPECT_EQ(calls, 1) << layout;
    EXPECT_EQ(seen.frames, 41) << layout;
    EXPECT_EQ(seen.vocab, vocab) << layout;
    EXPECT_EQ(seen.vocab_major, vocab_major) << layout;
    EXPECT_TRUE(cells_match) << layout;
    // The very buffer the runtime returns (it stays valid until the next
    // run), not a copy of it.
    zornn_output output;
    std::memset(&output, 0, sizeof(output));
    output.want_float = halves ? 0 : 1;
    ASSERT_EQ(zornn_outputs_get(model->context, 1, &output), 0);
    EXPECT_EQ(halves ? static_cast<const void*>(seen.halves) : seen.data, output.buf) << layout;

    calls = 0;
    EXPECT_FALSE(model->ForwardInPlace(nullptr, 37, 560, 0, 14, false, read));
    EXPECT_EQ(calls, 0) << layout;
    // A reader that throws is a failed call, not an escaping exception.
    EXPECT_FALSE(model->ForwardInPlace(f.data(), 37, 560, 0, 14, false,
                                       [](const LogitsView&) { throw std::bad_alloc(); }));
    EXPECT_TRUE(model->ForwardInPlace(f.data(), 37, 560, 0, 14, false, read));
    EXPECT_EQ(calls, 1) << layout;
  }
}

TEST_F(BrioModelTest, FullSizeVocabMajorOutputIsTransposed) {
  // [1, 25055, 93] becomes 93 rows of 25055; [1, 93, 25055] is copied.
  std::vector<ForwardResult> results;
  for (const char* layout : {"vocab_major", "frame_major"}) {
    NpurtModel m = NpurtModel::SenseVoice(800, 25055);
    m.Line("behaviour prepared").Line(std::string("layout ") + layout);
    if (std::string(layout) == "vocab_major") {
      m.Output(NpurtTensor("logits").Dims({1, 25055, 93}));
    } else {
      m.Output(NpurtTensor("logits").Dims({1, 93, 25055}));
    }
    m.Tokens({24884, 25004, 25016, 25017, 5000, 5000, 25054});
    std::unique_ptr<BrioModel> model;
    Load(m, &model);
    std::vector<float> f = Features(800);
    results.push_back(model->Forward(f.data(), 800, 560, 0, 14, false));
    ASSERT_EQ(results.back().frames, 93);
    ASSERT_EQ(results.back().vocab, 25055);
  }
  EXPECT_EQ(results[0].logits, results[1].logits);
  EXPECT_EQ(results[0].logits[5 * 25055 + 0], 10.0f);      // the blank between repeats
  EXPECT_EQ(results[0].logits[7 * 25055 + 25054], 10.0f);  // the last vocabulary entry
}

// The frame axis is never the vocabulary, however many frames: the one that
// equals the feature frames plus the tag frames (or the feature frames) is
// the frame axis, and the token table's size names the vocabulary.
TEST_F(BrioModelTest, LongInputsKeepTheFrameAxis) {
  struct Case {
    const char* layout;
    uint32_t extra_frames;
    uint32_t vocab;
    uint32_t vocab_size;  // the token table the model is told of
  };
  for (const Case& c : {Case{"frame_major", 4, 25055, 0}, Case{"vocab_major", 4, 25055, 0},
                        Case{"frame_major", 0, 25055, 0}, Case{"frame_major", 2, 25055, 25055},
                        Case{"vocab_major", 2, 1100, 1100}}) {
    NpurtModel m = NpurtModel::SenseVoice(1200, c.vocab);
    m.Line(std::string("layout ") + c.layout)
        .Line("output_extra_frames " + std::to_string(c.extra_frames))
        .Tokens({1001, 1002, 1003, 1004, 5, 5, 9});
    std::unique_ptr<BrioModel> model;
    Load(m, &model);
    model->vocab_size = c.vocab_size;
    std::vector<float> f = Features(1200);
    ForwardResult r = model->Forward(f.data(), 1200, 560, 0, 14, false);
    const int32_t frames = 1200 + static_cast<int32_t>(c.extra_frames);
    ASSERT_EQ(r.frames, frames) << c.layout << " +" << c.extra_frames;
    ASSERT_EQ(r.vocab, static_cast<int32_t>(c.vocab));
    const std::vector<int> path = {1001, 1002, 1003, 1004, 5, 0, 5, 9, 0};
    for (size_t t = 0; t < path.size(); ++t) {
      const float* row = &r.logits[t * c.vocab];
      EXPECT_EQ(std::max_element(row, row + c.vocab) - row, path[t]) << "frame " << t;
    }
  }
}

TEST_F(BrioModelTest, OutputChecks) {
  auto forward = [&](NpurtModel m, std::string* err) {
    std::unique_ptr<BrioModel> model;
    Load(m, &model);
    EXPECT_TRUE(model->loaded);
    std::vector<float> f = Features(800);
    CaptureStderr();
    ForwardResult r = model->Forward(f.data(), 800, 560, 0, 14, false);
    *err = GetCapturedStderr();
    // Every fault is permanent here: the in-place reader is never called
    // either, and says the same.
    bool read = false;
    CaptureStderr();
    EXPECT_FALSE(model->ForwardInPlace(f.data(), 800, 560, 0, 14, false,
                                       [&read](const LogitsView&) { read = true; }));
    EXPECT_EQ(GetCapturedStderr(), *err);
    EXPECT_FALSE(read);
    return r;
  };
  std::string err;
  {
    NpurtModel m = NpurtModel::SenseVoice();
    m.Line("behaviour prepared").Output(NpurtTensor("logits").Dims({1, 1000}));
    ForwardResult r = forward(m, &err);
    EXPECT_EQ(err, "unexpected logits size=1000 vocab=25055\n");
    EXPECT_TRUE(r.logits.empty());
    EXPECT_EQ(r.frames, 0);
  }
  for (const char* fault : {"null", "empty", "misaligned"}) {
    NpurtModel m = NpurtModel::SenseVoice(800, 1024);
    m.Line(std::string("output_fault ") + fault);
    ForwardResult r = forward(m, &err);
    EXPECT_EQ(err, "") << fault;
    EXPECT_TRUE(r.logits.empty()) << fault;
  }
  {
    NpurtModel m = NpurtModel::SenseVoice(800, 1024);
    m.Line("output_fault short");
    ForwardResult r = forward(m, &err);
    EXPECT_EQ(err, "unexpected logits size=823295 vocab=1024\n");
    EXPECT_TRUE(r.logits.empty());
  }
  {
    // A vocabulary extent that does not fit in int32.
    NpurtModel m = NpurtModel::SenseVoice();
    m.Line("behaviour prepared").Output(NpurtTensor("logits").Dims({1, 3000000000u}).NElems(8));
    ForwardResult r = forward(m, &err);
    EXPECT_EQ(err, "unexpected logits size=8 vocab=-1294967296\n");
    EXPECT_TRUE(r.logits.empty());
  }
}

TEST_F(BrioModelTest, RuntimeCallFailuresAreReportedAndRecoverable) {
  struct Case {
    const char* fail;
    const char* message;
  };
  for (const Case& c : {Case{"fail zornn_inputs_set 1", "zornn_inputs_set failed\n"},
                        Case{"fail zornn_run 1", "zornn_run failed\n"},
                        Case{"fail zornn_outputs_get 1", "zornn_outputs_get failed\n"},
                        Case{"fail zornn_query 6",
                             "[SenseVoice] zornn_query INPUT_ATTR failed, index=0\n"},
                        Case{"query_fault OUTPUT_ATTR 2",
                             "[SenseVoice] zornn_query OUTPUT_ATTR failed\n"}}) {
    NpurtModel m = NpurtModel::SenseVoice(20, 1024);
    m.Line(c.fail);
    std::unique_ptr<BrioModel> model;
    Load(m, &model);
    std::vector<float> f = Features(20);
    CaptureStderr();
    ForwardResult r = model->Forward(f.data(), 20, 560, 0, 14, false);
    EXPECT_EQ(GetCapturedStderr(), c.message) << c.fail;
    EXPECT_TRUE(r.logits.empty()) << c.fail;
    r = model->Forward(f.data(), 20, 560, 0, 14, false);
    EXPECT_EQ(r.frames, 24) << c.fail;
  }
}

}  // namespace
