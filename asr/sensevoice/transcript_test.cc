#include "sensevoice/transcript.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "npu/sense_voice_network.h"
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
        "<|SAD|>", "\xE2\x96\x81\xE2\x96\x81", "<|madeup|>", "<s>", "\xE2\x96\x81""end.",
        "\xE5\xA5\xBD\xE3\x80\x82" /* 好。 */};
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

// Output frame f covers samples [960 (f - 4), 960 (f - 3)).
constexpr int64_t Row(int frame) { return int64_t{frame - kSenseVoiceQueryFrames} * 960; }

TEST_F(TranscriptTest, SegmentsEndAtSentencesAndPausesAndTakeTheirTokensFrames) {
  const std::vector<CtcToken> tokens = {
      {Id("<|en|>"), 0, 0}, {Id("<|NEUTRAL|>"), 1, 1}, {Id("<|Speech|>"), 2, 2},
      {Id("<|woitn|>"), 3, 3},
      {Id("\xE2\x96\x81hello"), 4, 5}, {Id("\xE2\x96\x81world"), 6, 6},
      {Id("\xE2\x96\x81""end."), 8, 8},  // ends a sentence
      {Id("\xE2\x96\x81""b"), 10, 10}, {Id("x"), 11, 11},
      {Id("<|Laughter|>"), 13, 13},  // no text of its own: neither times nor splits
      {Id("\xE2\x96\x81hello"), 21, 21},  // 9 frames (540 ms) after x: a pause
      {Id("\xE2\x96\x81world"), 30, 30},  // 8 frames (480 ms) after hello: none
      {Id("\xE5\xA5\xBD\xE3\x80\x82"), 31, 32},
  };
  const std::vector<asr_segment> segments = SegmentTranscript(tokens, *table_);
  ASSERT_EQ(segments.size(), 3u);
  EXPECT_EQ(segments[0].start_sample, Row(4));
  EXPECT_EQ(segments[0].end_sample, Row(9));
  EXPECT_EQ(segments[0].text, "hello world end.");
  EXPECT_EQ(segments[1].start_sample, Row(10));
  EXPECT_EQ(segments[1].end_sample, Row(12));
  EXPECT_EQ(segments[1].text, "bx");
  EXPECT_EQ(segments[2].start_sample, Row(21));
  EXPECT_EQ(segments[2].end_sample, Row(33));
  EXPECT_EQ(segments[2].text, "hello world\xE5\xA5\xBD\xE3\x80\x82");
  EXPECT_EQ(kSenseVoicePauseSamples, 8000);

  // Text on the prompt frames stands at 0; tags alone make no segment.
  const auto early = SegmentTranscript({{Id("x"), 2, 5}}, *table_);
  ASSERT_EQ(early.size(), 1u);
  EXPECT_EQ(early[0].start_sample, 0);
  EXPECT_EQ(early[0].end_sample, Row(6));
  EXPECT_TRUE(SegmentTranscript({{Id("<|en|>"), 0, 0}, {Id("<unk>"), 5, 5}}, *table_).empty());
  EXPECT_TRUE(SegmentTranscript({}, *table_).empty());
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
