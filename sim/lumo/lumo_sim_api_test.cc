// The simulator's C entry points driven from C++, so the sanitizer build
// checks its threads, breaks, script parsing and record logging for races,
// leaks and out-of-bounds reads.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "lumo.h"

extern "C" int zor_lumo_sim_live_contexts(void);

namespace {

std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("ZOR_TEST_TMP");
  std::string base = dir && *dir ? dir : "/tmp";
  std::string mkdir = "mkdir -p '" + base + "'";
  if (std::system(mkdir.c_str()) != 0) return "/tmp/" + name;
  return base + "/lumo_sim_" + std::to_string(getpid()) + "_" + name;
}

std::string WriteFile(const std::string& name, const std::string& text) {
  const std::string path = TempPath(name);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Recorder {
  std::vector<std::string> texts;  // "<null>" for a null text or result
  std::vector<int> statuses;
  std::vector<std::string> tool_names;
  LLMContext context = nullptr;
  int break_after = -1;
  std::atomic<int> delivered{0};
};

void OnResult(ZOR_LLMResult* result, void* userdata, ZOR_LLMRunStatus status) {
  auto* r = static_cast<Recorder*>(userdata);
  r->texts.push_back(result && result->generation.text ? result->generation.text : "<null>");
  r->statuses.push_back(status);
  if (++r->delivered == r->break_after) zor_llm_break(r->context);
}

void OnTool(const char* name, const char* /*args*/, void* userdata) {
  static_cast<Recorder*>(userdata)->tool_names.push_back(name ? name : "<null>");
}

class Context {
 public:
  explicit Context(const std::string& script_text, const char* name = "script.json") {
    path_ = WriteFile(name, script_text);
    ZOR_LLMInitConfig config;
    std::memset(&config, 0, sizeof config);
    config.model_path = path_.c_str();
    status_ = zor_llm_init(&context_, &config, OnResult);
  }
  ~Context() {
    if (context_) zor_llm_uninit(context_);
    std::remove(path_.c_str());
  }
  LLMContext get() const { return context_; }
  ZOR_LLMRetStatus status() const { return status_; }

  ZOR_LLMRetStatus Run(Recorder* recorder, const char* prompt = "hi") {
    ZOR_LLMInput input;
    std::memset(&input, 0, sizeof input);
    input.input_type = ZOR_LLM_INPUT_PROMPT;
    input.prompt_input = prompt;
    ZOR_LLMRunConfig config;
    std::memset(&config, 0, sizeof config);
    recorder->context = context_;
    return zor_llm_run(context_, &input, &config, recorder);
  }

 private:
  std::string path_;
  LLMContext context_ = nullptr;
  ZOR_LLMRetStatus status_ = ZOR_LLM_Status_Failed;
};

TEST(LumoSimTest, WorkerPlaybackWithToolCallsAndBreakFromCallback) {
  Context ctx(R"({"runs": [{"thread": "worker", "events": [
      {"text": "a"}, {"tool_call": {"name": "f", "arguments": {"x": [1]}}},
      {"text_hex": "00"}, {"text": "c"}, {"text": "never"}],
      "break_end": "error"}]})");
  ASSERT_EQ(ctx.status(), ZOR_LLM_Status_Success);
  ASSERT_EQ(zor_llm_set_toolcall_callback(ctx.get(), OnTool, 0), ZOR_LLM_Status_Success);
  Recorder r;
  r.break_after = 3;
  ctx.Run(&r);
  EXPECT_EQ(r.texts, (std::vector<std::string>{"a", "", "c", "<null>"}));
  EXPECT_EQ(r.statuses.back(), ZOR_LLM_RUN_ERROR);
  EXPECT_EQ(r.tool_names, std::vector<std::string>{"f"});
}

TEST(LumoSimTest, BreakFromAnotherThreadEndsAWait) {
  Context ctx(R"({"runs": [{"thread": "worker", "events": [
      {"text": "a"}, {"wait_break": 60000}, {"text": "never"}]}]})");
  Recorder r;
  std::thread runner([&] { ctx.Run(&r); });
  while (r.delivered.load() == 0) std::this_thread::yield();
  EXPECT_EQ(zor_llm_break(ctx.get()), ZOR_LLM_Status_Success);
  runner.join();
  EXPECT_EQ(r.texts, (std::vector<std::string>{"a", "<null>"}));
  EXPECT_EQ(r.statuses.back(), ZOR_LLM_RUN_FINISH);
}

