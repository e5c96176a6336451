#include "whisper/whisper_languages.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(WhisperLanguages, TokensFollowTableOrder) {
  EXPECT_EQ(whisper_language_index("en"), 0);
  EXPECT_EQ(whisper_language_index("zh"), 1);
  EXPECT_EQ(whisper_language_index("de"), 2);
  EXPECT_EQ(kWhisperFirstLanguageToken + whisper_language_index("ko"), 50264);
  EXPECT_EQ(kWhisperFirstLanguageToken + whisper_language_index("ja"), 50266);
  EXPECT_EQ(kWhisperFirstLanguageToken + whisper_language_index("haw"), 50352);
  EXPECT_EQ(kWhisperFirstLanguageToken + whisper_language_index("yue"), 50358);
  EXPECT_EQ(kWhisperLastLanguageToken, 50358);
}

TEST(WhisperLanguages, ExactCaseSensitiveLookup) {
  EXPECT_EQ(whisper_language_index("EN"), -1);
  EXPECT_EQ(whisper_language_index("En"), -1);
  EXPECT_EQ(whisper_language_index("en "), -1);
  EXPECT_EQ(whisper_language_index("e"), -1);
  EXPECT_EQ(whisper_language_index("auto"), -1);
  EXPECT_EQ(whisper_language_index(""), -1);
  EXPECT_EQ(whisper_language_index(nullptr), -1);
}

TEST(WhisperLanguages, CodesRoundTripAndAreDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < kWhisperLanguageCount; ++i) {
    const char* code = whisper_language_code(i);
    ASSERT_NE(code, nullptr);
    EXPECT_TRUE(seen.insert(code).second) << code;
    EXPECT_EQ(whisper_language_index(code), i);
  }
  EXPECT_EQ(whisper_language_code(-1), nullptr);
  EXPECT_EQ(whisper_language_code(kWhisperLanguageCount), nullptr);
}

}  // namespace
