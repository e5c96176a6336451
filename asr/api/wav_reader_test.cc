#include "api/wav_reader.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

void PutU16(std::string* out, uint32_t v) {
  out->push_back(static_cast<char>(v & 0xff));
  out->push_back(static_cast<char>((v >> 8) & 0xff));
}

void PutU32(std::string* out, uint32_t v) {
  PutU16(out, v & 0xffff);
  PutU16(out, v >> 16);
}

// A RIFF/WAVE image written byte by byte, so every header field can lie.
struct WavImage {
  uint16_t audio_format = 1;
  uint16_t channels = 1;
  uint32_t sample_rate = 16000;
  uint16_t bits = 16;
  uint32_t fmt_size = 16;
  std::string fmt_extension;  // bytes after the first 16 of the format chunk (zeros if short)
  std::vector<std::pair<std::string, std::string>> extra_chunks;  // before "data"
  std::string data;              // raw data bytes
  bool declare_data_size = false;
  uint32_t declared_data_size = 0;
  std::string riff = "RIFF";
  std::string wave = "WAVE";

  void SetSamples(const std::vector<int16_t>& samples) {
    data.clear();
    for (int16_t s : samples) PutU16(&data, static_cast<uint16_t>(s));
  }

  std::string Bytes() const {
    std::string chunks = "fmt ";
    PutU32(&chunks, fmt_size);
    PutU16(&chunks, audio_format);
    PutU16(&chunks, channels);
    PutU32(&chunks, sample_rate);
    PutU32(&chunks, sample_rate * channels * bits / 8);
    PutU16(&chunks, channels * bits / 8);
    PutU16(&chunks, bits);
    if (fmt_size > 16) {
      std::string extension = fmt_extension;
      extension.resize(fmt_size - 16, '\0');
      chunks += extension;
      if (fmt_size % 2 != 0) chunks += '\0';
    }
    for (const auto& chunk : extra_chunks) {
      chunks += chunk.first;
      PutU32(&chunks, static_cast<uint32_t>(chunk.second.size()));
      chunks += chunk.second;
      if (chunk.second.size() % 2 != 0) chunks += '\0';  // RIFF pads to even length
    }
    chunks += "data";
    PutU32(&chunks, declare_data_size ? declared_data_size : static_cast<uint32_t>(data.size()));
    chunks += data;
    std::string out = riff;
    PutU32(&out, static_cast<uint32_t>(4 + chunks.size()));
    return out + wave + chunks;
  }
};

class WavReaderTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& bytes) {
    const char* tmp = std::getenv("ZOR_TEST_TMP");
    const std::string dir = tmp != nullptr ? tmp : "/tmp";
    ::mkdir(dir.c_str(), 0755);  // may exist already
    const std::string path = dir + "/wav_reader_test_" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                             "_" + std::to_string(::getpid()) + "_" +
                             std::to_string(files_.size()) + ".wav";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr) << path;
    if (f != nullptr) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
    files_.push_back(path);
    return path;
  }

  // Reads an image; on failure returns false with the error text in error_.
  bool Read(const WavImage& image) { return Read(image.Bytes()); }
  bool Read(const std::string& bytes) {
    error_.clear();
    return ReadWavPcm16(Write(bytes), &wav_, &error_);
  }

  void TearDown() override {
    for (const auto& path : files_) std::remove(path.c_str());
  }

  WavData wav_;
  std::string error_;
  std::vector<std::string> files_;
};

TEST_F(WavReaderTest, CanonicalMonoFile) {
  WavImage image;
  image.SetSamples({0, 1, -1, 32767, -32768});
  ASSERT_TRUE(Read(image)) << error_;
  EXPECT_EQ(wav_.sample_rate, 16000u);
  EXPECT_EQ(wav_.channels, 1u);
  EXPECT_EQ(wav_.samples, (std::vector<int16_t>{0, 1, -1, 32767, -32768}));
  EXPECT_TRUE(error_.empty());
}

TEST_F(WavReaderTest, MixdownTruncatesTowardZeroAndDropsPartialFrames) {
  WavImage stereo;
  stereo.channels = 2;
  stereo.SetSamples({-3, 0, 3, 0, 32767, 32767, -32768, -32768, 5});
  ASSERT_TRUE(Read(stereo)) << error_;
  EXPECT_EQ(wav_.channels, 2u);  // the file's count, not the mono result's
  EXPECT_EQ(wav_.samples, (std::vector<int16_t>{-1, 1, 32767, -32768}));

  WavImage three;
  three.channels = 3;
  three.SetSamples({1, 1, 0, -7, 0, 0, 9, 9});
  ASSERT_TRUE(Read(three)) << error_;
  EXPECT_EQ(wav_.samples, (std::vector<int16_t>{0, -2}));

  WavImage one_sample_stereo;
  one_sample_stereo.channels = 2;
  one_sample_stereo.SetSamples({100});
  ASSERT_TRUE(Read(one_sample_stereo)) << error_;
  EXPECT_TRUE(wav_.samples.empty());

  WavImage no_channels;
  no_channels.channels = 0;
  no_channels.SetSamples({1, 2, 3});
  ASSERT_TRUE(Read(no_channels)) << error_;
  EXPECT_EQ(wav_.channels, 0u);
  EXPECT_TRUE(wav_.samples.empty());
}

