#include "whisper/whisper_vocab.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string temp_path(const std::string& name) {
  const char* env = std::getenv("ZOR_TEST_TMP");
  const std::string dir = env && *env ? env : "/tmp";
  EXPECT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
  return dir + "/whisper_vocab_test_" + std::to_string(getpid()) + "_" + name;
}

// Builds the bytes of a vocabulary file.
class VocabFile {
 public:
  explicit VocabFile(int32_t count) { u32(static_cast<uint32_t>(count)); }
  VocabFile& entry(const std::string& text) {
    u32(static_cast<uint32_t>(text.size()));
    bytes_ += text;
    return *this;
  }
  VocabFile& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return *this;
  }
  VocabFile& raw(const std::string& s) {
    bytes_ += s;
    return *this;
  }
  std::string write(const std::string& name) const {
    const std::string path = temp_path(name);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes_;
    return path;
  }

 private:
  std::string bytes_;
};

constexpr size_t kGenerated = 51865 - 50257 + 1;  // 1,609

TEST(ReadTokenInfo, SmallFileAndGeneratedNames) {
  const std::string path = VocabFile(3).entry("a").entry("").entry("\xC4\xA0" "b").write("small.bin");
  int32_t taken = -1;
  const whisper_vocab v = load_whisper_vocab(path, &taken);
  std::remove(path.c_str());
  EXPECT_EQ(taken, 3);
  EXPECT_EQ(v.text_by_id.at(0), "a");
  EXPECT_EQ(v.text_by_id.at(1), "");
  EXPECT_EQ(v.text_by_id.at(2), "\xC4\xA0" "b");
  EXPECT_EQ(v.id_by_text.at(""), 1);
  EXPECT_EQ(v.id_by_text.at("a"), 0);
  EXPECT_EQ(v.text_by_id.size(), 3 + kGenerated);

  EXPECT_EQ(v.vocab_size, 51866);
  EXPECT_EQ(v.eot_id, 50257);
  EXPECT_EQ(v.sot_id, 50258);
  EXPECT_EQ(v.notimestamps_id, 50364);
  EXPECT_EQ(v.beg_id, 50365);
  const std::vector<std::pair<int32_t, std::string>> names = {
      {50257, "<|endoftext|>"}, {50258, "<|startoftranscript|>"}, {50259, "<|en|>"},
      {50260, "<|zh|>"}, {50261, "[_extra_token_50261]"}, {50264, "<|ko|>"},
      {50358, "[_extra_token_50358]"}, {50359, "<|translate|>"}, {50360, "<|transcribe|>"},
      {50361, "[_SOLM_]"}, {50362, "[_PREV_]"}, {50363, "[_NOSP_]"},
      {50364, "<|notimestamps|>"}, {50365, "[_BEG_]"}, {50366, "[_TT_1]"},
      {51865, "[_TT_1500]"}};
  for (const auto& [id, name] : names) {
    EXPECT_EQ(v.text_by_id.at(id), name) << id;
    EXPECT_EQ(v.id_by_text.at(name), id) << name;
  }
  EXPECT_EQ(v.text_by_id.count(51866), 0u);
  EXPECT_EQ(v.text_by_id.count(3), 0u);

  // The exported reader (path only) builds the same vocabulary.
  const std::string again = VocabFile(3).entry("a").entry("").entry("\xC4\xA0" "b").write("small2.bin");
  const whisper_vocab exported = read_token_info(again);
  std::remove(again.c_str());
  EXPECT_EQ(exported.text_by_id, v.text_by_id);
  EXPECT_EQ(exported.id_by_text, v.id_by_text);
}

TEST(ReadTokenInfo, EndOfTextEntryCarriesNoTextAndIsRenamed) {
  // 50257 one-letter entries, then entry 50257 whose length claims 5 bytes
  // that are not there, then entries 50258 and 51866 (past the generated ids).
  VocabFile file(51867);
  for (int i = 0; i < 50257; ++i) file.entry(std::string(1, static_cast<char>('a' + i % 26)) + std::to_string(i));
  file.u32(5);
  for (int i = 50258; i < 51867; ++i) file.entry("t" + std::to_string(i));
  const std::string path = file.write("full.bin");
  int32_t taken = 0;
  const whisper_vocab v = load_whisper_vocab(path, &taken);
  std::remove(path.c_str());
  EXPECT_EQ(taken, 51867);
  EXPECT_EQ(v.text_by_id.at(50256), "y50256");
  EXPECT_EQ(v.text_by_id.at(50257), "<|endoftext|>");
  EXPECT_EQ(v.id_by_text.at(""), 50257);  // its empty file text stays in id_by_text
  EXPECT_EQ(v.text_by_id.at(50258), "<|startoftranscript|>");
  EXPECT_EQ(v.id_by_text.at("t50258"), 50258);  // the file's text stays here only
  EXPECT_EQ(v.text_by_id.at(51866), "t51866");  // beyond the generated ids: as read
}

