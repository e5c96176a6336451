#include "whisper/whisper_chunks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::pair<size_t, size_t>> Plan(size_t n) {
  std::vector<std::pair<size_t, size_t>> out;
  for (const whisper_chunk& c : plan_whisper_chunks(n)) out.emplace_back(c.offset, c.length);
  return out;
}

using Chunks = std::vector<std::pair<size_t, size_t>>;

TEST(WhisperChunkPlan, ShortInputIsOnePieceAndLongInputsStepBy3_2Seconds) {
  EXPECT_TRUE(Plan(0).empty());
  EXPECT_EQ(Plan(1), (Chunks{{0, 1}}));
  EXPECT_EQ(Plan(72000), (Chunks{{0, 72000}}));
  // Just over the single-piece limit: the chunk path, with one whole chunk.
  EXPECT_EQ(Plan(72001), (Chunks{{0, 72001}}));
  EXPECT_EQ(Plan(80000), (Chunks{{0, 80000}}));
  EXPECT_EQ(Plan(80001), (Chunks{{0, 64000}, {51200, 28801}}));
  EXPECT_EQ(Plan(100000), (Chunks{{0, 64000}, {51200, 48800}}));
  EXPECT_EQ(Plan(160000), (Chunks{{0, 64000}, {51200, 64000}, {102400, 57600}}));
}

TEST(WhisperChunkPlan, ChunksCoverEveryLengthExactlyToTheEnd) {
  for (size_t n = 72001; n < 600000; n += 977) {
    const std::vector<whisper_chunk> chunks = plan_whisper_chunks(n);
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks.front().offset, 0u);
    EXPECT_EQ(chunks.back().offset + chunks.back().length, n) << n;
    for (size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_LE(chunks[i].length, kWhisperLastChunkSamples) << n;
      if (i + 1 < chunks.size()) {
        EXPECT_EQ(chunks[i].length, kWhisperChunkSamples) << n;
        EXPECT_EQ(chunks[i + 1].offset, chunks[i].offset + kWhisperChunkStep) << n;
      }
    }
  }
}