TEST_F(WavReaderTest, OddDataSizes) {
  WavImage one_byte;
  one_byte.data = std::string("\x7f", 1);
  ASSERT_TRUE(Read(one_byte)) << error_;
  EXPECT_TRUE(wav_.samples.empty());

  WavImage five_bytes;
  five_bytes.data = std::string("\x01\x00\xff\xff\x42", 5);
  ASSERT_TRUE(Read(five_bytes)) << error_;
  EXPECT_EQ(wav_.samples, (std::vector<int16_t>{1, -1}));

  // The pad byte after an odd-sized chunk is skipped.
  WavImage odd_chunk;
  odd_chunk.extra_chunks = {{"LIST", "abc"}, {"LIST", std::string("INFOIART\x05\0\0\0fenn!", 17)}};
  odd_chunk.SetSamples({4});
  ASSERT_TRUE(Read(odd_chunk)) << error_;
  EXPECT_EQ(wav_.samples, (std::vector<int16_t>{4}));
}

// Extensible format chunk: cbSize 22, valid bits, channel mask, sub-format GUID.
std::string Extensible(uint16_t valid_bits, uint16_t sub_format) {
  std::string ext;
  PutU16(&ext, 22);
  PutU16(&ext, valid_bits);
  PutU32(&ext, 0x3);  // front left and right
  PutU16(&ext, sub_format);
  ext += std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
  return ext;
}

// Format chunks as the common writers make them: 16 bytes, 18 (cbSize 0),
// and 40 (WAVE_FORMAT_EXTENSIBLE with an integer PCM sub-format).
TEST_F(WavReaderTest, FormatChunksOfEveryDeclaredSize) {
  WavImage eighteen;
  eighteen.fmt_size = 18;
  eighteen.SetSamples({1, 2, 3});
  ASSERT_TRUE(Read(eighteen)) << error_;
  EXPECT_EQ(wav_.samples, (std::vector<int16_t>{1, 2, 3}));

  WavImage stereo;
  stereo.fmt_size = 40;
  stereo.audio_format = 0xFFFE;
  stereo.channels = 2;
  stereo.sample_rate = 44100;
  stereo.fmt_extension = Extensible(16, 1);
  stereo.extra_chunks = {{"LIST", "odd"}};
  stereo.SetSamples({100, 300, -7, -8});
  ASSERT_TRUE(Read(stereo)) << error_;
  EXPECT_EQ(wav_.samples, (std::vector<int16_t>{200, -7}));
  EXPECT_EQ(wav_.channels, 2u);
  EXPECT_EQ(wav_.sample_rate, 44100u);

  // A format chunk of odd size is padded too.
  WavImage odd_fmt;
  odd_fmt.fmt_size = 19;
  odd_fmt.fmt_extension = std::string("\x01\x00\x07", 3);
  odd_fmt.SetSamples({9});
  ASSERT_TRUE(Read(odd_fmt)) << error_;
  EXPECT_EQ(wav_.samples, (std::vector<int16_t>{9}));

  // Everything else stays refused: extensible float, 24-bit, a truncated
  // extension, and a format chunk shorter than its 16 fixed bytes.
  for (auto [sub_format, bits, fmt_size] : {std::tuple<uint16_t, uint16_t, uint32_t>{3, 16, 40},
                                            {1, 24, 40}, {1, 16, 24}}) {
    WavImage refused = stereo;
    refused.fmt_extension = Extensible(bits, sub_format);
    refused.bits = bits;
    refused.fmt_size = fmt_size;
    EXPECT_FALSE(Read(refused)) << sub_format << " " << bits << " " << fmt_size;
    EXPECT_EQ(error_, "only PCM16 wav is supported");
  }
  WavImage short_fmt;
  short_fmt.SetSamples({1});
  std::string bytes = short_fmt.Bytes();
  bytes[16] = 14;  // the declared format size
  EXPECT_FALSE(Read(bytes));
  EXPECT_EQ(error_, "invalid wav header");
}