TEST(ReadTokenInfo, MissingEmptyNegativeAndTruncatedFiles) {
  const std::string missing = temp_path("missing.bin");
  testing::internal::CaptureStderr();
  int32_t taken = -1;
  whisper_vocab v = load_whisper_vocab(missing, &taken);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "read_token_info : fail to open '" + missing + "'\n");
  EXPECT_EQ(taken, 0);
  EXPECT_EQ(v.text_by_id.size(), kGenerated);

  for (int32_t count : {0, -5}) {
    const std::string path = VocabFile(count).entry("x").write("count.bin");
    v = load_whisper_vocab(path, &taken);
    std::remove(path.c_str());
    EXPECT_EQ(taken, 0) << count;
    EXPECT_EQ(v.text_by_id.size(), kGenerated) << count;
  }

  // Empty file: no count at all.
  const std::string empty = VocabFile(0).write("empty.bin");
  std::ofstream(empty, std::ios::trunc).close();
  v = load_whisper_vocab(empty, &taken);
  std::remove(empty.c_str());
  EXPECT_EQ(taken, 0);

  // Count larger than the entries present; a text cut short; a length field
  // of 4 GiB - 1 in a tiny file (must not try to allocate 4 GiB).
  const struct {
    VocabFile file;
    int32_t expect_taken;
  } cases[] = {
      {VocabFile(10).entry("a").entry("b"), 2},
      {VocabFile(3).entry("a").u32(10).raw("abc"), 1},
      {VocabFile(3).entry("a").u32(0xFFFFFFFFu).raw(std::string(90, 'z')), 1},
      {VocabFile(3).entry("a").raw("\x01\x00"), 1},
  };
  for (const auto& c : cases) {
    const std::string path = c.file.write("truncated.bin");
    v = load_whisper_vocab(path, &taken);
    std::remove(path.c_str());
    EXPECT_EQ(taken, c.expect_taken);
    EXPECT_EQ(v.text_by_id.at(0), "a");
    EXPECT_EQ(v.text_by_id.size(), static_cast<size_t>(c.expect_taken) + kGenerated);
  }
  // The out-parameter is optional.
  EXPECT_EQ(read_token_info(missing + "-again").text_by_id.size(), kGenerated);
}

TEST(WhisperBpeDecode, BytesFromTheBpeAlphabet) {
  EXPECT_EQ(whisper_bpe_decode("Hello\xC4\xA0world"), "Hello world");
  EXPECT_EQ(whisper_bpe_decode("\xC3\x83\xC2\xA9"), "\xC3\xA9");  // U+00C3 U+00A9 -> é
  EXPECT_EQ(whisper_bpe_decode(""), "");
  // Every byte round-trips through its code point: printable bytes as
  // themselves, the other 68 from U+0100 on (newline is U+010A, 0x7F U+0121,
  // 0xAD U+0143).
  EXPECT_EQ(whisper_bpe_decode("\xC4\x8A"), "\n");
  EXPECT_EQ(whisper_bpe_decode("\xC4\x80"), std::string(1, '\0'));
  EXPECT_EQ(whisper_bpe_decode("\xC4\xA1"), "\x7F");
  EXPECT_EQ(whisper_bpe_decode("\xC5\x83"), "\xAD");
  EXPECT_EQ(whisper_bpe_decode("\xC2\xA1\xC3\xBF"), "\xA1\xFF");
  // Characters that stand for no byte are dropped: a space written as
  // itself, U+0144 (just past the 68), a CJK character, an emoji.
  EXPECT_EQ(whisper_bpe_decode("a b"), "ab");
  EXPECT_EQ(whisper_bpe_decode("a\xC5\x84" "b"), "ab");
  EXPECT_EQ(whisper_bpe_decode("\xE4\xBD\xA0x"), "x");
  EXPECT_EQ(whisper_bpe_decode("\xF0\x9F\x98\x80y"), "y");
  EXPECT_EQ(whisper_bpe_decode("<|endoftext|>[_TT_12]"), "<|endoftext|>[_TT_12]");
}

TEST(WhisperBpeDecode, MalformedUtf8IsSkippedByteByByte) {
  EXPECT_EQ(whisper_bpe_decode("ab\xE4"), "ab");          // lone lead at the end
  EXPECT_EQ(whisper_bpe_decode("ab\xE4\xBD"), "ab");      // 3-byte lead, 2 bytes left
  EXPECT_EQ(whisper_bpe_decode("\xE4" "ab"), "");        // lead takes the next two bytes
  EXPECT_EQ(whisper_bpe_decode("\x80" "a\xBF" "b"), "ab"); // stray continuations
  EXPECT_EQ(whisper_bpe_decode("\xF8" "a\xFF" "b"), "ab"); // 11111xxx is no lead
  // Continuation bits are not checked: C4 followed by 'a' (0x61) decodes
  // as U+0121, which stands for byte 0x7F.
  EXPECT_EQ(whisper_bpe_decode("\xC4" "a"), "\x7F");
}

TEST(DoPostProcess, DecodesOneIdOrThrows) {
  const std::string path = VocabFile(2).entry("Hi").entry("\xC4\xA0there").write("post.bin");
  const whisper_vocab v = read_token_info(path);
  std::remove(path.c_str());
  EXPECT_EQ(do_post_process(0, v), "Hi");
  EXPECT_EQ(do_post_process(1, v), " there");
  EXPECT_EQ(do_post_process(50364, v), "<|notimestamps|>");
  for (int64_t id : {int64_t{2}, int64_t{-1}, int64_t{51866}, int64_t{1} << 32}) {
    try {
      do_post_process(id, v);
      ADD_FAILURE() << "no exception for " << id;
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "map::at") << id;
    }
  }
}

}  // namespace
