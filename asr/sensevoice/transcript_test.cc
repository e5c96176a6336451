#include "sensevoice/transcript.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "sensevoice/sense_voice_test_util.h"

namespace {

// A table whose id k is pieces[k].
class TranscriptTest : public testing::Test {
 protected:
  static std::vector<std::string>& Pieces() {
    static std::vector<std::string> pieces = {
        "<blk>", "<|zh|>", "<|en|>", "<|NEUTRAL|>", "<|HAPPY|>", "<|Speech|>", "<|BGM|>",
        "<|withitn|>", "<|woitn|>", "\xE2\x96\x81hello", "\xE2\x96\x81world", "<|Laughter|>",
        "<unk>", "\xE2\x96\x81""b", "<|EMO_UNKNOWN|>", "x", "<|yue|>",
        "<|SAD|>", "\xE2\x96\x81\xE2\x96\x81", "<|madeup|>", "<s>"};
    return pieces;
  }
  static void SetUpTestSuite() {
    std::string file;
    for (size_t k = 0; k < Pieces().size(); ++k) file += Pieces()[k] + " " + std::to_string(k) + "\n";
    table_ = new SymbolTable(WriteTestFile("transcript_tokens.txt", file));
  }
  static void TearDownTestSuite() { delete table_; }
  static int Id(const std::string& piece) {
    for (size_t k = 0; k < Pieces().size(); ++k) {
      if (Pieces()[k] == piece) return static_cast<int>(k);
    }
    ADD_FAILURE() << piece;
    return -1;
  }
  static SenseVoiceTranscript Assemble(const std::vector<std::string>& pieces,
                                       const char* language = "auto",
                                       const std::string& textnorm = "woitn") {
    std::vector<int> ids;
    for (const auto& p : pieces) ids.push_back(Id(p));
    return AssembleTranscript(ids, *table_, language, textnorm);
  }
  static SymbolTable* table_;
};
SymbolTable* TranscriptTest::table_ = nullptr;

TEST_F(TranscriptTest, ReadsTheLeadingTagsAndCleansTheText) {
  const auto t = Assemble({"<|zh|>", "<|NEUTRAL|>", "<|Speech|>", "<|withitn|>",
                           "\xE2\x96\x81hello", "\xE2\x96\x81world"});
  EXPECT_EQ(t.language, "zh");
  EXPECT_EQ(t.emotion, "NEUTRAL");
  EXPECT_EQ(t.event, "Speech");
  EXPECT_EQ(t.textnorm, "withitn");
  EXPECT_EQ(t.text, "hello world");

  // A later tag of a kind wins; unknown ids read as nothing.
  const auto u = AssembleTranscript({Id("<|zh|>"), Id("<|HAPPY|>"), Id("<|en|>"), Id("<|BGM|>"),
                                     999, Id("x"), Id("<|SAD|>")},
                                    *table_, "auto", "woitn");
  EXPECT_EQ(u.language, "en");
  EXPECT_EQ(u.emotion, "SAD");
  EXPECT_EQ(u.event, "BGM");
  EXPECT_EQ(u.text, "x");
}

TEST_F(TranscriptTest, DefaultsWhenTheTokensNameNoTag) {
  const auto t = Assemble({"x"}, "yue", "woitn");
  EXPECT_EQ(t.language, "yue");
  EXPECT_EQ(t.emotion, "NEUTRAL");
  EXPECT_EQ(t.event, "Speech");
  EXPECT_EQ(t.textnorm, "woitn");
  EXPECT_EQ(t.text, "x");
  const auto none = AssembleTranscript({}, *table_, nullptr, "withitn");
  EXPECT_EQ(none.language, "");
  EXPECT_EQ(none.textnorm, "withitn");
  EXPECT_EQ(none.text, "");
}

TEST_F(TranscriptTest, OnlyTheFirstFortyPiecesAreScannedForTags) {
  std::vector<std::string> pieces(39, "x");
  pieces.push_back("<|en|>");  // the 40th piece
  EXPECT_EQ(Assemble(pieces).language, "en");
  pieces.back() = "x";
  pieces.push_back("<|en|>");  // the 41st piece
  const auto t = Assemble(pieces, "auto");
  EXPECT_EQ(t.language, "auto");
  EXPECT_EQ(t.text, std::string(40, 'x'));  // the tag is still removed from the text
}

TEST_F(TranscriptTest, RemovesSpecialTokensAndTagsFromTheText) {
  EXPECT_EQ(Assemble({"<|en|>", "\xE2\x96\x81hello", "<|Laughter|>", "\xE2\x96\x81world"}).text,
            "hello world");
  EXPECT_EQ(Assemble({"\xE2\x96\x81hello", "<unk>", "<s>", "<|EMO_UNKNOWN|>", "x"}).text, "hellox");
  EXPECT_EQ(Assemble({"x", "<|madeup|>", "x"}).text, "xx");
  // Word-start marks inside a piece become spaces too.
  EXPECT_EQ(Assemble({"x", "\xE2\x96\x81\xE2\x96\x81", "x"}).text, "x x");
}

TEST_F(TranscriptTest, WhitespaceRules) {
  EXPECT_EQ(Assemble({"\xE2\x96\x81""b", "\xE2\x96\x81\xE2\x96\x81", "<blk>"}).text, "b");
  // Token files cannot carry tabs or line feeds; the cleaning step itself can.
  EXPECT_EQ(CleanTranscriptText("a\t\tb\n"), "a b");
  EXPECT_EQ(CleanTranscriptText("a\r b"), "a\r b");
  EXPECT_EQ(CleanTranscriptText(" \n a \xE2\x96\x81 <|x|>\tb \v c  "), "a b \v c");
  EXPECT_EQ(CleanTranscriptText("\t \n"), "");
  EXPECT_EQ(CleanTranscriptText("<<s>s>x"), "<s>x");  // deletions are not rescanned
}

TEST(StripTag, RemovesOnlyTagBrackets) {
  EXPECT_EQ(StripTag("<|en|>"), "en");
  EXPECT_EQ(StripTag("<|x|>"), "x");
  EXPECT_EQ(StripTag("<||>"), "");
  EXPECT_EQ(StripTag("<|>"), "<|>");
  EXPECT_EQ(StripTag("en"), "en");
  EXPECT_EQ(StripTag("<|en"), "<|en");
  EXPECT_EQ(StripTag("en|>"), "en|>");
}

// The tag remover must delete exactly what the pattern "<\|[^>]+\|>" matches.
TEST(RemoveTags, MatchesThePatternOnRandomText) {
  const std::regex pattern("<\\|[^>]+\\|>");
  const char alphabet[] = {'<', '|', '>', 'a', ' '};
  std::mt19937 rng(7);
  for (int round = 0; round < 20000; ++round) {
    std::string s(rng() % 14, ' ');
    for (char& c : s) c = alphabet[rng() % sizeof(alphabet)];
    ASSERT_EQ(RemoveTags(s), std::regex_replace(s, pattern, "")) << '"' << s << '"';
  }
}

TEST(RemoveTags, LongTextWithoutClosingBracket) {
  // Long enough to exhaust the stack of a recursive matcher.
  std::string s = "<|" + std::string(1 << 20, 'a') + "|> b";
  EXPECT_EQ(RemoveTags(s), " b");
  s = "<|" + std::string(1 << 20, 'a');
  EXPECT_EQ(RemoveTags(s), s);
}

}  // namespace