TEST_F(WavReaderTest, ChunksBeforeData) {
  WavImage image;
  image.extra_chunks = {{"LIST", std::string("INFOISFT\x04\x00\x00\x00test", 16)},
                        {"fact", std::string(4, '\0')}};
  image.SetSamples({10, 20});
  image.sample_rate = 8000;
  ASSERT_TRUE(Read(image)) << error_;
  EXPECT_EQ(wav_.sample_rate, 8000u);  // read as it is, no resampling
  EXPECT_EQ(wav_.samples, (std::vector<int16_t>{10, 20}));

  // A chunk before the format chunk is skipped too; data before any format
  // chunk is no header.
  std::string bytes = image.Bytes();
  const std::string junk = std::string("JUNK\x03\0\0\0abc\0", 12);
  ASSERT_TRUE(Read(bytes.substr(0, 12) + junk + bytes.substr(12))) << error_;
  EXPECT_EQ(wav_.samples, (std::vector<int16_t>{10, 20}));
  EXPECT_FALSE(Read(bytes.substr(0, 12) + std::string("data\x02\0\0\0\1\0", 10)));
  EXPECT_EQ(error_, "invalid wav header");
}

TEST_F(WavReaderTest, RejectedFormats) {
  WavImage image;
  image.SetSamples({1, 2});
  image.bits = 24;
  EXPECT_FALSE(Read(image));
  EXPECT_EQ(error_, "only PCM16 wav is supported");

  image.bits = 32;
  image.audio_format = 3;  // float
  EXPECT_FALSE(Read(image));
  EXPECT_EQ(error_, "only PCM16 wav is supported");

  image.bits = 16;
  image.audio_format = 0xFFFE;  // extensible
  EXPECT_FALSE(Read(image));
  EXPECT_EQ(error_, "only PCM16 wav is supported");

  WavImage not_riff;
  not_riff.riff = "RIFX";
  EXPECT_FALSE(Read(not_riff));
  EXPECT_EQ(error_, "not a RIFF/WAVE file");
  WavImage not_wave;
  not_wave.wave = "AVI ";
  EXPECT_FALSE(Read(not_wave));
  EXPECT_EQ(error_, "not a RIFF/WAVE file");

  EXPECT_FALSE(Read(WavImage().Bytes().substr(0, 35)));
  EXPECT_EQ(error_, "invalid wav header");
  EXPECT_FALSE(Read(std::string()));
  EXPECT_EQ(error_, "invalid wav header");
}

TEST_F(WavReaderTest, MissingOrEmptyData) {
  // Header only: no chunk after the format block.
  EXPECT_FALSE(Read(WavImage().Bytes().substr(0, 36)));
  EXPECT_EQ(error_, "wav data chunk not found");
  // A chunk id without its size.
  EXPECT_FALSE(Read(WavImage().Bytes().substr(0, 40)));
  EXPECT_EQ(error_, "wav data chunk not found");

  WavImage empty;
  EXPECT_FALSE(Read(empty));
  EXPECT_EQ(error_, "wav data chunk not found");

  // A chunk whose size jumps past the end of the file.
  WavImage jump;
  jump.extra_chunks = {{"junk", "xy"}};
  std::string bytes = jump.Bytes();
  const size_t size_at = 36 + 4;
  bytes[size_at + 3] = '\x7f';
  EXPECT_FALSE(Read(bytes));
  EXPECT_EQ(error_, "wav data chunk not found");
}

TEST_F(WavReaderTest, DeclaredSizeLargerThanTheFile) {
  WavImage short_data;
  short_data.SetSamples({1, 2, 3});
  short_data.declare_data_size = true;
  short_data.declared_data_size = 8;
  EXPECT_FALSE(Read(short_data));
  EXPECT_EQ(error_, "failed to read wav pcm data");

  // A 44-byte file that claims a 4 GiB data chunk fails the same way, without
  // first trying to allocate 4 GiB (which would abort under the sanitizers'
  // allocator limits and thrash a small board).
  WavImage liar;
  liar.declare_data_size = true;
  liar.declared_data_size = 0xFFFFFFFFu;
  const std::string bytes = liar.Bytes();
  ASSERT_EQ(bytes.size(), 44u);
  EXPECT_FALSE(Read(bytes));
  EXPECT_EQ(error_, "failed to read wav pcm data");

  liar.declared_data_size = 0xFFFFFFFEu;
  liar.channels = 2;
  EXPECT_FALSE(Read(liar));
  EXPECT_EQ(error_, "failed to read wav pcm data");
}

#if defined(__SANITIZE_ADDRESS__)
#define ZOR_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZOR_UNDER_ASAN 1
#endif
#endif

