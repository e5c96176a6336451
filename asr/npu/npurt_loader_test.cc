// The NPU runtime loader: which file it opens, its messages, and recovery
// after failed loads. The loader is process-wide and loads once, so every
// scenario runs in its own child process (a death test that exits 0 when all
// its checks passed; the parent matches the child's stderr).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "npu_test_support.h"
#include "npurt_model_writer.h"
#include "zornn_api.h"
#include "zornn_types.h"

namespace {

std::string SimPath() {
  const char* p = std::getenv("ZOR_SIM_NPURT");
  return p ? p : "";
}

std::string ValidModel() {
  std::string path = TestTmpPath("loader_valid.model");
  NpurtModel::SenseVoice(10, 1024).WriteTo(path);
  return path;
}

// Every forwarder, with arguments the runtime would reject if it were
// reached; returns how many returned -1.
int CallAllForwarders() {
  int failures = 0;
  zornn_context ctx = nullptr;
  zornn_in_out_num io{};
  zornn_softop_opt opt{{0x7FFFFFFF, 0}};
  failures += zornn_init(&ctx, "/nonexistent.model", 0, nullptr) == -1;
  failures += zornn_query(nullptr, ZORNN_QUERY_IN_OUT_NUM, &io, sizeof(io)) == -1;
  failures += zornn_inputs_set(nullptr, 0, nullptr) == -1;
  failures += zornn_run(nullptr, nullptr) == -1;
  failures += zornn_outputs_get(nullptr, 0, nullptr) == -1;
  failures += zornn_destroy(nullptr) == -1;
  failures += zornn_set_softop_opt(nullptr, &opt, 1) == -1;
  failures += zornn_set_input_shapes(nullptr, 0, nullptr) == -1;
  return failures;
}

// Loads a real model through the forwarders; true when it works end to end.
bool InitAndDestroy() {
  zornn_init_config config{};
  zornn_context ctx = nullptr;
  if (zornn_init(&ctx, ValidModel().c_str(), 0, &config) != 0 || ctx == nullptr) return false;
  zornn_in_out_num io{};
  const bool ok = zornn_query(ctx, ZORNN_QUERY_IN_OUT_NUM, &io, sizeof(io)) == 0 &&
                  io.n_input == 3 && io.n_output == 1;
  return zornn_destroy(ctx) == 0 && ok;
}

#define CHECK_OR_EXIT(cond, code) \
  do {                            \
    if (!(cond)) std::_Exit(code); \
  } while (0)

class NpurtLoaderTest : public testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_FALSE(SimPath().empty()) << "ZOR_SIM_NPURT must name the simulated runtime";
  }
};