TEST(WhisperUtf8Split, CharactersStrayBytesAndTruncatedTails) {
  EXPECT_TRUE(split_utf8_chars("").empty());
  EXPECT_EQ(split_utf8_chars("ab"), (std::vector<std::string>{"a", "b"}));
  // é (2 bytes), 中 (3 bytes), 😀 (4 bytes).
  EXPECT_EQ(split_utf8_chars("a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"),
            (std::vector<std::string>{"a", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80"}));
  // A continuation byte on its own and an 0xFF are one-byte pieces.
  EXPECT_EQ(split_utf8_chars("\x80" "a\xFF"), (std::vector<std::string>{"\x80", "a", "\xFF"}));
  // A lead byte whose character runs past the end stands alone, and so do
  // the bytes after it.
  EXPECT_EQ(split_utf8_chars("a\xE4\xB8"), (std::vector<std::string>{"a", "\xE4", "\xB8"}));
  // Continuation bytes are taken as they come, without checking them.
  EXPECT_EQ(split_utf8_chars("\xC3" "ab"), (std::vector<std::string>{"\xC3" "a", "b"}));
}

std::string Merged(std::string accumulated, const std::string& next) {
  merge_chunk_text(accumulated, next);
  return accumulated;
}

TEST(WhisperChunkMerge, LongestOverlapIsKeptOnce) {
  EXPECT_EQ(Merged("hello wor", "world"), "hello world");
  EXPECT_EQ(Merged("wor", "world"), "world");
  // The longest overlap wins over a shorter one ("aa" rather than "a").
  EXPECT_EQ(Merged("baa", "aab"), "baab");
  // Whole texts: next contained at the end of accumulated, and the reverse.
  EXPECT_EQ(Merged("abc", "bc"), "abc");
  EXPECT_EQ(Merged("c", "cde"), "cde");
  EXPECT_EQ(Merged("same", "same"), "same");
}

TEST(WhisperChunkMerge, NoOverlapConcatenatesWithoutSpace) {
  EXPECT_EQ(Merged("hello", "world"), "helloworld");
  EXPECT_EQ(Merged("hello", " world"), "hello world");
  // A shared space is an overlap like any other character.
  EXPECT_EQ(Merged("hello ", " world"), "hello world");
  EXPECT_EQ(Merged("", "x"), "x");
  EXPECT_EQ(Merged("x", ""), "x");
}

TEST(WhisperChunkMerge, OneCharacterOverlapCounts) {
  EXPECT_EQ(Merged("cat", "top"), "catop");
  EXPECT_EQ(Merged("end.", ".next"), "end.next");
}

TEST(WhisperChunkMerge, MultiByteCharactersAreNeverSplit) {
  // 中文 + 文字: the shared character is dropped once.
  EXPECT_EQ(Merged("\xE4\xB8\xAD\xE6\x96\x87", "\xE6\x96\x87\xE5\xAD\x97"),
            "\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97");
  // 中 (E4 B8 AD) and 丮 (E4 B8 AE) share their first two bytes but are
  // different characters: no overlap, nothing dropped.
  EXPECT_EQ(Merged("x\xE4\xB8\xAD", "\xE4\xB8\xAEy"), "x\xE4\xB8\xAD\xE4\xB8\xAEy");
  // A byte tail of one character equal to the start of the next text is not
  // an overlap: é is C3 A9, and next starts with the stray byte A9.
  EXPECT_EQ(Merged("caf\xC3\xA9", "\xA9z"), "caf\xC3\xA9\xA9z");
  // Emoji overlap, four bytes each.
  EXPECT_EQ(Merged("ok \xF0\x9F\x98\x80", "\xF0\x9F\x98\x80!"), "ok \xF0\x9F\x98\x80!");
}

TEST(WhisperChunkMerge, StrayBytesCompareAsTheirOwnPieces) {
  // accumulated ends with a truncated lead byte, which is a piece of its own
  // there; next starts with the same byte as a piece of its own.
  EXPECT_EQ(Merged("a\xE4", "\xE4"), "a\xE4");
  // accumulated ends with 中 whose bytes next starts with but splits
  // differently (E4 at the end of next is a stray piece): no overlap.
  EXPECT_EQ(Merged("\xE4\xB8\xAD", "\xB8\xAD"), "\xE4\xB8\xAD\xB8\xAD");
}

// The joiner gives what merging into the whole text gives, chunk after
// chunk, also when a chunk ends inside a character the next one completes.
TEST(WhisperChunkMerge, JoinerMatchesMergingIntoTheWholeText) {
  const std::vector<std::string> pieces = {"a", "\xE4", "\xB8", "\xAD", "\xC3\xA9", "b ",
                                           "\xF0\x9F\x98\x80", "\xA9", "ab", "\xF0", " "};
  uint32_t state = 7;
  const auto next_random = [&state](uint32_t n) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % n;
  };
  for (int round = 0; round < 300; ++round) {
    whisper_text_joiner joiner;
    std::string whole;
    for (int chunk = 0; chunk < 12; ++chunk) {
      std::string text;
      const uint32_t length = next_random(6);
      // Often start with the end of what came before, as overlapping audio does.
      if (!whole.empty() && next_random(2) == 0) {
        text = whole.substr(whole.size() - std::min<size_t>(whole.size(), next_random(5)));
      }
      for (uint32_t i = 0; i < length; ++i) text += pieces[next_random(pieces.size())];
      merge_chunk_text(whole, text);
      joiner.append(text);
      ASSERT_EQ(joiner.text(), whole) << "round " << round << " chunk " << chunk;
    }
    EXPECT_EQ(joiner.take(), whole);
    EXPECT_TRUE(joiner.text().empty());
  }
}

}  // namespace