#ifndef ZOR_UNDER_ASAN
// Death-test body: exits 0 when the reader fails with the size error while
// the address space is capped at 1 GiB.
[[noreturn]] void ReadUnderAddressSpaceCapAndExit(const std::string& path) {
  struct rlimit limit = {size_t{1} << 30, size_t{1} << 30};
  setrlimit(RLIMIT_AS, &limit);
  WavData wav;
  std::string error;
  const bool ok = ReadWavPcm16(path, &wav, &error);
  std::fprintf(stderr, "%s\n", error.c_str());
  std::exit(!ok && error == "failed to read wav pcm data" ? 0 : 1);
}
#endif

TEST_F(WavReaderTest, LyingSizeNeverReachesTheAllocator) {
#ifdef ZOR_UNDER_ASAN
  GTEST_SKIP() << "address-space limits do not mix with AddressSanitizer's shadow memory";
#else
  // With the address space capped at 1 GiB, an attempt to allocate the
  // declared 4 GiB would fail and show up as a different error text.
  WavImage liar;
  liar.declare_data_size = true;
  liar.declared_data_size = 0xFFFFFFFFu;
  const std::string path = Write(liar.Bytes());
  EXPECT_EXIT(ReadUnderAddressSpaceCapAndExit(path), ::testing::ExitedWithCode(0),
              "failed to read wav pcm data");
#endif
}

TEST_F(WavReaderTest, FailureLeavesOutputUntouched) {
  WavImage good;
  good.SetSamples({5, 6, 7});
  good.sample_rate = 22050;
  ASSERT_TRUE(Read(good));

  WavImage bad;
  bad.bits = 8;
  EXPECT_FALSE(Read(bad));
  EXPECT_EQ(wav_.sample_rate, 22050u);
  EXPECT_EQ(wav_.samples, (std::vector<int16_t>{5, 6, 7}));

  // A success replaces the earlier samples entirely.
  WavImage smaller;
  smaller.SetSamples({9});
  ASSERT_TRUE(Read(smaller));
  EXPECT_EQ(wav_.samples, (std::vector<int16_t>{9}));
}

TEST_F(WavReaderTest, ErrorArguments) {
  std::string error = "stale text that must be replaced";
  EXPECT_FALSE(ReadWavPcm16(Write(WavImage().Bytes()), nullptr, &error));
  EXPECT_EQ(error, "output is null");

  EXPECT_FALSE(ReadWavPcm16("/nonexistent/dir/file.wav", &wav_, &error));
  EXPECT_EQ(error, "failed to open wav file");
  // A null error pointer is allowed.
  EXPECT_FALSE(ReadWavPcm16("/nonexistent/dir/file.wav", &wav_, nullptr));
  WavImage good;
  good.SetSamples({3});
  EXPECT_TRUE(ReadWavPcm16(Write(good.Bytes()), &wav_, nullptr));
  // A directory opens but reads nothing.
  EXPECT_FALSE(ReadWavPcm16("/", &wav_, &error));
  EXPECT_EQ(error, "invalid wav header");
}

TEST_F(WavReaderTest, StreamedInputOfUnknownLength) {
  // A pipe cannot be sized in advance; its data is read in pieces, and a
  // lying size still fails cleanly.
  WavImage image;
  image.SetSamples({7, -7, 8});
  std::string fifo_dir = "/tmp";
  std::string path = fifo_dir + "/wav_reader_test_pipe_" + std::to_string(::getpid());
  const std::string cmd = "cat " + Write(image.Bytes()) + " > " + path + " &";
  std::remove(path.c_str());
  ASSERT_EQ(std::system(("mkfifo " + path).c_str()), 0);
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_TRUE(ReadWavPcm16(path, &wav_, &error_)) << error_;
  EXPECT_EQ(wav_.samples, (std::vector<int16_t>{7, -7, 8}));

  std::remove(path.c_str());

  // A fresh pipe: the first writer may still hold the old one open, and its
  // late close would end this read before the second writer starts.
  path += "_lying";
  image.declare_data_size = true;
  image.declared_data_size = 0xFFFFFFF0u;
  const std::string cmd2 = "cat " + Write(image.Bytes()) + " > " + path + " &";
  std::remove(path.c_str());
  ASSERT_EQ(std::system(("mkfifo " + path).c_str()), 0);
  ASSERT_EQ(std::system(cmd2.c_str()), 0);
  EXPECT_FALSE(ReadWavPcm16(path, &wav_, &error_));
  EXPECT_EQ(error_, "failed to read wav pcm data");
  std::remove(path.c_str());
}

}  // namespace