TEST_F(NpurtLoaderTest, UnsetOrEmptyPathLoadsTheBoardRuntimeName) {
  // No libnpurt.so exists on the build host, so the attempt shows the name.
  EXPECT_EXIT(
      {
        unsetenv("ZOR_NPURT_PATH");
        CHECK_OR_EXIT(zornn_run(nullptr, nullptr) == -1, 1);
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "^\\[fenn\\] dlopen\\(\"libnpurt\\.so\"\\) failed: .+\n$");
  EXPECT_EXIT(
      {
        setenv("ZOR_NPURT_PATH", "", 1);
        CHECK_OR_EXIT(zornn_run(nullptr, nullptr) == -1, 1);
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "^\\[fenn\\] dlopen\\(\"libnpurt\\.so\"\\) failed: .+\n$");
}

TEST_F(NpurtLoaderTest, PathIsPassedAsItStands) {
  // Absolute.
  EXPECT_EXIT(
      {
        setenv("ZOR_NPURT_PATH", SimPath().c_str(), 1);
        CHECK_OR_EXIT(InitAndDestroy(), 1);
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "^$");
  // Relative to the working directory.
  EXPECT_EXIT(
      {
        const std::string sim = SimPath();
        const size_t slash = sim.rfind('/');
        CHECK_OR_EXIT(chdir(sim.substr(0, slash).c_str()) == 0, 2);
        setenv("ZOR_NPURT_PATH", ("./" + sim.substr(slash + 1)).c_str(), 1);
        CHECK_OR_EXIT(InitAndDestroy(), 1);
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "^$");
  // A bare name is not made into a path: the dynamic linker searches for it
  // and, outside its search path, does not find it.
  EXPECT_EXIT(
      {
        setenv("ZOR_NPURT_PATH", "libzor_npurt_sim.so", 1);
        CHECK_OR_EXIT(zornn_destroy(nullptr) == -1, 1);
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "^\\[fenn\\] dlopen\\(\"libzor_npurt_sim\\.so\"\\) failed: ");
}

TEST_F(NpurtLoaderTest, MissingLibraryFailsEveryCallAndIsRetried) {
  EXPECT_EXIT(
      {
        setenv("ZOR_NPURT_PATH", "/nonexistent/libnpurt.so", 1);
        CHECK_OR_EXIT(CallAllForwarders() == 8, 1);
        // Once the file is there, the next call loads it.
        setenv("ZOR_NPURT_PATH", SimPath().c_str(), 1);
        CHECK_OR_EXIT(InitAndDestroy(), 2);
        std::_Exit(0);
      },
      testing::ExitedWithCode(0),
      // Each of the eight attempts writes its own line, and nothing follows.
      "^(\\[fenn\\] dlopen\\(\"/nonexistent/libnpurt\\.so\"\\) failed: "
      "[^\n]*No such file[^\n]*\n){8}$");
}

TEST_F(NpurtLoaderTest, MissingSymbolFailsTheWholeLoadAndResets) {
  EXPECT_EXIT(
      {
        setenv("ZOR_NPURT_PATH", ZOR_NPURT_FAKE_WITHOUT_SHAPES, 1);
        // zornn_init resolved before the missing symbol, yet it must not be
        // reached: the fake would hand out a context.
        zornn_context ctx = nullptr;
        CHECK_OR_EXIT(zornn_init(&ctx, "x", 0, nullptr) == -1 && ctx == nullptr, 1);
        CHECK_OR_EXIT(zornn_query(nullptr, 1, nullptr, 0) == -1, 2);
        // After the reset, a complete runtime loads.
        setenv("ZOR_NPURT_PATH", SimPath().c_str(), 1);
        CHECK_OR_EXIT(InitAndDestroy(), 3);
        std::_Exit(0);
      },
      testing::ExitedWithCode(0),
      "^(\\[fenn\\] dlsym\\(zornn_set_input_shapes\\) failed: [^\n]+\n){2}$");
}

TEST_F(NpurtLoaderTest, LoadedRuntimeForwardsResultsUnchanged) {
  EXPECT_EXIT(
      {
        setenv("ZOR_NPURT_PATH", SimPath().c_str(), 1);
        // The simulator's own answers come back, not the forwarder's -1 path.
        zornn_context ctx = nullptr;
        zornn_init_config config{};
        CHECK_OR_EXIT(zornn_init(&ctx, ValidModel().c_str(), 0, &config) == 0, 1);
        zornn_tensor_attr attr{};
        attr.index = 0;
        CHECK_OR_EXIT(zornn_query(ctx, ZORNN_QUERY_INPUT_ATTR, &attr, sizeof(attr)) == 0, 2);
        CHECK_OR_EXIT(attr.dims[2] == 560 && std::strcmp(attr.name, "speech") == 0, 3);
        attr.index = 9;
        CHECK_OR_EXIT(zornn_query(ctx, ZORNN_QUERY_INPUT_ATTR, &attr, sizeof(attr)) != 0, 4);
        CHECK_OR_EXIT(zornn_destroy(ctx) == 0, 5);
        // The runtime stays loaded even when the environment changes.
        setenv("ZOR_NPURT_PATH", "/nonexistent/libnpurt.so", 1);
        CHECK_OR_EXIT(InitAndDestroy(), 6);
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "^$");
}

TEST(ZornnTypeName, NamesEveryTypeAndUnknown) {
  const char* expected[] = {"FP32",   "FP16",  "INT8",   "UINT8", "INT16",
                            "UINT16", "INT32", "UINT32", "INT64", "UINT64",
                            "BOOL",   "INT4",  "BF16"};
  static_assert(sizeof(expected) / sizeof(expected[0]) == kZornnTypeCount, "every type");
  for (uint32_t i = 0; i < kZornnTypeCount; ++i) EXPECT_STREQ(zornn_type_name(i), expected[i]);
  EXPECT_STREQ(zornn_type_name(13), "UNKNOWN");
  EXPECT_STREQ(zornn_type_name(0xFFFFFFFFu), "UNKNOWN");
}

}  // namespace