TEST(LumoSimTest, StrictBreakWaitsForTheRunToEndAndNotFromInsideADelivery) {
  Context ctx(R"({"strict": true, "runs": [{"thread": "caller", "events": [
      {"text": "a"}, {"wait_break": 60000}, {"text": "never"}], "break_end": {"text": "end"}}]})");
  Recorder r;
  std::atomic<bool> returned{false};
  std::thread runner([&] {
    ctx.Run(&r);
    returned = true;
  });
  while (r.delivered.load() == 0) std::this_thread::yield();
  // The run's final delivery has been made once break returns.
  EXPECT_EQ(zor_llm_break(ctx.get()), ZOR_LLM_Status_Success);
  EXPECT_EQ(r.delivered.load(), 2);
  runner.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(r.texts, (std::vector<std::string>{"a", "end"}));

  Recorder inside;  // a break from the delivering thread itself returns at once
  inside.break_after = 1;
  ctx.Run(&inside);
  EXPECT_EQ(inside.texts, (std::vector<std::string>{"a", "end"}));
}

TEST(LumoSimTest, RecordsImagesAndEveryTextIntoTheLog) {
  const std::string log = TempPath("calls.log");
  std::remove(log.c_str());
  setenv("ZOR_LUMO_SIM_LOG", log.c_str(), 1);
  {
    Context ctx("{}");
    std::vector<unsigned char> pixels(4 * 3 * 3, 0xAB);
    ZOR_LLMImageInput image;
    std::memset(&image, 0, sizeof image);
    image.type = ZOR_LLM_IMAGE_TYPE_BUFFER;
    image.data = pixels.data();
    image.width = 4;
    image.height = 3;
    ZOR_LLMInput input;
    std::memset(&input, 0, sizeof input);
    input.input_type = ZOR_LLM_INPUT_MESSAGES;
    input.multimodal_input.prompt = "look \xff";
    input.multimodal_input.img_inputs = &image;
    input.multimodal_input.img_count = 1;
    ZOR_LLMRunConfig config;
    std::memset(&config, 0, sizeof config);
    config.run_extend.tools_schemas = "[\"\\u00e9\"]";
    Recorder r;
    zor_llm_run(ctx.get(), &input, &config, &r);
    zor_llm_set_chat_template(ctx.get(), nullptr, "p\n\"q\"", nullptr);
  }
  unsetenv("ZOR_LUMO_SIM_LOG");
  const std::string text = ReadFile(log);
  std::remove(log.c_str());
  EXPECT_NE(text.find("\"prompt\":{\"hex\":\"6c6f6f6b20ff\"}"), std::string::npos) << text;
  EXPECT_NE(text.find("\"size\":36"), std::string::npos);
  EXPECT_NE(text.find("\"head_hex\":\"abababababababababababab\""), std::string::npos);
  EXPECT_NE(text.find("\"tools_schemas\":\"[\\\"\\\\u00e9\\\"]\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"prompt_prefix\":\"p\\n\\\"q\\\"\""), std::string::npos) << text;
}

TEST(LumoSimTest, DamagedScriptsFailInitWithoutLeaksOrCrashes) {
  const std::string valid = R"({"init": {"status": 0}, "returns": {"zor_llm_reset": 1},
      "vision": {"projector_type_hex": "ff", "inputs": [{"name": "x", "width": 2}]},
      "runs": [{"match": "m", "events": [{"text": "\u00e9\ud83d\ude00", "token_id": -3},
      {"tool_call": {"name_hex": "00", "arguments": [1, {"a": null}]}}], "end": {"text": "e"}}]})";
  const int live = zor_lumo_sim_live_contexts();
  for (size_t cut = 0; cut < valid.size(); ++cut) {
    Context ctx(valid.substr(0, cut), "damaged.json");
    EXPECT_EQ(ctx.get(), nullptr) << cut;
    EXPECT_EQ(ctx.status(), ZOR_LLM_Status_Failed) << cut;
  }
  Context whole(valid, "whole.json");
  ASSERT_NE(whole.get(), nullptr);
  EXPECT_EQ(zor_llm_reset(whole.get()), ZOR_LLM_Status_Failed);
  Recorder r;
  whole.Run(&r, "m");
  EXPECT_EQ(r.texts, (std::vector<std::string>{"\u00e9\U0001F600", "e"}));
  EXPECT_EQ(zor_lumo_sim_live_contexts(), live + 1);
}

}  // namespace
